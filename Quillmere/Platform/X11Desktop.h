#pragma once

#include <QByteArray>
#include <QPoint>
#include <QString>
#include <QtGlobal>
#include <optional>
#include <vector>

namespace quillmere {

// What the program asks of the X display itself, through Qt's own connection. Every answer is
// "no" without an X11 display.
namespace X11Desktop {

bool isAvailable();
// Whether this connection may read the screen's pixels (an untrusted client may not).
bool screenPixelsReadable();
// Whether a connection to `display` (empty: $DISPLAY) can be opened; needs no Qt application.
bool displayIsReachable(const QString &display);
// The display Qt draws on, which its -display option may have chosen over $DISPLAY.
QByteArray displayName();
// Returns once the server has handled every request sent before it, so a window just withdrawn
// is off the screen.
void waitForServer();
// A pointer button is down anywhere on the display (the X server's view, not Qt's).
bool pointerButtonsDown();
// Keeps the panel window `window` out of the taskbar and pager, on every desktop and out of our
// own screenshots. Set before it is mapped; Qt adds its own states on show.
void applyPanelHints(quintptr window);

// A pointer event as the X server sent it, in root-window device pixels.
struct PointerEvent {
    enum class Kind { press, release, motion };
    Kind kind;
    QPoint root;
    quint8 button = 0; // 0 for motion
};
// The pointer event a native event of Qt's event filter carries, if any.
std::optional<PointerEvent> pointerEvent(const QByteArray &eventType, const void *message);

// The keyboard's layout as the server has it now: the unshifted symbol of each key.
class KeyboardLayout {
public:
    // Reads the layout from the server; empty without a display.
    static KeyboardLayout current();
    std::optional<quint32> unshiftedKeysym(quint32 keycode) const;

private:
    quint32 m_minKeycode = 0;
    int m_perKeycode = 0;
    std::vector<quint32> m_keysyms;
};

} // namespace X11Desktop

} // namespace quillmere
