#pragma once

#include "Quillmere/Model/ClipAudit.h"
#include "Quillmere/Platform/Core/Clock.h"

#include <QDateTime>
#include <QMap>
#include <optional>

namespace quillmere {

class Preferences;

struct SyncHealthFacts {
    bool cloudKitActive = false;
    std::optional<QDateTime> firstCloudKitActiveAt;
    std::optional<QDateTime> lastImportSuccessAt;
    std::optional<QDateTime> lastExportSuccessAt;
    std::optional<QDateTime> lastImportFailureAt;
    std::optional<QDateTime> lastExportFailureAt;
    std::optional<QString> lastFailureMessage;
    std::optional<QDateTime> lastVerifiedAt;
    bool operator==(const SyncHealthFacts &) const = default;
};

struct SyncAuditSummary {
    int added = 0;
    QMap<ClipPruneReason, int> prunedByReason; // only reasons above 0
    bool operator==(const SyncAuditSummary &) const = default;
    static SyncAuditSummary empty() { return {}; }
};

// Sync-health facts and the weekly audit counters, kept in the preferences under "syncHealth.".
class SyncHealthStore : public ClipAuditRecording {
public:
    static constexpr qint64 auditWindowSeconds = 604800;
    static inline const QString prunedPrefix = QStringLiteral("syncHealth.auditPruned.");

    SyncHealthStore(Preferences &defaults, Clock now);

    Preferences &defaults() const { return m_defaults; }

    SyncHealthFacts facts() const;
    void markCloudKitActive();
    void rollAuditWindowIfNeeded();
    bool isAuditWindowExpired() const;
    SyncAuditSummary auditSummary() const;

    void recordAdded(int count) override;
    void recordPruned(ClipPruneReason reason, int count) override;

private:
    std::optional<QDateTime> date(const QString &key) const;
    void addTo(const QString &key, int count);

    Preferences &m_defaults;
    Clock m_now;
};

} // namespace quillmere
