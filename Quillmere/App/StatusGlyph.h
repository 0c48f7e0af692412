#pragma once

#include <QColor>
#include <QIcon>

namespace quillmere {

// The tray glyph (two stacked cards with a curl) and the "copied" check mark, drawn in code.
QIcon makeStatusGlyphIcon(const QColor &ink);
QIcon makeCopiedIcon(const QColor &ink);

} // namespace quillmere
