#pragma once

#include "Quillmere/Platform/Core/Clock.h"

#include <QDateTime>
#include <optional>

namespace quillmere {

// The life of one reused transient window, without the window: which presentation is current,
// whether the pointer rests on it, and when it should leave by itself. Every presentation and
// every dismissal opens a new generation; the end of a slide acts only when its generation is
// still the newest, so a late slide-out never hides a newer presentation.
class TransientTimeline {
public:
    TransientTimeline(Clock clock, qint64 showForMs) : m_clock(std::move(clock)), m_showForMs(showForMs) {}

    // A new presentation: not hovered, leaving `showForMs` from now.
    quint64 present();
    // A dismissal starts: no deadline, not hovered. The slide-out's end passes the value back.
    quint64 beginDismissal();
    bool isCurrent(quint64 generation) const { return generation == m_generation; }
    // Entering stops the countdown; leaving starts a full new one. Repeats are ignored.
    void hoverChanged(bool hovering);
    // When the automatic dismissal is due, if one is armed.
    std::optional<QDateTime> deadline() const { return m_deadline; }
    // Milliseconds until it is due (0 when overdue); nothing when unarmed.
    std::optional<qint64> remainingMs() const;
    // The dismissal the timer asks for, when it is due now.
    bool isDue() const;

    quint64 generation() const { return m_generation; }
    bool isHovering() const { return m_hovering; }

private:
    void arm() { m_deadline = m_clock().addMSecs(m_showForMs); }

    Clock m_clock;
    qint64 m_showForMs;
    quint64 m_generation = 0;
    bool m_hovering = false;
    std::optional<QDateTime> m_deadline;
};

} // namespace quillmere
