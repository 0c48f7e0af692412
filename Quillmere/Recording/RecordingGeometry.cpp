#include "Quillmere/Recording/RecordingGeometry.h"

#include <cmath>

namespace quillmere::recording {

int evenPixels(qreal points, qreal scale)
{
    const auto n = static_cast<long long>(std::round(points * scale));
    return int(std::max<long long>(2, n - n % 2));
}

CaptureArea captureArea(const QRect &screenLogical, qreal scale, const QRect &screenNative,
                        const std::optional<QRectF> &rect)
{
    if (!rect) {
        // 4:2:0 video cannot hold an odd row or column, so even a whole screen loses one.
        const QSize even(std::max(2, screenNative.width() & ~1), std::max(2, screenNative.height() & ~1));
        return {QRect(screenNative.topLeft(), even), even};
    }
    const QSize output(evenPixels(rect->width(), scale), evenPixels(rect->height(), scale));
    const QPointF local = (rect->topLeft() - QPointF(screenLogical.topLeft())) * scale;
    QPoint origin = screenNative.topLeft() + QPoint(int(std::round(local.x())), int(std::round(local.y())));
    // The grab must stay on the screen; a size rounded up at an edge moves the grab inward.
    origin.setX(std::clamp(origin.x(), screenNative.left(),
                           std::max(screenNative.left(), screenNative.right() + 1 - output.width())));
    origin.setY(std::clamp(origin.y(), screenNative.top(),
                           std::max(screenNative.top(), screenNative.bottom() + 1 - output.height())));
    const QSize source(std::min(output.width(), screenNative.width()),
                       std::min(output.height(), screenNative.height()));
    return {QRect(origin, source), output};
}

QRectF selectionRect(QPointF a, QPointF b, const QRectF &bounds, qreal scale)
{
    // QRectF::intersected() drops a rectangle without height, which a straight drag makes.
    const auto clip = [&bounds](QRectF r) {
        const qreal left = std::clamp(r.left(), bounds.left(), bounds.right());
        const qreal top = std::clamp(r.top(), bounds.top(), bounds.bottom());
        const qreal right = std::clamp(r.right(), bounds.left(), bounds.right());
        const qreal bottom = std::clamp(r.bottom(), bounds.top(), bounds.bottom());
        return QRectF(QPointF(left, top), QPointF(right, bottom));
    };
    const QRectF r = clip(QRectF(QPointF(std::min(a.x(), b.x()), std::min(a.y(), b.y())),
                                 QSizeF(std::abs(a.x() - b.x()), std::abs(a.y() - b.y()))));
    const qreal step = std::max<qreal>(1, scale > 0 ? std::round(2 / scale) : 2);
    const auto snap = [step](qreal v) { return std::max(step, std::round(v / step) * step); };
    return clip(QRectF(std::floor(r.x()), std::floor(r.y()), snap(r.width()), snap(r.height())));
}

QString pixelSizeLabel(const QRectF &rect, qreal scale)
{
    const auto px = [scale](qreal v) {
        const auto n = static_cast<long long>(std::round(v * scale));
        const long long even = n - n % 2;
        return even < 3 ? 2 : even;
    };
    return QStringLiteral("%1 × %2").arg(px(rect.width())).arg(px(rect.height()));
}

QPointF floatingPanelOrigin(QSizeF size, const std::optional<QRectF> &avoiding, const QRectF &c, qreal m)
{
    const qreal w = size.width(), h = size.height();
    if (!avoiding)
        return {c.center().x() - w / 2, c.bottom() - m - h};
    const QRectF &a = *avoiding;
    qreal x = a.center().x() - w / 2;
    const qreal lo = c.left() + 8, hi = c.right() - w - 8;
    x = hi > lo ? std::clamp(x, lo, hi) : c.left();
    const auto fits = [&](qreal y) {
        const QRectF panel(x, y, w, h);
        return y >= c.top() && y + h <= c.bottom() && !panel.intersects(a);
    };
    if (const qreal below = a.bottom() + m; fits(below))
        return {x, below};
    if (const qreal above = a.top() - m - h; fits(above))
        return {x, above};
    const auto overlap = [&](qreal y) {
        const QRectF i = QRectF(x, y, w, h).intersected(a);
        return i.isValid() ? i.width() * i.height() : 0.0;
    };
    const qreal top = c.top() + m, bottom = c.bottom() - h - m;
    return {x, overlap(bottom) < overlap(top) ? bottom : top};
}

QString elapsedText(qint64 elapsedMs)
{
    const qint64 s = std::max<qint64>(0, elapsedMs / 1000);
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

double thumbnailTime(std::optional<double> d)
{
    if (!d || !std::isfinite(*d) || *d <= 0)
        return 0;
    return std::min(*d * 0.5, 1.0);
}

} // namespace quillmere::recording
