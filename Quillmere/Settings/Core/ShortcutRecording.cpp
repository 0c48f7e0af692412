#include "Quillmere/Settings/Core/ShortcutRecording.h"

#include "Quillmere/Platform/Core/KeyNotation.h"

#include <QStringList>

namespace quillmere {

ShortcutRecording::Result ShortcutRecording::handleKeyDown(std::optional<quint32> keyCode, quint32 modifiers)
{
    if (!m_recording)
        return {};
    if (keyCode == keyCodeDelete || keyCode == keyCodeForwardDelete) {
        stop();
        return {Outcome::removed, std::nullopt};
    }
    if (keyCode == keyCodeEscape) {
        stop();
        return {Outcome::cancelled, std::nullopt};
    }
    if (!keyCode || (modifiers & requiredModifiers) == 0)
        return {Outcome::refused, std::nullopt};
    const CaptureShortcut shortcut{*keyCode, modifiers};
    if (isReserved(shortcut))
        return {Outcome::refused, std::nullopt};
    stop();
    return {Outcome::recorded, shortcut};
}

bool ShortcutRecording::isReserved(const CaptureShortcut &shortcut)
{
    using namespace CarbonModifier;
    return shortcut == CaptureShortcut{9, shift | command} || shortcut == CaptureShortcut{9, option | command};
}

QString ShortcutRecording::displayText(const std::optional<CaptureShortcut> &shortcut, bool recording)
{
    if (recording)
        return QStringLiteral("Type shortcut…");
    if (!shortcut)
        return QStringLiteral("Click to record");
    return shortcutText(shortcut->keyCode, shortcut->modifiers);
}

quint32 ShortcutRecording::carbonModifiers(Qt::KeyboardModifiers modifiers)
{
    quint32 mask = 0;
    if (modifiers & Qt::ControlModifier)
        mask |= CarbonModifier::control;
    if (modifiers & Qt::AltModifier)
        mask |= CarbonModifier::option;
    if (modifiers & Qt::ShiftModifier)
        mask |= CarbonModifier::shift;
    if (modifiers & Qt::MetaModifier)
        mask |= CarbonModifier::command;
    return mask;
}

std::optional<quint32> ShortcutRecording::keysymForQtKey(int qtKey)
{
    // Printable Latin-1 keys: Qt names the upper-case letter, X the unshifted lower-case one.
    if (qtKey >= Qt::Key_Space && qtKey <= Qt::Key_AsciiTilde)
        return quint32(QChar(qtKey).toLower().unicode());
    if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F35)
        return 0xffbeu + quint32(qtKey - Qt::Key_F1);
    switch (qtKey) {
    case Qt::Key_Return:
        return 0xff0d;
    case Qt::Key_Enter:
        return 0xff8d;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return 0xff09;
    case Qt::Key_Backspace:
        return 0xff08;
    case Qt::Key_Escape:
        return 0xff1b;
    case Qt::Key_Delete:
        return 0xffff;
    case Qt::Key_Help:
        return 0xff6a;
    case Qt::Key_Home:
        return 0xff50;
    case Qt::Key_End:
        return 0xff57;
    case Qt::Key_PageUp:
        return 0xff55;
    case Qt::Key_PageDown:
        return 0xff56;
    case Qt::Key_Left:
        return 0xff51;
    case Qt::Key_Up:
        return 0xff52;
    case Qt::Key_Right:
        return 0xff53;
    case Qt::Key_Down:
        return 0xff54;
    default:
        return std::nullopt;
    }
}

std::optional<quint32> ShortcutRecording::carbonKeyCode(quint32 keysym, const KeysymTable &table)
{
    if (!table)
        return std::nullopt;
    for (quint32 code = 0; code < 128; ++code)
        if (table(code) == keysym)
            return code;
    return std::nullopt;
}

bool ShortcutRecording::isModifierKey(int qtKey)
{
    switch (qtKey) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Meta:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
    case Qt::Key_ScrollLock:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
    case Qt::Key_Mode_switch:
        return true;
    default:
        return false;
    }
}

} // namespace quillmere
