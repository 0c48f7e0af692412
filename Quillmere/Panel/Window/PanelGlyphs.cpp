#include "Quillmere/Panel/Window/PanelGlyphs.h"

#include "Quillmere/Pages/Widgets/PagesGlyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace quillmere::PanelGlyphs {
namespace {

void cloud(QPainter &p)
{
    QPainterPath path;
    path.moveTo(4.5, 12.5);
    path.arcTo(QRectF(1, 6.5, 6, 6), 270, -180);
    path.arcTo(QRectF(4, 3, 7.5, 7.5), 160, -150);
    path.arcTo(QRectF(9.5, 6.5, 6, 6), 90, -180);
    path.closeSubpath();
    p.drawPath(path);
}

} // namespace

void paint(QPainter &painter, const QRectF &rect, const QString &name, const QColor &color)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(rect.topLeft());
    painter.scale(rect.width() / 16.0, rect.height() / 16.0);
    QPainter &p = painter;
    p.setPen(QPen(color, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    bool known = true;

    if (name == QLatin1String("magnifyingglass")) {
        p.drawEllipse(QRectF(2, 2, 8.5, 8.5));
        p.drawLine(QPointF(9.3, 9.3), QPointF(14, 14));
    } else if (name == QLatin1String("ellipsis")) {
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        for (double x : {3.0, 8.0, 13.0})
            p.drawEllipse(QPointF(x, 8), 1.5, 1.5);
    } else if (name == QLatin1String("minus.circle")) {
        p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
        p.drawLine(QPointF(5, 8), QPointF(11, 8));
    } else if (name == QLatin1String("arrow.triangle.2.circlepath")) {
        p.drawArc(QRectF(2.5, 2.5, 11, 11), 30 * 16, 150 * 16);
        p.drawArc(QRectF(2.5, 2.5, 11, 11), 210 * 16, 150 * 16);
        p.drawPolyline(QPolygonF({QPointF(11, 3), QPointF(13.3, 5.2), QPointF(14.2, 2.2)}));
        p.drawPolyline(QPolygonF({QPointF(5, 13), QPointF(2.7, 10.8), QPointF(1.8, 13.8)}));
    } else if (name.startsWith(QLatin1String("line.3.horizontal.decrease.circle"))) {
        const bool filled = name.endsWith(QLatin1String(".fill"));
        if (filled) {
            p.setBrush(color);
            p.drawEllipse(QRectF(1, 1, 14, 14));
            p.setPen(QPen(Qt::white, 1.5, Qt::SolidLine, Qt::RoundCap));
        } else {
            p.drawEllipse(QRectF(1, 1, 14, 14));
        }
        p.drawLine(QPointF(4.5, 5.5), QPointF(11.5, 5.5));
        p.drawLine(QPointF(5.5, 8), QPointF(10.5, 8));
        p.drawLine(QPointF(7, 10.5), QPointF(9, 10.5));
    } else if (name.startsWith(QLatin1String("rectangle.stack"))) {
        if (name.endsWith(QLatin1String(".fill")))
            p.setBrush(color);
        p.drawRoundedRect(QRectF(2, 6, 12, 8.5), 1.5, 1.5);
        p.setBrush(Qt::NoBrush);
        p.drawLine(QPointF(3.5, 3.8), QPointF(12.5, 3.8));
        p.drawLine(QPointF(5, 1.6), QPointF(11, 1.6));
    } else if (name.contains(QLatin1String("icloud"))) {
        cloud(p);
        if (name.startsWith(QLatin1String("checkmark"))) {
            p.drawPolyline(QPolygonF({QPointF(6, 9), QPointF(7.6, 10.6), QPointF(10.5, 7.4)}));
        } else if (name.startsWith(QLatin1String("xmark"))) {
            p.drawLine(QPointF(6.3, 7.3), QPointF(9.7, 10.7));
            p.drawLine(QPointF(9.7, 7.3), QPointF(6.3, 10.7));
        } else if (name.startsWith(QLatin1String("exclamationmark"))) {
            p.drawLine(QPointF(8, 6.5), QPointF(8, 9));
            p.drawPoint(QPointF(8, 11));
        } else if (name.endsWith(QLatin1String("slash"))) {
            p.drawLine(QPointF(2, 2), QPointF(14, 14));
        }
    } else if (name == QLatin1String("doc.on.clipboard")) {
        p.drawRoundedRect(QRectF(2.5, 2.5, 11, 12.5), 1.5, 1.5);
        p.setBrush(color);
        p.drawRoundedRect(QRectF(5.5, 1, 5, 3), 1, 1);
        p.setBrush(Qt::NoBrush);
        p.drawLine(QPointF(5, 8), QPointF(11, 8));
        p.drawLine(QPointF(5, 11), QPointF(9.5, 11));
    } else if (name == QLatin1String("text.viewfinder")) {
        for (const auto &[x, y, dx, dy] : {std::tuple{1.5, 1.5, 1, 1}, std::tuple{14.5, 1.5, -1, 1},
                                           std::tuple{1.5, 14.5, 1, -1}, std::tuple{14.5, 14.5, -1, -1}})
            p.drawPolyline(QPolygonF({QPointF(x, y + dy * 3.5), QPointF(x, y), QPointF(x + dx * 3.5, y)}));
        p.drawLine(QPointF(5, 6), QPointF(11, 6));
        p.drawLine(QPointF(5, 8.5), QPointF(11, 8.5));
        p.drawLine(QPointF(5, 11), QPointF(9, 11));
    } else {
        known = false;
    }
    painter.restore();
    if (!known)
        PagesGlyphs::paint(painter, rect, name, color);
}

QIcon icon(const QString &name, const QColor &color, int size)
{
    QPixmap pixmap(size * 2, size * 2);
    pixmap.setDevicePixelRatio(2);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    paint(p, QRectF(0, 0, size, size), name, color);
    return QIcon(pixmap);
}

} // namespace quillmere::PanelGlyphs
