#pragma once

#include <QColor>
#include <QIcon>
#include <QRectF>
#include <QString>

class QPainter;

namespace quillmere::PanelGlyphs {

// The header's and card area's symbols ("magnifyingglass", "ellipsis", "minus.circle",
// "arrow.triangle.2.circlepath", "line.3.horizontal.decrease.circle[.fill]", "rectangle.stack[.fill]",
// the "…icloud…" family, "doc.on.clipboard", "text.viewfinder"); other names go to PagesGlyphs.
void paint(QPainter &painter, const QRectF &rect, const QString &name, const QColor &color);
QIcon icon(const QString &name, const QColor &color, int size = 16);

} // namespace quillmere::PanelGlyphs
