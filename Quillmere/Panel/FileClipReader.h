#pragma once

#include "Quillmere/Model/CapturedContent.h"

#include <QString>
#include <optional>

namespace quillmere {

struct FileClipRead {
    std::optional<CapturedContent> content;
    QString errorMessage; // when there is no content
};

// How long reading a chosen file may take before it is given up.
inline constexpr qint64 fileClipReadMs = 10000;

// A file chosen with "Add File…" as the content of a clip of kind file: its path, bytes, name
// and type (and its bytes as the image when it is one), from the source "Quillmere". Only
// regular files are read, never waited on, and never more than `maxBytes` + 1 bytes of them.
// It may block on a slow disk: call it off the main thread.
FileClipRead readFileClip(const QString &path, qint64 maxBytes);

// "Files larger than 8.4 MB cannot be saved yet."
QString fileTooLargeMessage(qint64 maxBytes);

// The stored type identifier for a MIME type ("image/png" gives "public.png"); "public.data" for
// what has no identifier of its own. `isImage` tells whether it counts as an image.
QString typeIdentifierForMimeType(const QString &mimeType, bool *isImage = nullptr);

} // namespace quillmere
