#include "Quillmere/Panel/Window/PanelKeyboardTap.h"

#include <utility>

namespace quillmere {

void PanelKeyboardTap::start()
{
    m_running = true;
}

void PanelKeyboardTap::stop()
{
    m_running = false;
}

void PanelKeyboardTap::beginHandOff()
{
    m_running = false;
    m_handingOff = true;
}

std::vector<CapturedKey> PanelKeyboardTap::endHandOff()
{
    m_handingOff = false;
    return std::exchange(m_kept, {});
}

bool PanelKeyboardTap::handleKeyPress(const CapturedKey &key)
{
    if (m_handingOff) {
        m_kept.push_back(key);
        return true;
    }
    if (!m_running)
        return false;
    const KeyDisposition disposition = keyDisposition(routingMode(), key.key);
    if (disposition == KeyDisposition::notCaptured)
        return false;
    m_post(key.key);
    // A typed character closes a browsing panel; it goes on once the window underneath is back.
    if (disposition == KeyDisposition::passThrough && m_handingOff)
        m_kept.insert(m_kept.begin(), key);
    return true;
}

bool PanelKeyboardTap::handleKeyRelease() const
{
    return m_handingOff || (m_running && routingMode() != PanelKeyboardMode::paused);
}

} // namespace quillmere
