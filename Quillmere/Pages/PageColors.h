#pragma once

#include <QColor>
#include <QString>
#include <QStringList>

namespace quillmere::PageColors {

// The ten colour names a Page can carry, in the order menus offer them.
const QStringList &names();

// "magenta" is (0.93, 0.21, 0.88); the other nine are the system colours of those names; any
// other name is the system gray.
QColor color(const QString &name);

// "Magenta", "Blue", ...: the name as menus show it.
QString title(const QString &name);

} // namespace quillmere::PageColors
