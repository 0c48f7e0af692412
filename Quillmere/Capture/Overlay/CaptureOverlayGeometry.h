#pragma once

#include "Quillmere/Capture/CaptureSettings.h"

#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <optional>
#include <vector>

namespace quillmere {

// The edge a dismissed card leaves by; the order is the tie order of the choice.
enum class CaptureOverlayDismissalEdge { left, right, bottom, top };

// Placement of the card and the toast in screen coordinates (y grows downwards). Pure functions,
// so every screen layout can be tried without a display.
namespace CaptureOverlayGeometry {
inline constexpr double margin = 16;
inline constexpr double offscreenGap = 8;
inline constexpr double edgeTolerance = 0.5;
inline constexpr int slideInMs = 280;
inline constexpr int slideOutMs = 200;
inline constexpr double slideOutOpacity = 0.12;
inline constexpr int dismissAfterMs = 6000;

// The corner of the visible area, 16 inside it; (16, 16) without a screen.
QPointF overlayOrigin(QSizeF size, CaptureOverlayPosition position, const std::optional<QRectF> &visibleFrame);
// Fully off the screen at the side of the corner, at the target's height.
QPointF startOrigin(QSizeF size, CaptureOverlayPosition position, const std::optional<QRectF> &screenFrame,
                    QPointF target);
// The screen overlapping the card most; equal overlaps go to the nearer centre, exact ties to the
// earlier screen. None without screens.
std::optional<QRectF> bestScreenFrame(const QRectF &panel, const std::vector<QRectF> &screens);
// The preferred side when it is within the tolerance of the nearest edge, else the first nearest.
CaptureOverlayDismissalEdge exitEdge(CaptureOverlayDismissalEdge preferring, const QRectF &panel, const QRectF &screen);
// Everything a dismissal needs: the edge and the origin 8 beyond it.
struct Exit {
    CaptureOverlayDismissalEdge edge;
    QPointF origin;
};
Exit exitFor(const QRectF &panel, const std::vector<QRectF> &screens, const std::optional<QRectF> &shownOn);

// The toast hangs from the top edge of the full screen frame, centred (halves away from zero);
// it starts and ends entirely above it.
QPointF toastTarget(QSizeF size, const QRectF &screenFrame);
QPointF toastStart(QSizeF size, const QRectF &screenFrame);
} // namespace CaptureOverlayGeometry

} // namespace quillmere
