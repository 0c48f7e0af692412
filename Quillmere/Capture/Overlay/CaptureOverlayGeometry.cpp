#include "Quillmere/Capture/Overlay/CaptureOverlayGeometry.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace quillmere::CaptureOverlayGeometry {

QPointF overlayOrigin(QSizeF size, CaptureOverlayPosition position, const std::optional<QRectF> &visible)
{
    if (!visible)
        return {margin, margin};
    const double x = isLeft(position) ? visible->left() + margin : visible->right() - size.width() - margin;
    const double y = isBottom(position) ? visible->bottom() - size.height() - margin : visible->top() + margin;
    return {x, y};
}

QPointF startOrigin(QSizeF size, CaptureOverlayPosition position, const std::optional<QRectF> &screen, QPointF target)
{
    if (!screen)
        return target;
    const double x = isLeft(position) ? screen->left() - size.width() - offscreenGap : screen->right() + offscreenGap;
    return {x, target.y()};
}

std::optional<QRectF> bestScreenFrame(const QRectF &panel, const std::vector<QRectF> &screens)
{
    std::optional<QRectF> best;
    double bestArea = 0;
    double bestDistance = 0;
    for (const QRectF &screen : screens) {
        const QRectF overlap = screen.intersected(panel);
        const double area = overlap.isEmpty() ? 0 : overlap.width() * overlap.height();
        const QPointF d = screen.center() - panel.center();
        const double distance = d.x() * d.x() + d.y() * d.y();
        if (!best || area > bestArea || (area == bestArea && distance < bestDistance)) {
            best = screen;
            bestArea = area;
            bestDistance = distance;
        }
    }
    return best;
}

CaptureOverlayDismissalEdge exitEdge(CaptureOverlayDismissalEdge preferring, const QRectF &p, const QRectF &s)
{
    const std::array<double, 4> distances{std::abs(p.left() - s.left()), std::abs(s.right() - p.right()),
                                          std::abs(s.bottom() - p.bottom()), std::abs(p.top() - s.top())};
    const double nearest = *std::min_element(distances.begin(), distances.end());
    if (distances[size_t(preferring)] <= nearest + edgeTolerance)
        return preferring;
    for (size_t i = 0; i < distances.size(); ++i)
        if (distances[i] <= nearest + edgeTolerance)
            return CaptureOverlayDismissalEdge(i);
    return preferring;
}

Exit exitFor(const QRectF &panel, const std::vector<QRectF> &screens, const std::optional<QRectF> &shownOn)
{
    const QRectF s = bestScreenFrame(panel, screens).value_or(shownOn.value_or(panel));
    const auto preferred =
        s.center().x() <= panel.center().x() ? CaptureOverlayDismissalEdge::right : CaptureOverlayDismissalEdge::left;
    const CaptureOverlayDismissalEdge edge = exitEdge(preferred, panel, s);
    QPointF origin = panel.topLeft();
    switch (edge) {
    case CaptureOverlayDismissalEdge::left:
        origin.setX(s.left() - panel.width() - offscreenGap);
        break;
    case CaptureOverlayDismissalEdge::right:
        origin.setX(s.right() + offscreenGap);
        break;
    case CaptureOverlayDismissalEdge::bottom:
        origin.setY(s.bottom() + offscreenGap);
        break;
    case CaptureOverlayDismissalEdge::top:
        origin.setY(s.top() - panel.height() - offscreenGap);
        break;
    }
    return {edge, origin};
}

QPointF toastTarget(QSizeF size, const QRectF &screen)
{
    return {std::round(screen.center().x() - size.width() / 2), screen.top()};
}

QPointF toastStart(QSizeF size, const QRectF &screen)
{
    return {toastTarget(size, screen).x(), screen.top() - size.height()};
}

} // namespace quillmere::CaptureOverlayGeometry
