#include "Quillmere/Capture/Overlay/TransientTimeline.h"

#include <algorithm>

namespace quillmere {

quint64 TransientTimeline::present()
{
    m_hovering = false;
    arm();
    return ++m_generation;
}

quint64 TransientTimeline::beginDismissal()
{
    m_hovering = false;
    m_deadline.reset();
    return ++m_generation;
}

void TransientTimeline::hoverChanged(bool hovering)
{
    if (hovering == m_hovering)
        return;
    m_hovering = hovering;
    if (hovering)
        m_deadline.reset();
    else
        arm();
}

std::optional<qint64> TransientTimeline::remainingMs() const
{
    if (!m_deadline)
        return std::nullopt;
    return std::max<qint64>(0, m_clock().msecsTo(*m_deadline));
}

bool TransientTimeline::isDue() const
{
    return m_deadline && m_clock() >= *m_deadline;
}

} // namespace quillmere
