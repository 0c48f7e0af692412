#pragma once

#include "Quillmere/Platform/Core/Clock.h"

#include <QHash>
#include <QString>
#include <QUuid>
#include <deque>
#include <optional>
#include <vector>

namespace quillmere {

// Tells a person copying from a program changing the clipboard faster than anyone can. Once one
// source has changed it more than `floodRate` times within every second for a whole second, it
// keeps that source's newest copy per `slotMs` of that second and after, and names the ones it
// replaces. A source at the rate whose jitter pushes it over for a moment loses nothing. Nothing
// else is ever named: other sources' copies, and whatever came before the flood.
class CaptureFloodGuard {
public:
    static constexpr int floodRate = 20;
    static constexpr qint64 windowMs = 1000;
    static constexpr qint64 slotMs = 100;

    struct Verdict {
        std::vector<QUuid> replaced; // earlier copies of the same flood and slot, to drop
        bool announce = false;       // the first copy of a flood: say so, once
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
        std::optional<qint64> overSince;            // over the rate at every copy since then
        std::vector<std::pair<qint64, QUuid>> held; // copies while over, before it counts as a flood
        qint64 lastSlot = -1;
        std::optional<QUuid> lastCopy; // the flood copy kept for `lastSlot`
    };
    Clock m_clock;
    QHash<QString, Source> m_sources;
};

} // namespace quillmere
