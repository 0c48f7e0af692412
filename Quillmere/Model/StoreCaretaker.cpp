#include "Quillmere/Model/StoreCaretaker.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/UnsavedRecovery.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/Logging.h"
#include <QCoreApplication>
#include <QFile>

namespace quillmere {

QString StoreTrouble::message() const
{
    switch (kind) {
    case Kind::storeMovedAside: {
        const QString cutShort = resumed ? QStringLiteral("Brindlewax was stopped last time while it read back "
                                                          "your damaged clipboard history; that is finished now. ")
                                         : QString();
        if (count > 0)
            return cutShort
                + QStringLiteral("Your clipboard history was damaged and was set aside as %1. %2 that could still "
                                 "be read %3 kept in a new history.")
                      .arg(path,
                           count == 1 ? QStringLiteral("The one copy") : QStringLiteral("The %1 copies").arg(count),
                           count == 1 ? QStringLiteral("was") : QStringLiteral("were"));
        return cutShort
            + QStringLiteral("Your clipboard history could not be read and was set aside as %1. "
                             "A new history was started.")
                  .arg(path);
    }
    case Kind::memoryOnlySession:
        if (!reason.isEmpty())
            return QStringLiteral("Brindlewax is keeping your clipboard history in memory only: %1 cannot be used "
                                  "now (%2).")
                .arg(path, reason);
        return QStringLiteral("Brindlewax is keeping your clipboard history in memory only: it could not be saved "
                              "to disk.");
    case Kind::unsavedAtQuit:
        return QStringLiteral("Some copies could not be saved when Brindlewax last quit. They are kept in %1, "
                              "which could not be brought back into your history: %2.")
            .arg(path, reason);
    case Kind::unsavedBroughtBack:
        return count == 1 ? QStringLiteral("One copy that could not be saved when Brindlewax last quit was brought "
                                           "back into your history.")
                          : QStringLiteral("%1 copies that could not be saved when Brindlewax last quit were brought "
                                           "back into your history.")
                                .arg(count);
    case Kind::saveFailed:
        return diskFull ? QStringLiteral("Some copies could not be saved because the disk is full. They are kept "
                                         "until there is room.")
                        : QStringLiteral("Some copies could not be saved to disk. They are kept until they can be.");
    }
    return {};
}

StoreCaretaker::StoreCaretaker(ClipStore &store, const PersistenceSetup &setup, QObject *parent)
    : QObject(parent), m_store(store), m_movedAsidePath(setup.movedAsidePath), m_salvagedClips(setup.salvagedClips),
      m_salvageResumed(setup.salvageResumed), m_unavailableReason(setup.unavailableReason),
      m_storePath(setup.unavailableStorePath)
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
    if (!m_movedAsidePath.isEmpty())
        report({StoreTrouble::Kind::storeMovedAside, m_movedAsidePath, false, m_salvagedClips, {}, m_salvageResumed});
    if (isMemoryOnly()) {
        // Brought back once the store file can be used: a history in memory would only spill them again.
        for (const QString &recovery : UnsavedRecovery::all(m_storePath))
            keptUnsaved(recovery, QStringLiteral("the history can only be kept in memory for now"));
        tellUnsaved();
        report({StoreTrouble::Kind::memoryOnlySession, m_storePath, false, 0, m_unavailableReason});
        scheduleRetry();
        return;
    }
    if (!m_store.container().isInMemory())
        bringBackUnsaved(UnsavedRecovery::all(m_store.container().storeURL()));
}

void StoreCaretaker::keptUnsaved(const QString &path, const QString &reason)
{
    qCWarning(lcPersistence, "Unsaved copies kept in %s could not be brought back: %s", qPrintable(path),
              qPrintable(reason));
    m_kept << path;
    m_keptReason = reason;
}

void StoreCaretaker::tellUnsaved()
{
    if (m_broughtBack > 0)
        report({StoreTrouble::Kind::unsavedBroughtBack, {}, false, m_broughtBack});
    m_broughtBack = 0;
    // Told once for the same files: they are tried again at every start.
    const QString toldKey = QStringLiteral("unsavedRecoveryTold");
    const QString kept = m_kept.join(QLatin1Char('\n'));
    if (!m_kept.isEmpty() && m_store.preferences().string(toldKey).value_or(QString()) != kept) {
        m_store.preferences().setString(toldKey, kept);
        report({StoreTrouble::Kind::unsavedAtQuit, m_kept.join(QStringLiteral(", ")), false, 0, m_keptReason});
    }
    m_kept.clear();
}

