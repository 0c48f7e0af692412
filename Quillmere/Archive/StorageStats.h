#pragma once

#include "Quillmere/Archive/StorageFacts.h"

#include <QDateTime>
#include <optional>
#include <vector>

namespace quillmere {

struct KindTotal {
    ClipKind kind = ClipKind::text;
    int count = 0;
    qint64 byteCount = 0;

    bool operator==(const KindTotal &) const = default;
};

struct PageTotal {
    QString name;
    int count = 0;
    qint64 byteCount = 0;

    bool operator==(const PageTotal &) const = default;
};

// What the storage sheet shows of a set of snapshots. Pure: computed once per load.
struct StorageStats {
    static constexpr int largestClipLimit = 10;

    int totalClips = 0;
    qint64 totalBytes = 0;
    std::vector<KindTotal> kindTotals;  // kinds that occur, most bytes first
    std::vector<ClipFact> largestClips; // at most ten, largest first, ties newest first
    std::vector<PageTotal> pageTotals;  // most clips first, ties by name in code-point order
    std::optional<QDateTime> oldest;
    std::optional<QDateTime> newest;
    int duplicateCandidateCount = 0; // clips beyond the first of each content hash

    bool operator==(const StorageStats &) const = default;

    // `facts` newest first, as the store hands them over.
    static StorageStats from(const std::vector<ClipFact> &facts);
};

// A byte figure in decimal units up to gigabytes ("Zero KB", "12 bytes", "340 KB", "1.5 MB",
// "2.25 GB"); a negative figure reads as zero.
QString storageByteText(qint64 bytes);

} // namespace quillmere
