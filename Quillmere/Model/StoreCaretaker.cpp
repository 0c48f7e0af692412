#include "Quillmere/Model/StoreCaretaker.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/Logging.h"

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
        if (!m_retry.isActive())
            scheduleRetry();
    });
    connect(&m_store, &ClipStore::didSave, this, [this] {
        if (isMemoryOnly() || m_store.context().hasChanges())
            return;
        m_retry.stop();
        m_nextRetryMs = m_firstRetryMs;
    });
}

StoreCaretaker::~StoreCaretaker() = default;

void StoreCaretaker::setRetryDelays(int firstMs, int longestMs)
{
    m_firstRetryMs = m_nextRetryMs = firstMs;
    m_longestRetryMs = longestMs;
}

void StoreCaretaker::start()
{
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
    m_retry.start(m_nextRetryMs);
    m_nextRetryMs = std::min(m_longestRetryMs, m_nextRetryMs * 2);
}

void StoreCaretaker::retry()
{
    if (isMemoryOnly()) {
        if (!tryStoreFile())
            scheduleRetry();
        return;
    }
    // A failure here comes back through saveFailed, which schedules the next try.
    if (m_store.context().hasChanges())
        m_store.save();
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
