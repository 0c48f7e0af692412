#pragma once

#include <QImage>
#include <QRect>

namespace quillmere {

// The pixels of `deviceRect` (device pixels on the root window) as the X server has them now,
// or a null image when the server refuses. The image's device pixel ratio is left at 1.
QImage grabRootPixels(const QRect &deviceRect);

} // namespace quillmere
