#pragma once

#include <QDateTime>
#include <QString>
#include <optional>

namespace quillmere {

enum class SyncPruneReason { overLimit, expired, dedupe };

inline QString rawValue(SyncPruneReason reason)
{
    switch (reason) {
    case SyncPruneReason::overLimit:
        return QStringLiteral("overLimit");
    case SyncPruneReason::expired:
        return QStringLiteral("expired");
    case SyncPruneReason::dedupe:
        return QStringLiteral("dedupe");
    }
    return {};
}

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

// What the clip store reports of the clips it adds and removes.
class SyncAuditRecording {
public:
    virtual ~SyncAuditRecording() = default;
    virtual void recordAdded(int count) = 0;
    virtual void recordPruned(SyncPruneReason reason, int count) = 0;
};

} // namespace quillmere
