#pragma once

#include <QColor>
#include <QRectF>
#include <QString>

class QPainter;

namespace quillmere::CaptureGlyphs {

// The card's and the toast's symbols by name; names the panel's set already draws go there.
void paint(QPainter &painter, const QRectF &rect, const QString &name, const QColor &color, double weight = 1.6);

} // namespace quillmere::CaptureGlyphs
