#pragma once

#include "Quillmere/Model/CapturedContent.h"

#include <QString>
#include <optional>

namespace quillmere {

struct FileClipRead {
    std::optional<CapturedContent> content;
    QString errorMessage; // when there is no content
};

// A file chosen with "Add File…" as the content of a clip of kind file: its path, bytes, name
// and type (and its bytes as the image when it is one), from the source "Quillmere". Only
// regular files are read, and never more than `maxBytes` + 1 bytes of them.
FileClipRead readFileClip(const QString &path, qint64 maxBytes);

// "Files larger than 8.4 MB cannot be saved yet."
QString fileTooLargeMessage(qint64 maxBytes);

// The stored type identifier for a MIME type ("image/png" gives "public.png"); "public.data" for
// what has no identifier of its own. `isImage` tells whether it counts as an image.
QString typeIdentifierForMimeType(const QString &mimeType, bool *isImage = nullptr);

} // namespace quillmere
