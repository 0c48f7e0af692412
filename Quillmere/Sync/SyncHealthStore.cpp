#include "Quillmere/Sync/SyncHealthStore.h"

#include "Quillmere/Platform/Core/Preferences.h"

#include <utility>

namespace quillmere {
namespace {
const QString kCloudKitActive = QStringLiteral("syncHealth.cloudKitActive");
const QString kFirstActive = QStringLiteral("syncHealth.firstCloudKitActiveAt");
const QString kWindowStart = QStringLiteral("syncHealth.auditWindowStart");
const QString kAdded = QStringLiteral("syncHealth.auditAdded");

double seconds(const QDateTime &t)
{
    return t.toMSecsSinceEpoch() / 1000.0;
}

constexpr ClipPruneReason kAllReasons[] = {ClipPruneReason::overLimit, ClipPruneReason::expired,
                                           ClipPruneReason::dedupe};
} // namespace

SyncHealthStore::SyncHealthStore(Preferences &defaults, Clock now) : m_defaults(defaults), m_now(std::move(now))
{
    m_writeTimer.setSingleShot(true);
    m_writeTimer.setInterval(auditWriteDelay);
    QObject::connect(&m_writeTimer, &QTimer::timeout, &m_writeTimer, [this] { flush(); });
}

SyncHealthStore::~SyncHealthStore()
{
    flush();
}

void SyncHealthStore::flush()
{
    m_writeTimer.stop();
    const QHash<QString, qint64> pending = std::exchange(m_pending, {});
    for (auto it = pending.cbegin(); it != pending.cend(); ++it)
        m_defaults.setInteger(it.key(), m_defaults.integer(it.key(), 0) + it.value());
}

qint64 SyncHealthStore::counter(const QString &key) const
{
    return m_defaults.integer(key, 0) + m_pending.value(key, 0);
}

std::optional<QDateTime> SyncHealthStore::date(const QString &key) const
{
    const double s = m_defaults.doubleValue(key, 0);
    if (s == 0)
        return std::nullopt;
    return QDateTime::fromMSecsSinceEpoch(qint64(s * 1000.0), Qt::UTC);
}

SyncHealthFacts SyncHealthStore::facts() const
{
    SyncHealthFacts f;
    f.cloudKitActive = m_defaults.boolValue(kCloudKitActive, false);
    f.firstCloudKitActiveAt = date(kFirstActive);
    f.lastImportSuccessAt = date(QStringLiteral("syncHealth.lastImportSuccessAt"));
    f.lastExportSuccessAt = date(QStringLiteral("syncHealth.lastExportSuccessAt"));
    f.lastImportFailureAt = date(QStringLiteral("syncHealth.lastImportFailureAt"));
    f.lastExportFailureAt = date(QStringLiteral("syncHealth.lastExportFailureAt"));
    f.lastFailureMessage = m_defaults.string(QStringLiteral("syncHealth.lastFailureMessage"));
    f.lastVerifiedAt = date(QStringLiteral("syncHealth.lastVerifiedAt"));
    return f;
}

void SyncHealthStore::markCloudKitActive()
{
    m_defaults.setBool(kCloudKitActive, true);
    if (!date(kFirstActive))
        m_defaults.setDouble(kFirstActive, seconds(m_now()));
}

void SyncHealthStore::rollAuditWindowIfNeeded()
{
    const double start = m_defaults.doubleValue(kWindowStart, 0);
    const double now = seconds(m_now());
    if (start == 0) {
        m_defaults.setDouble(kWindowStart, now);
        return;
    }
    // A start a full window or more ahead comes from a clock that was set far forward; left as
    // it is, the counters would never restart. A smaller step back changes nothing.
    if (now - start >= auditWindowSeconds || start - now >= auditWindowSeconds) {
        // Counts not written yet belong to the window that ended.
        m_pending.clear();
        m_writeTimer.stop();
        m_defaults.remove(kAdded);
        for (ClipPruneReason reason : kAllReasons)
            m_defaults.remove(prunedPrefix + rawValue(reason));
        m_defaults.setDouble(kWindowStart, now);
    }
}

bool SyncHealthStore::isAuditWindowExpired() const
{
    const double start = m_defaults.doubleValue(kWindowStart, 0);
    if (start == 0)
        return false;
    const double now = seconds(m_now());
    return now - start >= auditWindowSeconds || start - now >= auditWindowSeconds;
}

SyncAuditSummary SyncHealthStore::auditSummary() const
{
    if (isAuditWindowExpired())
        return SyncAuditSummary::empty();
    SyncAuditSummary summary;
    for (ClipPruneReason reason : kAllReasons) {
        const qint64 n = counter(prunedPrefix + rawValue(reason));
        if (n > 0)
            summary.prunedByReason.insert(reason, int(n));
    }
    summary.added = int(counter(kAdded));
    return summary;
}

void SyncHealthStore::addTo(const QString &key, int count)
{
    if (count < 1)
        return;
    rollAuditWindowIfNeeded();
    m_pending[key] += count;
    if (!m_writeTimer.isActive())
        m_writeTimer.start();
}

void SyncHealthStore::recordAdded(int count)
{
    addTo(kAdded, count);
}

void SyncHealthStore::recordPruned(ClipPruneReason reason, int count)
{
    addTo(prunedPrefix + rawValue(reason), count);
}

} // namespace quillmere
