#include "Quillmere/App/StatusGlyph.h"

#include <QHash>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <functional>

namespace quillmere {
namespace {

constexpr qreal kSide = 18;

// Glyph coordinates have their origin bottom left.
QPointF at(qreal x, qreal y)
{
    return {x, kSide - y};
}

QRectF box(qreal x, qreal y, qreal w, qreal h)
{
    return QRectF(x, kSide - y - h, w, h);
}

QPixmap render(int scale, const std::function<void(QPainter &)> &draw)
{
    QPixmap pixmap(int(kSide * scale), int(kSide * scale));
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(scale, scale);
    draw(p);
    return pixmap;
}

QIcon iconFrom(const std::function<void(QPainter &)> &draw)
{
    QIcon icon;
    for (int scale : {1, 2, 3})
        icon.addPixmap(render(scale, draw));
    return icon;
}

QIcon cachedIcon(QHash<QRgb, QIcon> &cache, const QColor &ink, QIcon (*make)(const QColor &))
{
    const QRgb key = ink.rgba();
    if (const auto found = cache.constFind(key); found != cache.cend())
        return *found;
    const QIcon icon = make(ink);
    cache.insert(key, icon);
    return icon;
}

QColor withAlpha(QColor c, qreal alpha)
{
    c.setAlphaF(alpha);
    return c;
}

QIcon makeStatusGlyphIcon(const QColor &ink)
{
    return iconFrom([ink](QPainter &p) {
        QPen pen(withAlpha(ink, 0.58), 1.35, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        p.setPen(pen);
        p.drawRoundedRect(box(3.1, 3.4, 11.2, 11.3), 2.5, 2.5);
        // A light card face keeps the dark ink readable on dark tray panels too.
        p.setPen(QPen(ink, 1.55, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(QColor(255, 255, 255, 235));
        p.drawRoundedRect(box(4.4, 2.8, 10.6, 11.8), 2.3, 2.3);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(withAlpha(ink, 0.58), 1.15, Qt::SolidLine, Qt::RoundCap));
        for (qreal y : {11.2, 9.2, 7.2})
            p.drawLine(at(6.7, y), at(12.7, y - 0.35));
        QPainterPath curl(at(10.4, 4.9));
        curl.cubicTo(at(10.7, 7.6), at(13.3, 8.0), at(13.9, 6.7));
        p.setPen(QPen(ink, 1.45, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPath(curl);
    });
}

QIcon makeCopiedIcon(const QColor &ink)
{
    return iconFrom([ink](QPainter &p) {
        p.setPen(QPen(QColor(255, 255, 255, 235), 1.2));
        p.setBrush(ink);
        p.drawEllipse(QRectF(1.5, 1.5, 15, 15));
        // The tick is cut out of the disc so it reads on any tray background.
        p.setCompositionMode(QPainter::CompositionMode_Clear);
        QPainterPath tick(QPointF(5.2, 9.3));
        tick.lineTo(7.9, 12.0);
        tick.lineTo(12.9, 6.4);
        p.setPen(QPen(Qt::black, 2.1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPath(tick);
    });
}

} // namespace

QIcon StatusGlyphs::statusIcon(const QColor &ink)
{
    return cachedIcon(m_status, ink, makeStatusGlyphIcon);
}

QIcon StatusGlyphs::copiedIcon(const QColor &ink)
{
    return cachedIcon(m_copied, ink, makeCopiedIcon);
}

} // namespace quillmere
