#pragma once

#include "Quillmere/Panel/PanelKeys.h"

#include <functional>
#include <vector>

namespace quillmere {

// A key press as the panel window received it: what the history view reads, and the X key code
// and state that let it be typed again elsewhere exactly as the user typed it.
struct CapturedKey {
    PanelKey key;
    quint32 nativeKeycode = 0;
    quint32 nativeState = 0;
    bool operator==(const CapturedKey &) const = default;
};

// Plays the keyboard tap's part while the panel holds the keyboard focus: every key the panel
// window receives is handed to the history view ("quillmerePanelKeyPressed") unless the view's
// mode leaves the keyboard to an open dialog. Once the panel starts closing, keys are kept, in
// order, for the window underneath, so nothing typed during the slide is lost.
class PanelKeyboardTap {
public:
    using Post = std::function<void(const PanelKey &)>;

    explicit PanelKeyboardTap(Post post) : m_post(std::move(post)) {}

    void start();
    void stop();
    bool isRunning() const { return m_running; }

    void setMode(PanelKeyboardMode mode) { m_mode = mode; }
    void setCapturePaused(bool paused) { m_paused = paused; }
    bool isCapturePaused() const { return m_paused; }
    // The mode that routes keys: paused while a dialog has the keyboard.
    PanelKeyboardMode routingMode() const { return m_paused ? PanelKeyboardMode::paused : m_mode; }

    // From now on every key pressed in the panel is kept for the window underneath.
    void beginHandOff();
    bool isHandingOff() const { return m_handingOff; }
    // Ends the hand-off and gives the kept keys, first typed first.
    std::vector<CapturedKey> endHandOff();
    bool hasKeptKeys() const { return !m_kept.empty(); }

    // True when the panel keeps the key from its widgets.
    bool handleKeyPress(const CapturedKey &key);
    bool handleKeyRelease() const;

private:
    Post m_post;
    PanelKeyboardMode m_mode = PanelKeyboardMode::browsing;
    bool m_paused = false;
    bool m_running = false;
    bool m_handingOff = false;
    std::vector<CapturedKey> m_kept;
};

} // namespace quillmere
