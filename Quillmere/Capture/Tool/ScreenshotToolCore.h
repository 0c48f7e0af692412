#pragma once

#include <QImage>
#include <QPoint>
#include <QPointF>
#include <QRect>
#include <QString>
#include <QStringList>
#include <optional>

namespace quillmere::screenshot {

// What the tool was asked for: "-i" and a path selects an area, a path alone takes the screen.
struct ToolCommand {
    bool interactive = false;
    QString outputPath;
};

// None for anything else, so a mistyped call never overwrites a file the caller did not mean.
std::optional<ToolCommand> parseToolArguments(const QStringList &arguments);

// A screen as the X server lays it out: its logical geometry as Qt reports it and the device
// pixel ratio. Qt keeps a screen's top-left corner in device pixels and scales only its size.
struct ScreenLayout {
    QRect logicalGeometry;
    qreal devicePixelRatio = 1;

    QRect deviceGeometry() const;
    // A point in the overlay (logical, relative to the screen) as a device pixel of the screen.
    QPoint toDevice(const QPointF &local) const;
};

// The drag of an area selection, in device pixels relative to the screen. A drag from one point
// to another selects the pixels between them: its size is the distance moved.
class AreaSelection {
public:
    explicit AreaSelection(QSize screenPixels) : m_bounds(QPoint(0, 0), screenPixels) {}

    void press(QPoint devicePoint);
    void move(QPoint devicePoint);
    // The finished selection, or none when nothing was dragged or no area results.
    std::optional<QRect> release(QPoint devicePoint);
    void cancel() { m_dragging = false; }

    bool isDragging() const { return m_dragging; }
    QPoint pointer() const { return m_pointer; }
    // The selection as dragged so far; empty before a drag.
    QRect rect() const;
    // "640 × 480" while dragging, in device pixels.
    QString sizeReadout() const;

private:
    QPoint clamp(QPoint p) const;

    QRect m_bounds;
    QPoint m_anchor;
    QPoint m_pointer;
    bool m_dragging = false;
};

// Writes `image` as PNG that only the user may read, replacing the target in one step.
bool writePNGAtomically(const QImage &image, const QString &path, QString *error = nullptr);

} // namespace quillmere::screenshot
