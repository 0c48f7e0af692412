#include "Quillmere/Panel/PanelKeys.h"

#include <QTextBoundaryFinder>

namespace quillmere {

QVariantMap PanelKey::toUserInfo() const
{
    return {{QStringLiteral("key"), key},
            {QStringLiteral("modifiers"), int(modifiers.toInt())},
            {QStringLiteral("text"), text}};
}

std::optional<PanelKey> PanelKey::fromUserInfo(const QVariantMap &userInfo)
{
    const QVariant key = userInfo.value(QStringLiteral("key"));
    if (!key.isValid() || !key.canConvert<int>())
        return std::nullopt;
    PanelKey out;
    out.key = key.toInt();
    out.modifiers = Qt::KeyboardModifiers::fromInt(userInfo.value(QStringLiteral("modifiers")).toInt());
    out.text = userInfo.value(QStringLiteral("text")).toString();
    return out;
}

PanelKey PanelKey::fromKeyEvent(int key, Qt::KeyboardModifiers modifiers, const QString &text, quint32 nativeScanCode)
{
    PanelKey out{key, modifiers, text};
    if (!(modifiers & Qt::ControlModifier) || (modifiers & Qt::KeypadModifier))
        return out;
    // X11 key codes of the top row's 1...9 and of V on a PC keyboard.
    constexpr quint32 firstDigitCode = 10, lastDigitCode = 18, vCode = 55;
    const bool isDigit = key >= Qt::Key_1 && key <= Qt::Key_9;
    if (!isDigit && nativeScanCode >= firstDigitCode && nativeScanCode <= lastDigitCode)
        out.key = Qt::Key_1 + int(nativeScanCode - firstDigitCode);
    // Only where the layout has no Latin letter on that key: Dvorak's V stays where it is typed.
    const bool latinLetter = key >= Qt::Key_A && key <= Qt::Key_Z;
    if (!latinLetter && key > 0xff && key < Qt::Key_Escape && nativeScanCode == vCode)
        out.key = Qt::Key_V;
    return out;
}

NavKeyInfo navKey(const PanelKey &key)
{
    if (key.key >= Qt::Key_1 && key.key <= Qt::Key_9 && !(key.modifiers & Qt::KeypadModifier))
        return {NavKey::digit, key.key - Qt::Key_0};
    switch (key.key) {
    case Qt::Key_Return:
        return {NavKey::returnKey};
    case Qt::Key_Enter:
        return {NavKey::keypadEnter};
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return {NavKey::tab};
    case Qt::Key_Backspace:
        return {NavKey::deleteBackward};
    case Qt::Key_Delete:
        return {NavKey::deleteForward};
    case Qt::Key_Escape:
        return {NavKey::escape};
    case Qt::Key_Left:
        return {NavKey::left};
    case Qt::Key_Right:
        return {NavKey::right};
    case Qt::Key_Down:
        return {NavKey::down};
    case Qt::Key_Up:
        return {NavKey::up};
    case Qt::Key_V:
        return {NavKey::v};
    case Qt::Key_Space:
        return {NavKey::space};
    case Qt::Key_Home:
        return {NavKey::home};
    case Qt::Key_End:
        return {NavKey::end};
    case Qt::Key_PageUp:
        return {NavKey::pageUp};
    case Qt::Key_PageDown:
        return {NavKey::pageDown};
    case Qt::Key_Clear:
        return {NavKey::clear};
    default:
        return {NavKey::other};
    }
}

bool containsControlOrFunctionKeyCharacter(const QString &text)
{
    const QList<uint> codes = text.toUcs4();
    return std::any_of(codes.begin(), codes.end(), [](uint code) {
        const QChar::Category category = QChar::category(char32_t(code));
        return category == QChar::Other_Control || category == QChar::Other_Format
            || (code >= 0xF700 && code <= 0xF8FF);
    });
}

std::optional<QString> typedCharacters(const PanelKey &key)
{
    using namespace PanelModifier;
    if (key.modifiers & (command | option | control))
        return std::nullopt;
    if (key.text.isEmpty() || containsControlOrFunctionKeyCharacter(key.text))
        return std::nullopt;
    return key.text;
}

QString withoutLastCharacter(const QString &text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.toEnd();
    return text.left(std::max<qsizetype>(finder.toPreviousBoundary(), 0));
}

KeyDisposition keyDisposition(PanelKeyboardMode mode, const PanelKey &key)
{
    switch (mode) {
    case PanelKeyboardMode::paused:
        return KeyDisposition::notCaptured;
    case PanelKeyboardMode::searching:
    case PanelKeyboardMode::unlocking:
        return KeyDisposition::consume;
    case PanelKeyboardMode::browsing:
        break;
    }
    // Tab, Return and Escape type control characters, so only printable text passes.
    return typedCharacters(key) ? KeyDisposition::passThrough : KeyDisposition::consume;
}

} // namespace quillmere
