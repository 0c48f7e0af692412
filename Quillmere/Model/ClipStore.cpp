#include "Quillmere/Model/ClipStore.h"

#include "Quillmere/Platform/Logging.h"
#include "Quillmere/Platform/NotificationCenter.h"
#include "Quillmere/Platform/Preferences.h"

namespace quillmere {

ClipStore::ClipStore(std::shared_ptr<ModelContainer> container, ClipStoreDependencies deps, QObject *parent)
    : QObject(parent), m_container(std::move(container)), m_deps(std::move(deps))
{
    if (!m_deps.preferences)
        m_deps.preferences = &Preferences::standard();
    if (!m_deps.notificationCenter)
        m_deps.notificationCenter = &NotificationCenter::defaultCenter();
    if (!m_deps.clock)
        m_deps.clock = systemClock();
    m_pendingNotice.setSingleShot(true);
    connect(&m_pendingNotice, &QTimer::timeout, this, [this] {
        m_lastNoticeAt = now();
        m_deps.notificationCenter->post(contentDidChangeNotification, this);
    });
}

ClipStore::~ClipStore() = default;

bool ClipStore::save()
{
    ModelContext &ctx = context();
    if (!ctx.hasChanges())
        return true;
    QString error;
    if (!ctx.save(&error)) {
        qCCritical(lcStore, "Failed to save context: %s", qPrintable(error));
        return false;
    }
    Q_EMIT didSave();
    announceChange();
    return true;
}

bool ClipStore::saveOrRollback(const char *failureFormat)
{
    ModelContext &ctx = context();
    if (!ctx.hasChanges())
        return true;
    QString error;
    if (!ctx.save(&error)) {
        qCCritical(lcStore, failureFormat, qPrintable(error));
        ctx.rollback();
        return false;
    }
    Q_EMIT didSave();
    announceChange();
    return true;
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
