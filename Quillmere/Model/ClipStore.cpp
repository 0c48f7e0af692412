#include "Quillmere/Model/ClipStore.h"

#include "Quillmere/Model/StoreDamage.h"
#include "Quillmere/Model/StoreFileGuard.h"
#include "Quillmere/Model/StoreSalvage.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QPointer>

namespace quillmere {

ClipStore::ClipStore(std::shared_ptr<ModelContainer> container, ClipStoreDependencies deps, QObject *parent)
    : QObject(parent), m_container(std::move(container)), m_deps(std::move(deps))
{
    if (!m_deps.preferences || !m_deps.notificationCenter)
        qFatal("ClipStore needs its preferences and notification centre");
    if (!m_deps.clock)
        m_deps.clock = systemClock();
    m_pendingNotice.setSingleShot(true);
    connect(&m_pendingNotice, &QTimer::timeout, this, [this] {
        m_lastNoticeAt = now();
        m_deps.notificationCenter->post(contentDidChangeNotification, this);
    });
    watchContainer();
    connect(&StoreDamage::detector(), &StoreDamage::damageFound, this, &ClipStore::verifyDamage);
    m_fileGuard = std::make_unique<StoreFileGuard>(*this);
    connect(m_fileGuard.get(), &StoreFileGuard::storeFileChanged, this, &ClipStore::storeFileChanged);
}

ClipStore::~ClipStore() = default;

bool ClipStore::save(const std::function<bool(qint64 saveTime)> &beforeCommit)
{
    ModelContext &ctx = context();
    if (!ctx.hasChanges())
        return true;
    if (m_savesHeld) {
        // The changes stand in memory: whoever shows the history shows them.
        announceChange();
        Q_EMIT changesHeld();
        return true;
    }
    if (savesWaitForFile())
        return true;
    QString error;
    if (!ctx.save(&error, beforeCommit)) {
        qCCritical(lcStore, "Failed to save context: %s", qPrintable(error));
        keepAfterFailedSave(error);
        return false;
    }
    Q_EMIT didSave();
    announceChange();
    return true;
}

void ClipStore::tookRowsWrittenElsewhere(const std::vector<StoredRow> &rows)
{
    if (rows.empty())
        return;
    context().takeRowsWrittenElsewhere(rows);
    Q_EMIT didSave();
    announceChange();
}

ClipStore::SaveResult ClipStore::savePart(size_t maxRecords)
{
    ModelContext &ctx = context();
    if (!ctx.hasChanges())
        return SaveResult::saved;
    if (m_savesHeld)
        return SaveResult::deferred;
    if (savesWaitForFile())
        return SaveResult::deferred;
    QString error;
    if (!ctx.savePart(maxRecords, &error)) {
        qCWarning(lcStore, "Failed to save part of the history: %s", qPrintable(error));
        keepAfterFailedSave(error);
        return SaveResult::failed;
    }
    Q_EMIT didSave();
    announceChange();
    return SaveResult::saved;
}

size_t ClipStore::saveWhatFits(size_t maxRecords)
{
    ModelContext &ctx = context();
    if (!ctx.hasChanges() || m_savesHeld)
        return 0;
    if (savesWaitForFile())
        return 0;
    QString error;
    const size_t saved = ctx.saveWhatFits(maxRecords, &error);
    // Only ever tried after a save that failed and said why: a warning here would repeat it at every retry.
    if (ctx.lastSaveFailure() != ModelContext::SaveFailure::none)
        qCDebug(lcStore, "Saved %zu records one at a time; the rest waits: %s", saved, qPrintable(error));
    if (saved > 0) {
        Q_EMIT didSave();
        announceChange();
    }
    return saved;
}

bool ClipStore::saveOrRollback(const char *failureFormat)
{
    ModelContext &ctx = context();
    if (!ctx.hasChanges())
        return true;
    if (m_savesHeld) {
        announceChange();
        Q_EMIT changesHeld();
        return true;
    }
    // The store file is being put back in place, or written by a move-in; saved once it is done.
    if (savesWaitForFile())
        return true;
    QString error;
    if (!ctx.save(&error)) {
        qCCritical(lcStore, failureFormat, qPrintable(error));
        if (keepAfterFailedSave(error)) {
            announceChange();
            return true;
        }
        ctx.rollback();
        return false;
    }
    Q_EMIT didSave();
    announceChange();
    return true;
}

bool ClipStore::savesWaitForFile()
{
    if (m_writtenElsewhere > 0)
        return true;
    m_fileGuard->check();
    return m_fileGuard->holdsSaves();
}

void ClipStore::setWrittenElsewhere(bool written)
{
    m_writtenElsewhere += written ? 1 : -1;
    if (written || m_writtenElsewhere > 0)
        return;
    // What waited is saved in a turn of its own: the one that let go may be ending a move-in.
    QTimer::singleShot(0, this, [this] {
        if (m_writtenElsewhere == 0)
            save();
    });
}

bool ClipStore::keepAfterFailedSave(const QString &error)
{
    const auto failure = context().lastSaveFailure();
    if (failure != ModelContext::SaveFailure::diskFull && failure != ModelContext::SaveFailure::locked
        && failure != ModelContext::SaveFailure::unavailable)
        return false;
    Q_EMIT saveFailed(failure == ModelContext::SaveFailure::diskFull, error);
    return true;
}

void ClipStore::moveHistoryTo(std::shared_ptr<ModelContainer> container)
{
    if (!container || container == m_container)
        return;
    container->mainContext().adoptRecordsOf(context());
    m_container = std::move(container);
    watchContainer();
    m_fileGuard->rearm();
    Q_EMIT containerChanged();
    save();
}

void ClipStore::switchToContainer(std::shared_ptr<ModelContainer> container)
{
    if (!container || container == m_container)
        return;
    m_container = std::move(container);
    watchContainer();
    m_fileGuard->rearm();
    Q_EMIT containerChanged();
    announceChange();
}

void ClipStore::verifyDamage(const QString &path)
{
    // A report names a path only: its reader may have been on a file since moved aside, or the file
    // now there may be no store at all. Only damage in the very file the connection holds counts.
    const std::optional<FileIdentity> held = m_fileGuard->heldFile();
    if (container().isInMemory() || path != container().storeURL() || !held)
        return;
    inBackground(
        this, [path, held] { return FileIdentity::of(path) == held && !StoreSalvage::isSound(path); },
        [this, held, was = std::weak_ptr<ModelContainer>(m_container)](bool damaged) {
            if (damaged && was.lock() == m_container && m_fileGuard->heldFile() == held)
                reportDamage();
        });
}

void ClipStore::watchContainer()
{
    // The container may outlive the store, and a context left behind keeps its handler.
    context().setDamageHandler([self = QPointer<ClipStore>(this)] {
        if (self)
            Q_EMIT self->storeDamaged();
    });
    container().holdCaptureOrderFillWhile([self = QPointer<ClipStore>(this)] {
        return self
            && (self->m_savesHeld || self->m_writtenElsewhere > 0
                || (self->m_fileGuard && self->m_fileGuard->holdsSaves()));
    });
}

void ClipStore::announceChange()
{
    // One notice at once, then at most one more per window; later saves inside a window share
    // the pending one.
    if (m_pendingNotice.isActive())
        return;
    const QDateTime t = now();
    const qint64 sinceLast = m_lastNoticeAt ? m_lastNoticeAt->msecsTo(t) : contentChangeIntervalMs;
    if (sinceLast >= contentChangeIntervalMs || sinceLast < 0) {
        m_lastNoticeAt = t;
        m_deps.notificationCenter->post(contentDidChangeNotification, this);
        return;
    }
    m_pendingNotice.start(int(contentChangeIntervalMs - sinceLast));
}

} // namespace quillmere
