#pragma once

#include "Quillmere/Panel/PanelTypes.h"

#include <QVariantMap>
#include <Qt>

namespace quillmere {

// A key press as the panel hands it to the history view: the Qt key, the modifiers and the text
// it typed. Ctrl plays the role of Command inside the panel, Alt of Option and Meta of Control.
struct PanelKey {
    int key = 0;
    Qt::KeyboardModifiers modifiers;
    QString text;

    bool operator==(const PanelKey &) const = default;

    // The "quillmerePanelKeyPressed" user info that carries a key.
    QVariantMap toUserInfo() const;
    static std::optional<PanelKey> fromUserInfo(const QVariantMap &userInfo);

    // The edge where a window's key event becomes a PanelKey. With Ctrl held, the physical top-row
    // digit keys count as 1 to 9 and the V key as V even where the layout types something else
    // there (AZERTY digits, Cyrillic letters), so Ctrl+digit quick paste works on every layout.
    // `nativeScanCode` is the X11 key code (evdev code + 8), 0 when unknown.
    static PanelKey fromKeyEvent(int key, Qt::KeyboardModifiers modifiers, const QString &text,
                                 quint32 nativeScanCode = 0);
};

// The keys the history view's tables name.
enum class NavKey {
    returnKey,
    keypadEnter,
    tab,
    deleteBackward,
    deleteForward,
    escape,
    left,
    right,
    down,
    up,
    v,
    digit,
    space,
    home,
    end,
    pageUp,
    pageDown,
    clear,
    other
};

struct NavKeyInfo {
    NavKey key = NavKey::other;
    int digit = 0; // 1...9 for NavKey::digit
};

// The one table from Qt keys to the keys the tables name. Shift+Tab arrives as Backtab.
NavKeyInfo navKey(const PanelKey &key);

namespace PanelModifier {
inline constexpr Qt::KeyboardModifiers command = Qt::ControlModifier;
inline constexpr Qt::KeyboardModifiers option = Qt::AltModifier;
inline constexpr Qt::KeyboardModifiers control = Qt::MetaModifier;
inline constexpr Qt::KeyboardModifiers shift = Qt::ShiftModifier;
} // namespace PanelModifier

// Whether the text holds a control or format character, or one of the private-use function-key
// characters (U+F700...U+F8FF).
bool containsControlOrFunctionKeyCharacter(const QString &text);

// The text a key typed into the view, or none: nothing with Command, Option or Control held, nor
// control or function-key characters. Shift is allowed.
std::optional<QString> typedCharacters(const PanelKey &key);

// The text without its last user-perceived character (what Delete removes from a field).
QString withoutLastCharacter(const QString &text);

// What the panel does with a key it captured, by mode: the view always sees captured keys; in
// browsing, plain typed text also goes on to the window underneath once the panel has closed; a
// paused panel captures nothing so that its open dialog has the keyboard.
enum class KeyDisposition { consume, passThrough, notCaptured };
KeyDisposition keyDisposition(PanelKeyboardMode mode, const PanelKey &key);

} // namespace quillmere
