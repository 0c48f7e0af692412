#pragma once

#include "Quillmere/Model/SyncAudit.h"
#include "Quillmere/Platform/Core/Clock.h"

#include <QMap>

namespace quillmere {

class Preferences;

struct SyncAuditSummary {
    int added = 0;
    QMap<SyncPruneReason, int> prunedByReason; // only reasons above 0
    bool operator==(const SyncAuditSummary &) const = default;
    static SyncAuditSummary empty() { return {}; }
};

// Sync-health facts and the weekly audit counters, kept in the preferences under "syncHealth.".
class SyncHealthStore : public SyncAuditRecording {
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
    void recordPruned(SyncPruneReason reason, int count) override;

private:
    std::optional<QDateTime> date(const QString &key) const;
    void addTo(const QString &key, int count);

    Preferences &m_defaults;
    Clock m_now;
};

} // namespace quillmere
