#pragma once

#include "Quillmere/Platform/Core/Clock.h"

#include <QHash>
#include <QString>
#include <QUuid>
#include <deque>
#include <optional>

namespace quillmere {

// Tells a person copying from a program changing the clipboard faster than anyone can. While one
// source changes it more than `floodRate` times within a second, it keeps that source's newest
// copy per `slotMs` and names the one it replaces. Nothing else is ever named: other sources'
// copies, and whatever came before the flood.
class CaptureFloodGuard {
public:
    static constexpr int floodRate = 20;
    static constexpr qint64 windowMs = 1000;
    static constexpr qint64 slotMs = 100;

    struct Verdict {
        std::optional<QUuid> replaced; // an earlier copy of the same flood and slot, to drop
        bool announce = false;         // the first copy of a flood: say so, once
    };

    explicit CaptureFloodGuard(Clock clock) : m_clock(std::move(clock)) {}

    // One copy from `source` was stored as `clip`. `madeAt`, when known, is when the copy was
    // made: a backlog handled late after a busy moment is then not taken for a flood.
    Verdict admit(const QString &source, const QUuid &clip, std::optional<QDateTime> madeAt = std::nullopt);
    bool isFlooding(const QString &source) const;

private:
    struct Source {
        std::deque<qint64> recent; // times of the copies within the last window
        bool flooding = false;
        qint64 lastSlot = -1;
        std::optional<QUuid> lastCopy; // the flood copy kept for `lastSlot`
    };
    Clock m_clock;
    QHash<QString, Source> m_sources;
};

} // namespace quillmere
