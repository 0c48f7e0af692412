#pragma once

#include "Quillmere/Model/ClipKind.h"
#include "Quillmere/Model/Records.h"

#include <QDateTime>
#include <QString>
#include <QUuid>
#include <optional>
#include <vector>

namespace quillmere {

// A plain snapshot of one clip for the storage figures: counts, dates and short texts only.
struct ClipFact {
    QUuid id;
    ClipKind kind = ClipKind::text;
    qint64 byteCount = 0; // image + file bytes + UTF-8 size of the text
    QDateTime createdAt;
    std::optional<QString> pageName;
    bool isPinned = false;
    QString contentHash;
    QString preview; // never the secret itself

    bool operator==(const ClipFact &) const = default;

    // Reads no image or file bytes.
    static ClipFact from(const ClipItem &clip);

    // Every clip of the store file at `storePath`, newest first, read `batchSize` at a time through
    // a read-only connection of its own, so it may run on any thread. A failing batch ends the read.
    static std::vector<ClipFact> fetchAll(const QString &storePath, int batchSize);
};

namespace storagestats {

// The store file, its "-wal" and "-shm" companions and the hidden ".<name>_SUPPORT" folder beside it.
qint64 onDiskBytes(const QString &storeFilePath);
// The size of a file, or of every regular file under a folder (hidden ones included); 0 when missing.
qint64 itemBytes(const QString &path);

} // namespace storagestats
} // namespace quillmere
