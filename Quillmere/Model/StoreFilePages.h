#pragma once

#include <QFile>
#include <QString>
#include <atomic>
#include <functional>
#include <unordered_map>
#include <vector>

namespace quillmere {

// The pages of a store file as SQLite reads them, its write-ahead log included, read as bytes: a
// damaged page is passed over and never sends the reader anywhere twice, so that what a damaged
// store costs to go through is bounded by its size, whatever its bytes.
class StoreFilePages {
public:
    explicit StoreFilePages(const QString &path);

    quint32 pageCount() const { return m_pageCount; }
    // The pages whose newest copy is in the log.
    size_t loggedPageCount() const { return m_logged.size(); }

    enum class Tree { table, index };
    // Given a batch of row ids, ascending and once each; false to stop.
    using BatchTaker = std::function<bool(const std::vector<qint64> &)>;
    static constexpr size_t rowIDBatch = 1 << 20;

    // What a walk met besides its row ids: the cells that hold them (a table's leaves', an index's
    // all), the rows the tree says it has where its pages can be read; the pages named past the end
    // of the file or no page of the tree; how many row ids the keys of their parents leave room for,
    // at most; how many of those pages no keys bound; and the children an interior page names twice
    // (two cells, or two pointers to one cell), each standing for one it no longer names, whose
    // rows no walk reaches and no count of cells sees.
    struct Tally {
        qint64 cells = 0, unreadPages = 0, unreadRowIDs = 0, unboundedPages = 0, namedTwice = 0;
    };

    // Hands the row ids of the tree whose root is page `root` to `take` in batches of about
    // `batchSize` (a page's more), a row id met on two pages perhaps in two: a file costs no more
    // memory than a batch. Every page a child pointer names is read once, so that every row a lookup
    // by row id reaches is among them. A table gives the keys of its leaves; an index the row ids its
    // entries end with, which tell of rows wherever the table's pages are. False when stopped by
    // `take` or `stop`; `tally`, when given, is added to.
    bool forEachRowIDBatch(quint32 root, Tree tree, const BatchTaker &take, const std::atomic<bool> *stop = nullptr,
                           size_t batchSize = rowIDBatch, Tally *tally = nullptr);

private:
    void readLog();
    // Page `number` (1 to pageCount) as the last commit in the log left it, else as the file holds it;
    // empty when it cannot be read whole.
    QByteArray page(quint32 number);

    QFile m_file, m_log;
    qint64 m_pageBytes = 0, m_usableBytes = 0;
    quint32 m_pageCount = 0;
    // Where in the log the newest committed copy of a page starts.
    std::unordered_map<quint32, qint64> m_logged;
};

} // namespace quillmere
