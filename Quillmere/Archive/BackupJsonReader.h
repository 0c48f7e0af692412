#pragma once

#include "Quillmere/Archive/ArchiveRecords.h"

#include <QByteArray>
#include <optional>

namespace quillmere::archive {

// Reads a backup's JSON text straight into the document, without building a JSON DOM first: a
// history with images is mostly long strings, which the DOM would copy twice. Strict: anything
// it is not sure of (bad syntax, a lone surrogate, a missing or mistyped field, deep nesting)
// gives none, and the caller asks the DOM reader for the verdict.
std::optional<ClipArchiveDocument> readBackupJson(const QByteArray &json);

} // namespace quillmere::archive
