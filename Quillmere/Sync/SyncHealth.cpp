#include "Quillmere/Sync/SyncHealth.h"

#include "Quillmere/Sync/RelativeDate.h"

#include <QStringList>

namespace quillmere {

QString rawValue(SyncHealthLevel level)
{
    switch (level) {
    case SyncHealthLevel::healthy:
        return QStringLiteral("healthy");
    case SyncHealthLevel::warning:
        return QStringLiteral("warning");
    case SyncHealthLevel::critical:
        break;
    }
    return QStringLiteral("critical");
}

std::optional<QDateTime> SyncHealth::lastSyncedAtFrom(const SyncHealthFacts &facts)
{
    if (facts.lastImportSuccessAt && facts.lastExportSuccessAt)
        return std::max(*facts.lastImportSuccessAt, *facts.lastExportSuccessAt);
    return facts.lastImportSuccessAt ? facts.lastImportSuccessAt : facts.lastExportSuccessAt;
}

SyncHealth SyncHealth::evaluate(CloudSyncStatus::State state, bool hasSyncError, const SyncHealthFacts &facts,
                                const SyncAuditSummary &audit, int totalClips, int capturesLast24h)
{
    SyncHealth h;
    if (state == CloudSyncStatus::State::ephemeral)
        h.level = SyncHealthLevel::critical;
    else if (hasSyncError || state != CloudSyncStatus::State::syncing)
        h.level = SyncHealthLevel::warning;
    h.lastSyncedAt = lastSyncedAtFrom(facts);
    h.lastVerifiedAt = facts.lastVerifiedAt;
    if (hasSyncError)
        h.failureReason = facts.lastFailureMessage;
    h.audit = audit;
    h.totalClips = totalClips;
    h.capturesLast24h = capturesLast24h;
    return h;
}

QString SyncHealth::lastSyncedText(const QDateTime &now) const
{
    if (!lastSyncedAt)
        return QStringLiteral("Last synced: never");
    return QStringLiteral("Last synced: ") + relativeNamedDate(*lastSyncedAt, now);
}

QString SyncHealth::roundTripText(const QDateTime &now) const
{
    if (!lastVerifiedAt)
        return QStringLiteral("Round-trip: not verified yet");
    return QStringLiteral("Round-trip verified: ") + relativeNamedDate(*lastVerifiedAt, now)
        + QStringLiteral(" \u2713");
}

QString SyncHealth::auditText() const
{
    QString text = QString::number(audit.added) + QStringLiteral(" added");
    int removed = 0;
    for (int n : audit.prunedByReason)
        removed += n;
    if (removed < 1)
        return text + QStringLiteral(" \u00b7 0 removed this week");
    QStringList parts;
    const std::pair<ClipPruneReason, const char *> labels[] = {{ClipPruneReason::overLimit, "limit"},
                                                               {ClipPruneReason::expired, "expired"},
                                                               {ClipPruneReason::dedupe, "dupes"}};
    for (const auto &[reason, label] : labels) {
        const int n = audit.prunedByReason.value(reason, 0);
        if (n > 0)
            parts << QStringLiteral("%1 %2").arg(QLatin1String(label)).arg(n);
    }
    return text
        + QStringLiteral(" \u00b7 %1 removed (%2) this week").arg(removed).arg(parts.join(QStringLiteral(", ")));
}

} // namespace quillmere
