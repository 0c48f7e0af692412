#pragma once

#include <QString>

namespace quillmere {

enum class ClipPruneReason { overLimit, expired, dedupe };

inline QString rawValue(ClipPruneReason reason)
{
    switch (reason) {
    case ClipPruneReason::overLimit:
        return QStringLiteral("overLimit");
    case ClipPruneReason::expired:
        return QStringLiteral("expired");
    case ClipPruneReason::dedupe:
        return QStringLiteral("dedupe");
    }
    return {};
}

// What the clip store reports of the clips it adds and removes (the sync health audit counts them).
class ClipAuditRecording {
public:
    virtual ~ClipAuditRecording() = default;
    virtual void recordAdded(int count) = 0;
    virtual void recordPruned(ClipPruneReason reason, int count) = 0;
};

} // namespace quillmere
