#include "Quillmere/Platform/Core/KeyNotation.h"

#include <QHash>
#include <QStringList>

namespace quillmere {

std::optional<QString> carbonKeyName(quint32 keyCode)
{
    static const QHash<quint32, QString> names = [] {
        QHash<quint32, QString> t;
        const std::pair<const char *, quint32> keys[] = {
            {"A", 0},     {"S", 1},      {"D", 2},       {"F", 3},    {"H", 4},    {"G", 5},    {"Z", 6},
            {"X", 7},     {"C", 8},      {"V", 9},       {"B", 11},   {"Q", 12},   {"W", 13},   {"E", 14},
            {"R", 15},    {"Y", 16},     {"T", 17},      {"O", 31},   {"U", 32},   {"I", 34},   {"P", 35},
            {"L", 37},    {"J", 38},     {"K", 40},      {"N", 45},   {"M", 46},   {"1", 18},   {"2", 19},
            {"3", 20},    {"4", 21},     {"6", 22},      {"5", 23},   {"9", 25},   {"7", 26},   {"8", 28},
            {"0", 29},    {"Space", 49}, {"Return", 36}, {"Tab", 48}, {"F1", 122}, {"F2", 120}, {"F3", 99},
            {"F4", 118},  {"F5", 96},    {"F6", 97},     {"F7", 98},  {"F8", 100}, {"F9", 101}, {"F10", 109},
            {"F11", 103}, {"F12", 111}};
        for (const auto &[name, code] : keys)
            t.insert(code, QString::fromLatin1(name));
        return t;
    }();
    const auto it = names.constFind(keyCode);
    if (it == names.cend())
        return std::nullopt;
    return *it;
}

QString shortcutText(quint32 keyCode, quint32 carbonModifiers)
{
    QStringList parts;
    if (carbonModifiers & CarbonModifier::control)
        parts << QStringLiteral("Ctrl");
    if (carbonModifiers & CarbonModifier::option)
        parts << QStringLiteral("Alt");
    if (carbonModifiers & CarbonModifier::shift)
        parts << QStringLiteral("Shift");
    if (carbonModifiers & CarbonModifier::command)
        parts << QStringLiteral("Super");
    parts << carbonKeyName(keyCode).value_or(QStringLiteral("key ") + QString::number(keyCode));
    return parts.join(QLatin1Char('+'));
}

QString panelShortcutText()
{
    return shortcutText(CarbonKey::v, CarbonModifier::shift | CarbonModifier::command);
}

QString pasteNextShortcutText()
{
    return shortcutText(CarbonKey::v, CarbonModifier::option | CarbonModifier::command);
}

} // namespace quillmere
