#include "Quillmere/Capture/Overlay/Widgets/CaptureGlyphs.h"

#include "Quillmere/Panel/Window/PanelGlyphs.h"

#include <QPainter>
#include <QPainterPath>

namespace quillmere::CaptureGlyphs {

void paint(QPainter &painter, const QRectF &rect, const QString &name, const QColor &color, double weight)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const double s = std::min(rect.width(), rect.height());
    const QRectF r(rect.center().x() - s / 2, rect.center().y() - s / 2, s, s);
    auto at = [&](double x, double y) { return QPointF(r.left() + x * s, r.top() + y * s); };
    QPen pen(color, weight * s / 12.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    if (name == QLatin1String("xmark")) {
        painter.drawLine(at(0.22, 0.22), at(0.78, 0.78));
        painter.drawLine(at(0.78, 0.22), at(0.22, 0.78));
    } else if (name == QLatin1String("checkmark")) {
        QPainterPath path(at(0.18, 0.55));
        path.lineTo(at(0.42, 0.78));
        path.lineTo(at(0.84, 0.24));
        painter.drawPath(path);
    } else if (name == QLatin1String("exclamationmark")) {
        painter.drawLine(at(0.5, 0.16), at(0.5, 0.6));
        painter.setBrush(color);
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(at(0.5, 0.82), s * 0.08, s * 0.08);
    } else if (name.startsWith(QLatin1String("pin"))) {
        QPainterPath head;
        head.moveTo(at(0.36, 0.12));
        head.lineTo(at(0.64, 0.12));
        head.lineTo(at(0.6, 0.42));
        head.lineTo(at(0.74, 0.56));
        head.lineTo(at(0.26, 0.56));
        head.lineTo(at(0.4, 0.42));
        head.closeSubpath();
        if (name.endsWith(QLatin1String(".fill")))
            painter.setBrush(color);
        painter.drawPath(head);
        painter.drawLine(at(0.5, 0.56), at(0.5, 0.9));
    } else if (name == QLatin1String("pencil")) {
        painter.drawLine(at(0.22, 0.78), at(0.74, 0.26));
        painter.drawLine(at(0.66, 0.18), at(0.82, 0.34));
        painter.drawLine(at(0.16, 0.84), at(0.22, 0.66));
        painter.drawLine(at(0.16, 0.84), at(0.34, 0.78));
    } else if (name == QLatin1String("icloud.and.arrow.up")) {
        QPainterPath cloud;
        cloud.moveTo(at(0.3, 0.72));
        cloud.arcTo(QRectF(at(0.08, 0.44), QSizeF(s * 0.28, s * 0.28)), 270, -180);
        cloud.arcTo(QRectF(at(0.26, 0.2), QSizeF(s * 0.44, s * 0.44)), 160, -150);
        cloud.arcTo(QRectF(at(0.64, 0.42), QSizeF(s * 0.3, s * 0.3)), 90, -180);
        cloud.lineTo(at(0.62, 0.72));
        painter.drawPath(cloud);
        painter.drawLine(at(0.5, 0.9), at(0.5, 0.5));
        painter.drawLine(at(0.38, 0.62), at(0.5, 0.5));
        painter.drawLine(at(0.62, 0.62), at(0.5, 0.5));
    } else if (name == QLatin1String("record.circle")) {
        painter.drawEllipse(QRectF(at(0.1, 0.1), QSizeF(s * 0.8, s * 0.8)));
        painter.setBrush(color);
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(r.center(), s * 0.2, s * 0.2);
    } else if (name == QLatin1String("doc.plaintext")) {
        painter.drawRoundedRect(QRectF(at(0.2, 0.08), QSizeF(s * 0.6, s * 0.84)), s * 0.08, s * 0.08);
        for (double y : {0.32, 0.5, 0.68})
            painter.drawLine(at(0.34, y), at(0.66, y));
    } else {
        painter.restore();
        PanelGlyphs::paint(painter, rect, name, color);
        return;
    }
    painter.restore();
}

} // namespace quillmere::CaptureGlyphs
