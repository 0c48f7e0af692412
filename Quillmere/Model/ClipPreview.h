#pragma once

#include "Quillmere/Model/Records.h"

#include <QUrl>
#include <functional>
#include <optional>

namespace quillmere {

// Whether the clip has something to open: non-blank text, an http(s) link, image or file bytes,
// or (for a file clip) its own file still on disk at an absolute path.
bool canPreviewClip(const ClipItem &clip);

// Where preview copies go: "QuillmerePreviews" in the temporary folder, readable by the user only
// (in the session's runtime folder instead while another account holds that name).
QString clipPreviewFolder();

// What opening the clip would open: the link itself, the clip's own file, or a preview copy written
// now (text as UTF-8 ".txt", an image as ".png", file bytes under the base of their file name).
// None when there is nothing to open or the copy could not be written.
std::optional<QUrl> clipPreviewTarget(const ClipItem &clip);

// Hands what the clip would open to `open` (the desktop's opener, from the layer that shows it).
void openClipPreview(const ClipItem &clip, const std::function<bool(const QUrl &)> &open);

} // namespace quillmere
