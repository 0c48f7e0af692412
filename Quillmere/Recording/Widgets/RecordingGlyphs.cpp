#include "Quillmere/Recording/Widgets/RecordingGlyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace quillmere::recording {

QIcon glyph(const QString &name, const QColor &colour, int size)
{
    QPixmap pixmap(size * 2, size * 2);
    pixmap.setDevicePixelRatio(2);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 14.0, size / 14.0);
    const QPen line(colour, 1.6, Qt::SolidLine, Qt::RoundCap);
    const bool filled = name.endsWith(QLatin1String(".fill"));
    if (name.startsWith(QLatin1String("mic"))) {
        p.setPen(line);
        p.setBrush(filled ? QBrush(colour) : Qt::NoBrush);
        p.drawRoundedRect(QRectF(4.5, 1, 5, 8), 2.5, 2.5);
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(2.5, 3, 9, 8), 180 * 16, 180 * 16);
        p.drawLine(QPointF(7, 11), QPointF(7, 13));
    } else if (name.startsWith(QLatin1String("speaker"))) {
        QPainterPath body;
        body.moveTo(1.5, 5);
        body.lineTo(4, 5);
        body.lineTo(7.5, 2);
        body.lineTo(7.5, 12);
        body.lineTo(4, 9);
        body.lineTo(1.5, 9);
        body.closeSubpath();
        p.setPen(line);
        p.setBrush(filled ? QBrush(colour) : Qt::NoBrush);
        p.drawPath(body);
        if (!name.contains(QLatin1String("slash"))) {
            p.setBrush(Qt::NoBrush);
            p.drawArc(QRectF(6, 4.5, 4, 5), -60 * 16, 120 * 16);
            p.drawArc(QRectF(6, 2.5, 7, 9), -60 * 16, 120 * 16);
        }
    } else if (name == QLatin1String("stop.fill")) {
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawRoundedRect(QRectF(3, 3, 8, 8), 1.5, 1.5);
    } else if (name == QLatin1String("record.circle")) {
        p.setPen(line);
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QRectF(1.5, 1.5, 11, 11));
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawEllipse(QRectF(4.5, 4.5, 5, 5));
    }
    if (name.contains(QLatin1String("slash"))) {
        p.setPen(line);
        p.drawLine(QPointF(2, 2), QPointF(12, 12));
    }
    return QIcon(pixmap);
}

} // namespace quillmere::recording
