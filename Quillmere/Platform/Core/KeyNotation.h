#pragma once

#include <QString>
#include <optional>

namespace quillmere {

// Carbon modifier bits, the stored form of every shortcut.
namespace CarbonModifier {
constexpr quint32 command = 0x100; // Super on this desktop
constexpr quint32 shift = 0x200;
constexpr quint32 alphaLock = 0x400; // caps lock; grabs cover every lock state anyway
constexpr quint32 option = 0x800;    // Alt
constexpr quint32 control = 0x1000;
} // namespace CarbonModifier

namespace CarbonKey {
constexpr quint32 v = 9;
constexpr quint32 tab = 48;
} // namespace CarbonKey

// Display name of a Carbon key code ("A", "4", "Space", "Return", "F5"), or none for keys not in
// the table.
std::optional<QString> carbonKeyName(quint32 keyCode);

// A stored shortcut as the desktop writes it: modifiers in the order Ctrl, Alt, Shift, Super, then
// the key, joined by "+" ("Shift+Super+V", "Ctrl+Shift+4"). The only place a shortcut becomes text.
QString shortcutText(quint32 keyCode, quint32 carbonModifiers);

// The program's own global shortcuts: the panel and paste-next.
QString panelShortcutText();
QString pasteNextShortcutText();

} // namespace quillmere
