#include "Quillmere/Pages/PageColors.h"

#include <QHash>

namespace quillmere::PageColors {

const QStringList &names()
{
    static const QStringList list{QStringLiteral("magenta"), QStringLiteral("blue"), QStringLiteral("purple"),
                                  QStringLiteral("orange"),  QStringLiteral("teal"), QStringLiteral("pink"),
                                  QStringLiteral("indigo"),  QStringLiteral("red"),  QStringLiteral("yellow"),
                                  QStringLiteral("green")};
    return list;
}

QColor color(const QString &name)
{
    // The platform's named system colours in their light appearance.
    static const QHash<QString, QColor> colors{
        {QStringLiteral("magenta"), QColor::fromRgbF(0.93f, 0.21f, 0.88f)},
        {QStringLiteral("blue"), QColor(0, 122, 255)},
        {QStringLiteral("purple"), QColor(175, 82, 222)},
        {QStringLiteral("orange"), QColor(255, 149, 0)},
        {QStringLiteral("teal"), QColor(48, 176, 199)},
        {QStringLiteral("pink"), QColor(255, 45, 85)},
        {QStringLiteral("indigo"), QColor(88, 86, 214)},
        {QStringLiteral("red"), QColor(255, 59, 48)},
        {QStringLiteral("yellow"), QColor(255, 204, 0)},
        {QStringLiteral("green"), QColor(52, 199, 89)},
    };
    return colors.value(name, QColor(142, 142, 147));
}

QString title(const QString &name)
{
    return name.isEmpty() ? name : name.left(1).toUpper() + name.mid(1);
}

} // namespace quillmere::PageColors