void StoreCaretaker::bringBackUnsaved(QStringList paths)
{
    if (paths.isEmpty()) {
        tellUnsaved();
        return;
    }
    const QString path = paths.takeFirst();
    inBackground(
        this,
        [path] {
            QString error;
            auto contents = UnsavedRecovery::read(path, &error);
            return std::make_pair(std::move(contents), error);
        },
        [this, path, paths](std::pair<std::optional<UnsavedRecovery::Contents>, QString> read) {
            if (!read.first) {
                keptUnsaved(path, read.second);
                bringBackUnsaved(paths);
                return;
            }
            bringBackSlice(path, std::make_shared<const UnsavedRecovery::Contents>(std::move(*read.first)), 0, paths);
        });
}

void StoreCaretaker::bringBackSlice(const QString &path,
                                    const std::shared_ptr<const UnsavedRecovery::Contents> &contents, size_t from,
                                    const QStringList &rest)
{
    // A slice holds a few clips, or one when its image or file alone is large.
    size_t to = from;
    for (qint64 bytes = 0; to < contents->clips.size() && to - from < bringBackClips && bytes < bringBackBytes; ++to) {
        const CapturedContent &c = contents->clips[to].content;
        bytes += c.imageData.value_or(QByteArray()).size() + c.fileData.value_or(QByteArray()).size()
            + c.text.value_or(QString()).size() * 2;
    }
    QString error;
    const int brought = UnsavedRecovery::bringBack(m_store, *contents, from, to, &error);
    if (brought < 0) {
        keptUnsaved(path, error);
        bringBackUnsaved(rest);
        return;
    }
    m_broughtBack += brought;
    if (to < contents->clips.size()) {
        QTimer::singleShot(0, this, [this, path, contents, to, rest] { bringBackSlice(path, contents, to, rest); });
        return;
    }
    // Left behind, it would come back again at the next start, finding every copy stored already.
    if (!QFile::remove(path))
        qCWarning(lcPersistence, "Could not remove %s after bringing it back", qPrintable(path));
    qCInfo(lcPersistence, "Brought back the unsaved copies of %s", qPrintable(path));
    bringBackUnsaved(rest);
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
    ModelContext &ctx = m_store.context();
    std::vector<std::shared_ptr<PersistentModel>> records;
    if (isMemoryOnly()) {
        // Nothing of this session reached the store file: all of it goes.
        for (const PageRef &page : ctx.pinboards())
            records.push_back(page);
        for (const ClipRef &clip : ctx.allClips())
            records.push_back(clip);
        if (records.size() == ctx.pinboards().size())
            return 0;
    } else {
        while (ctx.hasChanges() && m_store.savePart(retryBatch)) {}
        if (ctx.hasChanges() && ctx.lastSaveFailure() == ModelContext::SaveFailure::diskFull)
            while (m_store.saveWhatFits(retryBatch) == retryBatch) {}
        if (!ctx.hasChanges())
            return 0;
        records = ctx.unsavedRecords();
    }
    const int count = int(records.size());
    const QString storePath = isMemoryOnly() ? m_storePath : m_store.container().storeURL();
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
    StoreOpening opening;
    auto container = ModelContainerFactory::openStoreFile(m_storePath, m_store.clock(), &opening);
    if (!opening.movedAsidePath.isEmpty())
        report({StoreTrouble::Kind::storeMovedAside,
                opening.movedAsidePath,
                false,
                opening.salvagedClips,
                {},
                opening.salvageResumed});
    if (!container) {
        qCDebug(lcPersistence, "The store at %s is still unavailable: %s", qPrintable(m_storePath),
                qPrintable(opening.error));
        return false;
    }
    qCInfo(lcPersistence, "The store at %s can be used again; the history kept in memory moves into it",
           qPrintable(m_storePath));
    m_storePath.clear();
    m_nextRetryMs = m_firstRetryMs;
    m_store.moveHistoryTo(std::shared_ptr<ModelContainer>(container.release()));
    bringBackUnsaved(UnsavedRecovery::all(m_store.container().storeURL()));
    return true;
}

} // namespace quillmere
