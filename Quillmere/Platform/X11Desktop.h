#pragma once

#include <QByteArray>
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
