#include "Quillmere/Pages/Widgets/PagesGlyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace quillmere::PagesGlyphs {
namespace {

// Every glyph is drawn on a 16 x 16 grid.
void lockBody(QPainter &p, bool open)
{
    QPainterPath shackle;
    shackle.moveTo(5, 7.5);
    shackle.lineTo(5, 5);
    shackle.arcTo(QRectF(5, 1.5, 6, 6.5), 180, -180);
    if (!open)
        shackle.lineTo(11, 7.5);
    p.setBrush(Qt::NoBrush);
    p.drawPath(open ? shackle.translated(2.5, -0.8) : shackle);
    p.setBrush(p.pen().color());
    p.drawRoundedRect(QRectF(3, 7.5, 10, 7), 1.6, 1.6);
}

void document(QPainter &p)
{
    QPainterPath page;
    page.moveTo(3.5, 1.5);
    page.lineTo(9.5, 1.5);
    page.lineTo(12.5, 4.5);
    page.lineTo(12.5, 14.5);
    page.lineTo(3.5, 14.5);
    page.closeSubpath();
    p.drawPath(page);
    p.drawPolyline(QPolygonF{{9.5, 1.5}, {9.5, 4.5}, {12.5, 4.5}});
}

} // namespace

void paint(QPainter &painter, const QRectF &rect, const QString &name, const QColor &color)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(rect.topLeft());
    painter.scale(rect.width() / 16.0, rect.height() / 16.0);
    QPen pen(color, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    QPainter &p = painter;

    if (name == QLatin1String("pin.fill")) {
        p.setBrush(color);
        QPainterPath head;
        head.moveTo(5, 1.5);
        head.lineTo(11, 1.5);
        head.lineTo(10, 3);
        head.lineTo(10.5, 7.5);
        head.lineTo(12.5, 9.5);
        head.lineTo(3.5, 9.5);
        head.lineTo(5.5, 7.5);
        head.lineTo(6, 3);
        head.closeSubpath();
        p.drawPath(head);
        p.drawLine(QPointF(8, 9.5), QPointF(8, 14.8));
    } else if (name == QLatin1String("lock.fill")) {
        lockBody(p, false);
    } else if (name == QLatin1String("lock.open.fill")) {
        lockBody(p, true);
    } else if (name == QLatin1String("doc")) {
        document(p);
    } else if (name == QLatin1String("doc.on.doc")) {
        p.drawRoundedRect(QRectF(5.5, 1.5, 8, 10), 1.5, 1.5);
        p.drawPolyline(QPolygonF{{10.5, 13}, {10.5, 14.5}, {2.5, 14.5}, {2.5, 4.5}, {4, 4.5}});
    } else if (name == QLatin1String("photo")) {
        p.drawRoundedRect(QRectF(1.5, 2.5, 13, 11), 1.8, 1.8);
        p.setBrush(color);
        p.drawEllipse(QPointF(5.5, 6), 1.3, 1.3);
        p.setBrush(Qt::NoBrush);
        p.drawPolyline(QPolygonF{{2, 12.5}, {6.5, 8.5}, {9, 10.5}, {11, 9}, {14, 11.5}});
    } else if (name == QLatin1String("link")) {
        p.drawRoundedRect(QRectF(1.5, 6, 8, 4.5), 2.2, 2.2);
        p.drawRoundedRect(QRectF(6.5, 5.5, 8, 4.5), 2.2, 2.2);
    } else if (name == QLatin1String("text.alignleft")) {
        for (const auto &[y, w] : {std::pair{3.5, 12.0}, {6.5, 8.0}, {9.5, 12.0}, {12.5, 7.0}})
            p.drawLine(QPointF(2, y), QPointF(2 + w, y));
    } else if (name == QLatin1String("plus")) {
        p.setPen(QPen(color, 1.8, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8, 2.5), QPointF(8, 13.5));
        p.drawLine(QPointF(2.5, 8), QPointF(13.5, 8));
    } else if (name == QLatin1String("eye.slash")) {
        QPainterPath eye;
        eye.moveTo(1.5, 8);
        eye.quadTo(8, 1, 14.5, 8);
        eye.quadTo(8, 15, 1.5, 8);
        p.drawPath(eye);
        p.drawEllipse(QPointF(8, 8), 2.2, 2.2);
        p.drawLine(QPointF(2.5, 2.5), QPointF(13.5, 13.5));
    } else if (name == QLatin1String("safari")) {
        p.drawEllipse(QPointF(8, 8), 6.5, 6.5);
        p.setBrush(color);
        p.drawPolygon(QPolygonF{{10.8, 5.2}, {9, 9}, {5.2, 10.8}, {7, 7}});
    } else if (name == QLatin1String("envelope")) {
        p.drawRoundedRect(QRectF(1.5, 3.5, 13, 9.5), 1.5, 1.5);
        p.drawPolyline(QPolygonF{{2, 4.5}, {8, 9}, {14, 4.5}});
    } else if (name == QLatin1String("phone")) {
        QPainterPath handset;
        handset.moveTo(3, 2.5);
        handset.lineTo(5.5, 2);
        handset.lineTo(7, 5.5);
        handset.lineTo(5.5, 7);
        handset.quadTo(7, 9.5, 9, 10.5);
        handset.lineTo(10.5, 9);
        handset.lineTo(14, 10.5);
        handset.lineTo(13.5, 13);
        handset.quadTo(3, 13.5, 3, 2.5);
        p.setBrush(color);
        p.drawPath(handset);
    } else if (name == QLatin1String("map")) {
        p.drawPolygon(
            QPolygonF{{1.5, 3.5}, {5.5, 2}, {10.5, 3.5}, {14.5, 2}, {14.5, 12.5}, {10.5, 14}, {5.5, 12.5}, {1.5, 14}});
        p.drawLine(QPointF(5.5, 2), QPointF(5.5, 12.5));
        p.drawLine(QPointF(10.5, 3.5), QPointF(10.5, 14));
    } else if (name == QLatin1String("shippingbox")) {
        p.drawPolygon(QPolygonF{{8, 1.5}, {14.5, 4.5}, {14.5, 11.5}, {8, 14.5}, {1.5, 11.5}, {1.5, 4.5}});
        p.drawPolyline(QPolygonF{{1.5, 4.5}, {8, 7.5}, {14.5, 4.5}});
        p.drawLine(QPointF(8, 7.5), QPointF(8, 14.5));
    } else if (name == QLatin1String("paintpalette")) {
        QPainterPath palette;
        palette.moveTo(8, 1.5);
        palette.cubicTo(12.5, 1.5, 15, 4.5, 14.5, 8);
        palette.cubicTo(14, 10.5, 11, 9.5, 10, 11);
        palette.cubicTo(9, 12.5, 11, 14.5, 8, 14.5);
        palette.cubicTo(4, 14.5, 1.5, 11.5, 1.5, 8);
        palette.cubicTo(1.5, 4.5, 4, 1.5, 8, 1.5);
        p.drawPath(palette);
        p.setBrush(color);
        for (const QPointF &dot : {QPointF(5, 6.5), QPointF(8, 4.5), QPointF(11, 6)})
            p.drawEllipse(dot, 1, 1);
    } else if (name == QLatin1String("square.grid.2x2")) {
        for (const QPointF &corner : {QPointF(2, 2), QPointF(9, 2), QPointF(2, 9), QPointF(9, 9)})
            p.drawRoundedRect(QRectF(corner, QSizeF(5, 5)), 1.2, 1.2);
    }
    painter.restore();
}

QIcon icon(const QString &name, const QColor &color, int size)
{
    QIcon result;
    for (const qreal ratio : {1.0, 2.0}) {
        QPixmap pixmap(QSize(size, size) * ratio);
        pixmap.setDevicePixelRatio(ratio);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        paint(p, QRectF(0, 0, size, size), name, color);
        p.end();
        result.addPixmap(pixmap);
    }
    return result;
}

QIcon swatch(const QColor &color, int size)
{
    QIcon result;
    for (const qreal ratio : {1.0, 2.0}) {
        QPixmap pixmap(QSize(size, size) * ratio);
        pixmap.setDevicePixelRatio(ratio);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(0, 0, 0, 60), 1));
        p.setBrush(color);
        p.drawEllipse(QRectF(1.5, 1.5, size - 3, size - 3));
        p.end();
        result.addPixmap(pixmap);
    }
    return result;
}

} // namespace quillmere::PagesGlyphs
