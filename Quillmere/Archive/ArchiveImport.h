#pragma once

#include "Quillmere/Archive/ArchiveRecords.h"

#include <optional>

namespace quillmere {

class ClipStore;

namespace archive {

// The Page as a shareable archive; changes nothing. Temporary clips stay out.
PageArchive makePageArchive(const ClipStore &store, const PageRef &page);

// A new Page from a shared archive. A clip already in the history is moved onto it rather than
// copied; clips on other Pages stay where they are. None when the save fails.
PageRef importPage(ClipStore &store, const PageArchive &archive);

struct ArchiveImportResult {
    int inserted = 0;
    int skipped = 0;
    bool operator==(const ArchiveImportResult &) const = default;
};
// A backup with its payloads decoded and its content hashes worked out: the costly part of a
// restore, done on any thread so that the store's thread only writes.
struct PreparedArchive {
    ClipArchiveDocument document;
    std::vector<CapturedContent> contents; // one per clip of the document
    std::vector<QString> hashes;           // the hash each clip's content gives
};
PreparedArchive prepareArchive(ClipArchiveDocument document);

// Adds the backup's clips whose content is not stored yet, and the Pages they name. All or
// nothing: none when the save fails, and nothing is deleted first.
std::optional<ArchiveImportResult> importArchive(ClipStore &store, const ClipArchiveDocument &document);
std::optional<ArchiveImportResult> importArchive(ClipStore &store, const PreparedArchive &prepared);

} // namespace archive
} // namespace quillmere
