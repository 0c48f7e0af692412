#pragma once

#include <QPoint>
#include <QRect>
#include <QRectF>
#include <QSize>
#include <QString>
#include <optional>

namespace quillmere::recording {

// Pixels for a length in points: rounded half away from zero, an odd pixel dropped, at least 2.
int evenPixels(qreal points, qreal scale);

// Where the X server's pixels for a selection lie (root coordinates) and the movie's size.
struct CaptureArea {
    QRect source;
    QSize output;
};
// `screenNative`: the screen in device pixels. The logical origin of a screen is its native one.
CaptureArea captureArea(const QRect &screenLogical, qreal scale, const QRect &screenNative,
                        const std::optional<QRectF> &rect);

// A dragged rectangle between two view points, clipped to `bounds` and aligned to whole video
// pixels pairs: the step is 1 point at scale 2, 2 points at scale 1.
QRectF selectionRect(QPointF a, QPointF b, const QRectF &bounds, qreal scale);

// The pixel size shown while dragging: "W × H".
QString pixelSizeLabel(const QRectF &rect, qreal scale);

// Top-left of a floating panel of `size` beside `avoiding` inside `container` (top-left origin):
// below the rectangle, else above, else inside the container at whichever edge covers less of it.
QPointF floatingPanelOrigin(QSizeF size, const std::optional<QRectF> &avoiding, const QRectF &container, qreal margin);

// "m:ss" for whole seconds since the start; minutes are not folded into hours.
QString elapsedText(qint64 elapsedMs);

// Where the thumbnail is taken: half-way, at most one second in; 0 without a usable duration.
double thumbnailTime(std::optional<double> durationSeconds);

} // namespace quillmere::recording
