#pragma once

#include "Quillmere/Model/ClipAudit.h"
#include "Quillmere/Platform/Core/Clock.h"

#include <QDateTime>
#include <QHash>
#include <QMap>
#include <QTimer>
#include <chrono>
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
// The counters move with every capture, so they are added up in memory and written at most once
// per `auditWriteDelay`, and when this store goes (or `flush` is called).
class SyncHealthStore : public ClipAuditRecording {
public:
    static constexpr qint64 auditWindowSeconds = 604800;
    static constexpr std::chrono::milliseconds auditWriteDelay{5000};
    static inline const QString prunedPrefix = QStringLiteral("syncHealth.auditPruned.");

    SyncHealthStore(Preferences &defaults, Clock now);
    ~SyncHealthStore() override;
    SyncHealthStore(const SyncHealthStore &) = delete;
    SyncHealthStore &operator=(const SyncHealthStore &) = delete;

    Preferences &defaults() const { return m_defaults; }

    SyncHealthFacts facts() const;
    void markCloudKitActive();
    void rollAuditWindowIfNeeded();
    bool isAuditWindowExpired() const;
    SyncAuditSummary auditSummary() const;

    void recordAdded(int count) override;
    void recordPruned(ClipPruneReason reason, int count) override;
    // Writes the counts held in memory to the preferences now.
    void flush();

private:
    std::optional<QDateTime> date(const QString &key) const;
    qint64 counter(const QString &key) const;
    void addTo(const QString &key, int count);

    Preferences &m_defaults;
    Clock m_now;
    QHash<QString, qint64> m_pending;
    QTimer m_writeTimer;
};

} // namespace quillmere
