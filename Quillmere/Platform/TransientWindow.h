#pragma once

#include <QtGlobal>

namespace quillmere {

// Window-manager hints of the short-lived windows shown after a capture: on top, on every
// desktop, out of the taskbar and pager. Applied to a native window before each map, since
// window managers drop the state when a window is withdrawn.
namespace TransientWindow {
void applyHints(quintptr window);
// An empty input shape: clicks reach whatever lies below. False when XFixes is missing.
bool makeClickThrough(quintptr window);
// Whether a compositing manager runs on the first screen (so translucency is real).
bool compositorRunning();
} // namespace TransientWindow

} // namespace quillmere
