#include "Quillmere/Model/StoreCaretaker.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/UnsavedRecovery.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include "Quillmere/Platform/Core/Logging.h"
#include <QCoreApplication>

namespace quillmere {

QString StoreTrouble::message() const
{
    switch (kind) {
    case Kind::storeMovedAside:
        return QStringLiteral("Your clipboard history could not be read and was set aside as %1. "
                              "A new history was started.")
            .arg(path);
    case Kind::memoryOnlySession:
        return QStringLiteral("Brindlewax is keeping your clipboard history in memory only: it could not be saved "
                              "to disk.");
    case Kind::unsavedAtQuit:
        return QStringLiteral("Some copies could not be saved when Brindlewax last quit. They are kept in %1.")
            .arg(path);
    case Kind::saveFailed:
        return diskFull ? QStringLiteral("Some copies could not be saved because the disk is full. They are kept "
                                         "until there is room.")
                        : QStringLiteral("Some copies could not be saved to disk. They are kept until they can be.");
    }
    return {};
}

StoreCaretaker::StoreCaretaker(ClipStore &store, const PersistenceSetup &setup, QObject *parent)
    : QObject(parent), m_store(store), m_movedAsidePath(setup.movedAsidePath), m_storePath(setup.unavailableStorePath)
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &StoreCaretaker::retry);
    connect(&m_store, &ClipStore::saveFailed, this, [this](bool diskFull, const QString &) {
        report({StoreTrouble::Kind::saveFailed, {}, diskFull});
        m_retrySoon = diskFull || m_store.context().lastSaveFailure() == ModelContext::SaveFailure::locked;
        if (!m_retry.isActive())
            scheduleRetry();
        // What was just copied may fit where the whole backlog did not.
        if (diskFull && !m_fitQueued) {
            m_fitQueued = true;
            QTimer::singleShot(0, this, &StoreCaretaker::saveWhatFits);
        }
    });
    connect(&m_store, &ClipStore::didSave, this, [this] {
        if (isMemoryOnly() || m_store.context().hasChanges())
            return;
        m_retry.stop();
        m_nextRetryMs = m_firstRetryMs;
    });
    if (QCoreApplication::instance())
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, [this] { keepUnsaved(); });
}

StoreCaretaker::~StoreCaretaker() = default;

void StoreCaretaker::setRetryDelays(int firstMs, int longestMs)
{
    m_firstRetryMs = m_nextRetryMs = firstMs;
    m_longestRetryMs = longestMs;
}

void StoreCaretaker::start()
{
    // Told once per file, at the start after the quit that left it.
    const QString storePath = m_store.container().storeURL();
    const QString recovery = storePath.isEmpty() ? QString() : UnsavedRecovery::newest(storePath);
    const QString toldKey = QStringLiteral("unsavedRecoveryTold");
    if (!recovery.isEmpty() && m_store.preferences().string(toldKey).value_or(QString()) != recovery) {
        m_store.preferences().setString(toldKey, recovery);
        report({StoreTrouble::Kind::unsavedAtQuit, recovery});
    }
    if (!m_movedAsidePath.isEmpty())
        report({StoreTrouble::Kind::storeMovedAside, m_movedAsidePath});
    if (isMemoryOnly()) {
        report({StoreTrouble::Kind::memoryOnlySession});
        scheduleRetry();
    }
}

void StoreCaretaker::report(const StoreTrouble &trouble)
{
    if (!m_reported.insert(trouble.kind).second)
        return;
    Q_EMIT troubleOccurred(trouble);
}

void StoreCaretaker::scheduleRetry()
{
    const int longest = m_retrySoon ? std::min(m_longestRetryMs, longestDiskFullRetryMs) : m_longestRetryMs;
    m_nextRetryMs = std::min(m_nextRetryMs, longest);
    m_retry.start(m_nextRetryMs);
    m_nextRetryMs = std::min(longest, m_nextRetryMs * 2);
}

void StoreCaretaker::retry()
{
    if (isMemoryOnly()) {
        if (!tryStoreFile())
            scheduleRetry();
        return;
    }
    saveBatch();
}

void StoreCaretaker::saveBatch()
{
    // A failure comes back through saveFailed, which schedules the next try; what was written
    // before it stays written.
    if (m_store.context().hasChanges() && m_store.savePart(retryBatch) && m_store.context().hasChanges())
        QTimer::singleShot(0, this, &StoreCaretaker::saveBatch);
}

void StoreCaretaker::saveWhatFits()
{
    // A few records per turn of the event loop; one that does not fit waits for the next retry.
    m_fitQueued = m_store.saveWhatFits(retryBatch) == retryBatch && m_store.context().hasChanges();
    if (m_fitQueued)
        QTimer::singleShot(0, this, &StoreCaretaker::saveWhatFits);
}

int StoreCaretaker::keepUnsaved()
{
    if (isMemoryOnly())
        return 0;
    ModelContext &ctx = m_store.context();
    while (ctx.hasChanges() && m_store.savePart(retryBatch)) {}
    if (ctx.hasChanges() && ctx.lastSaveFailure() == ModelContext::SaveFailure::diskFull)
        while (m_store.saveWhatFits(retryBatch) == retryBatch) {}
    if (!ctx.hasChanges())
        return 0;
    const auto records = ctx.unsavedRecords();
    const int count = int(records.size());
    const QString storePath = m_store.container().storeURL();
    QString error;
    const QString kept =
        storePath.isEmpty() ? QString() : UnsavedRecovery::write(storePath, records, m_store.now(), &error);
    if (kept.isEmpty())
        qCCritical(lcPersistence,
                   "%d changes could not be saved before quitting and could not be kept beside the store: %s", count,
                   qPrintable(error));
    else
        qCCritical(lcPersistence, "%d changes could not be saved before quitting; they are kept in %s", count,
                   qPrintable(kept));
    return count;
}

bool StoreCaretaker::tryStoreFile()
{
    QString aside;
    QString error;
    auto container = ModelContainerFactory::openStoreFile(m_storePath, m_store.clock(), &aside, &error);
    if (!aside.isEmpty())
        report({StoreTrouble::Kind::storeMovedAside, aside});
    if (!container) {
        qCDebug(lcPersistence, "The store at %s is still unavailable: %s", qPrintable(m_storePath), qPrintable(error));
        return false;
    }
    qCInfo(lcPersistence, "The store at %s can be used again; the history kept in memory moves into it",
           qPrintable(m_storePath));
    m_storePath.clear();
    m_nextRetryMs = m_firstRetryMs;
    m_store.moveHistoryTo(std::shared_ptr<ModelContainer>(container.release()));
    return true;
}

} // namespace quillmere
