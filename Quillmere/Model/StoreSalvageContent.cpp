#include "Quillmere/Model/StoreSalvageContent.h"

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/StoreRows.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QSqlError>
#include <QSqlQuery>
#include <algorithm>
#include <optional>
#include <vector>

namespace quillmere::StoreSalvageContent {
namespace {

using Bytes = std::optional<QByteArray>;

// A page read back as zeroes ends a blob in them. A blob may end in zeroes of its own, so only one
// whose hash does not vouch for it counts; a hash alone does not, as an imported or synced clip
// keeps the hash its sender gave it.
bool endsZeroed(const Bytes &bytes)
{
    constexpr qsizetype kRun = 8;
    if (!bytes || bytes->isEmpty())
        return false;
    const qsizetype run = std::min(kRun, bytes->size());
    return std::all_of(bytes->cend() - run, bytes->cend(), [](char c) { return c == 0; });
}

// Bytes the row says it has (a size of -1 says none) but which did not come back whole.
bool bytesLost(const QVariant &size, const Bytes &bytes)
{
    return size.toLongLong() >= 0 && (!bytes || bytes->size() != size.toLongLong());
}

bool contentDamaged(const QVariant &stored, const ClipKeys::HashSource &source, const Bytes &image, const Bytes &file)
{
    const ClipKind kind = clipKindOrText(source.kindRawValue);
    if (ClipKeys::isHashFromContent(stored)) {
        // Kept without its hash only because its words were stored exactly as captured, so the hash
        // cannot tell of damage; words no longer in a form that is stored exactly (zeroes where a
        // page was) can.
        const QString hash = CapturedContent::contentHash(kind, source.text, std::nullopt, std::nullopt,
                                                          source.fileName, source.fileTypeIdentifier);
        return !ClipKeys::isHashFromContent(ClipKeys::contentHash(hash, source));
    }
    if (!endsZeroed(image) && !endsZeroed(file))
        return false;
    const QString kept = ClipKeys::contentHashFrom(stored, source);
    return CapturedContent::contentHash(kind, source.text, image, file, source.fileName, source.fileTypeIdentifier)
        != kept;
}

struct NewHash {
    qint64 id;
    QVariant stored;
    qint32 key;
};

void keepHashes(QSqlQuery &q, const std::vector<NewHash> &hashes)
{
    if (hashes.empty())
        return;
    // A store from before the keys has no column for them; it gains it, filled, when opened.
    const bool keyed = q.prepare(QStringLiteral("UPDATE clips SET contentHash = ?, hashKey = ? WHERE id = ?"));
    if (!keyed && !q.prepare(QStringLiteral("UPDATE clips SET contentHash = ? WHERE id = ?")))
        return;
    for (const NewHash &hash : hashes) {
        q.addBindValue(hash.stored);
        if (keyed)
            q.addBindValue(hash.key);
        q.addBindValue(hash.id);
        if (!q.exec())
            qCWarning(lcPersistence, "Could not give a salvaged clip its hash: %s",
                      qPrintable(describe(q.lastError())));
    }
    q.finish();
}

} // namespace

int checkClips(QSqlQuery &q, const std::unordered_set<qint64> &defaulted, const std::unordered_set<qint64> &hashLost)
{
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT c.id, c.contentHash, c.kind, c.text, c.fileName, c.fileTypeIdentifier,"
                               " (SELECT data FROM clip_images WHERE clipID = c.id),"
                               " (SELECT data FROM clip_files WHERE clipID = c.id), c.imageSize, c.fileSize"
                               " FROM clips c"))) {
        qCWarning(lcPersistence, "Could not look for damaged content: %s", qPrintable(describe(q.lastError())));
        q.setForwardOnly(false);
        return int(defaulted.size());
    }
    const auto bytes = [&](int column) {
        return q.value(column).isNull() ? Bytes() : Bytes(q.value(column).toByteArray());
    };
    int damaged = 0;
    std::vector<NewHash> hashes;
    while (q.next()) {
        const qint64 id = q.value(0).toLongLong();
        const Bytes image = bytes(6), file = bytes(7);
        const ClipKeys::HashSource source{q.value(2).toString(), optionalText(q.value(3)), optionalText(q.value(4)),
                                          optionalText(q.value(5)), image || file};
        if (hashLost.count(id)) {
            const QString hash = CapturedContent::contentHash(clipKindOrText(source.kindRawValue), source.text, image,
                                                              file, source.fileName, source.fileTypeIdentifier);
            hashes.push_back({id, ClipKeys::contentHash(hash, source), ClipKeys::contentHashKey(hash)});
        }
        if (defaulted.count(id) || bytesLost(q.value(8), image) || bytesLost(q.value(9), file)
            || contentDamaged(q.value(1), source, image, file))
            ++damaged;
    }
    q.finish();
    q.setForwardOnly(false);
    keepHashes(q, hashes);
    return damaged;
}

} // namespace quillmere::StoreSalvageContent
