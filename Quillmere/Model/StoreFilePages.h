#pragma once

#include <QByteArray>
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

    bool isOpen() const { return m_file.isOpen(); }
    quint32 pageCount() const { return m_pageCount; }
    // The pages whose newest copy is in the log.
    size_t loggedPageCount() const { return m_logged.size(); }

    // Given a batch of row ids, ascending and once each; false to stop.
    using BatchTaker = std::function<bool(const std::vector<qint64> &)>;
    static constexpr size_t rowIDBatch = 1 << 20;

    // What a walk of a table's tree met besides its row ids.
    struct Tally {
        // The cells of its leaf pages as each page counts them: the rows the table says it has,
        // where its pages can be read.
        qint64 cells = 0;
        // Pages the tree names that are past the end of the file or are no page of a table's tree,
        // whose rows cannot be counted.
        qint64 unreadPages = 0;
        // Of those, how many row ids the keys of their parents leave room for, at most, and how
        // many pages no keys bound.
        qint64 unreadRowIDs = 0;
        qint64 unboundedPages = 0;
    };

    // Hands the row ids in the leaves of the table whose tree starts at page `root` to `take`, in
    // batches of about `batchSize` (a page's more), so that what a file holds costs no more memory
    // than a batch, whatever its bytes; a row id met on two pages may come in two batches. Every
    // page any child pointer of the tree names is read once, so that every row a lookup by row id
    // can reach is among them, and a damaged page costs no more than a sound one. A cell pointer is
    // read as SQLite reads it, its bits above the page size dropped. False when stopped by `take`
    // or by `stop`; `tally`, when given, is added to.
    bool forEachRowIDBatch(quint32 root, const BatchTaker &take, const std::atomic<bool> *stop = nullptr,
                           size_t batchSize = rowIDBatch, Tally *tally = nullptr);

    // Hands the row ids the entries of the index whose tree starts at page `root` end with to
    // `take`, in batches as above, each page read once; an entry spilled onto pages of its own is
    // passed over. An index lists the rows of its table wherever its own pages are, so that it
    // tells of rows the table's pages that are lost held.
    bool forEachIndexedRowIDBatch(quint32 root, const BatchTaker &take, const std::atomic<bool> *stop = nullptr,
                                  size_t batchSize = rowIDBatch);

private:
    // The page as the last commit in the log left it, else as the file holds it; empty past the end.
    QByteArray page(quint32 number);
    void readLog(const QString &path);

    QFile m_file;
    QFile m_log;
    qint64 m_pageBytes = 0;
    qint64 m_usableBytes = 0;
    quint32 m_pageCount = 0;
    // Where in the log the newest committed copy of a page starts.
    std::unordered_map<quint32, qint64> m_logged;
};

} // namespace quillmere
