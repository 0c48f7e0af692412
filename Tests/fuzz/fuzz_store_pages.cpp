// Feeds arbitrary bytes to the store page reader as a store file and its write-ahead log, read as
// tables' trees and as indexes': the first four bytes (big-endian) give the length of the file,
// the rest is the log.

#include "Quillmere/Model/StoreFilePages.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <algorithm>
#include <cstddef>
#include <cstdint>

using namespace quillmere;

namespace {

// Small batches, so that the handing over is met as often as the reading.
constexpr size_t kBatch = 64;
// SQLite's largest page, and the most cells one page can point at.
constexpr qint64 kLargestPage = 65536;
constexpr qint64 kMostCellsPerPage = kLargestPage / 2;
constexpr quint32 kRootsTried = 8;

bool write(const QString &path, const char *data, qint64 size)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data, size) == size;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    static const QString path = dir.filePath(QStringLiteral("fuzz.store"));
    if (size < 4 || !dir.isValid())
        return 0;
    const char *bytes = reinterpret_cast<const char *>(data);
    const qint64 rest = qint64(size) - 4;
    const qint64 fileBytes = std::min<qint64>(qFromBigEndian<quint32>(bytes), rest);
    const qint64 logBytes = rest - fileBytes;
    if (!write(path, bytes + 4, fileBytes))
        __builtin_trap();
    QFile::remove(path + QStringLiteral("-wal"));
    if (logBytes > 0 && !write(path + QStringLiteral("-wal"), bytes + 4 + fileBytes, logBytes))
        __builtin_trap();

    StoreFilePages pages(path);
    // What the reader holds is bounded by what it was given: no page past both files, no logged
    // page that is not a frame of the log.
    if (qint64(pages.pageCount()) > (fileBytes + logBytes) / 512
        || qint64(pages.loggedPageCount()) > logBytes / (24 + 512))
        __builtin_trap();
    for (quint32 root = 1; root <= std::min(pages.pageCount(), kRootsTried); ++root) {
        // The same pages read as a table's and as an index's.
        for (const auto tree : {StoreFilePages::Tree::table, StoreFilePages::Tree::index}) {
            StoreFilePages::Tally tally;
            qint64 handed = 0;
            pages.forEachRowIDBatch(
                root, tree,
                [&](const std::vector<qint64> &batch) {
                    // Sorted, once each, and no larger than a batch and a page's cells.
                    if (batch.empty() || !std::is_sorted(batch.begin(), batch.end())
                        || std::adjacent_find(batch.begin(), batch.end()) != batch.end()
                        || batch.size() > kBatch + kMostCellsPerPage)
                        __builtin_trap();
                    handed += qint64(batch.size());
                    return true;
                },
                nullptr, kBatch, &tally);
            // Each page read once: no more cells than the pages hold, and no more row ids than cells.
            if (tally.cells > qint64(pages.pageCount()) * kMostCellsPerPage || handed > tally.cells || tally.cells < 0
                || tally.unreadPages < 0 || tally.unreadRowIDs < 0 || tally.unboundedPages > tally.unreadPages)
                __builtin_trap();
        }
    }
    return 0;
}
