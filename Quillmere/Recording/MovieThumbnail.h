#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <optional>

namespace quillmere::recording {

// A frame of the movie at `seconds` (the nearest one decoded at or after it, within half a
// second), scaled to fit 1200 × 1200; null when the movie cannot be read. Off the main thread.
QImage movieFrame(const QString &path, double seconds);
std::optional<double> movieDuration(const QString &path);
// The PNG of the thumbnail frame; nothing when there is no frame.
std::optional<QByteArray> movieThumbnailPNG(const QString &path);

} // namespace quillmere::recording
