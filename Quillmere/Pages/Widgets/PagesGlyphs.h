#pragma once

#include <QColor>
#include <QIcon>
#include <QRectF>
#include <QString>

class QPainter;

namespace quillmere::PagesGlyphs {

// Small painted symbols keyed by the names the rest of the program uses: "pin.fill",
// "lock.fill", "lock.open.fill", "doc", "photo", "link", "text.alignleft", "plus", "eye.slash",
// "safari", "envelope", "phone", "map", "shippingbox", "doc.on.doc", "paintpalette",
// "square.grid.2x2". Unknown names draw nothing. `rect` is the glyph's square.
void paint(QPainter &painter, const QRectF &rect, const QString &name, const QColor &color);

// The symbol as an icon for menus and buttons.
QIcon icon(const QString &name, const QColor &color, int size = 16);

// A round swatch of a colour, for colour menus.
QIcon swatch(const QColor &color, int size = 16);

} // namespace quillmere::PagesGlyphs
