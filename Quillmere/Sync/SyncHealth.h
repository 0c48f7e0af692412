#pragma once

#include "Quillmere/Sync/CloudSyncStatus.h"
#include "Quillmere/Sync/SyncHealthStore.h"

namespace quillmere {

enum class SyncHealthLevel { healthy, warning, critical };
QString rawValue(SyncHealthLevel level);

// The verdict and the lines the sync-health row shows.
struct SyncHealth {
    SyncHealthLevel level = SyncHealthLevel::healthy;
    std::optional<QDateTime> lastSyncedAt;
    std::optional<QDateTime> lastVerifiedAt;
    std::optional<QString> failureReason;
    SyncAuditSummary audit;
    int totalClips = 0;
    int capturesLast24h = 0;

    bool operator==(const SyncHealth &) const = default;

    static SyncHealth evaluate(CloudSyncStatus::State state, bool hasSyncError, const SyncHealthFacts &facts,
                               const SyncAuditSummary &audit, int totalClips, int capturesLast24h);
    static std::optional<QDateTime> lastSyncedAtFrom(const SyncHealthFacts &facts);

    QString lastSyncedText(const QDateTime &now) const;
    QString roundTripText(const QDateTime &now) const;
    QString auditText() const;
};

} // namespace quillmere
