#pragma once

#include "Quillmere/Model/StoreReader.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace quillmere {

// A read-only connection to a store file for the history search, through SQLite itself so that
// any thread may use it, one read at a time. A panel keeps one while it shows: each key of a
// search then finds the file open, its statements prepared and, once warmed, the keys in a page
// cache of up to `cacheBytes` rather than read from the file again. Opened at the first read, on
// the thread doing it.
class SearchReader {
public:
    explicit SearchReader(QString path, qint64 cacheBytes = 0);
    ~SearchReader();
    SearchReader(const SearchReader &) = delete;
    SearchReader &operator=(const SearchReader &) = delete;

    // What a read may ask, all of it seeing the store as it was at the first of them.
    class Read {
    public:
        // The row ids of the clips, newest first, whose search key (see StoreSearchKeys) holds
        // every word (UTF-8, folded), or with `holding` false misses one, and of those without a
        // key yet (`keyed` false: the caller folds them). With `holding`, each found key comes
        // along (`key`). A `visit` answering false ends the walk, still giving true.
        using Visit = std::function<bool(qint64 row, bool keyed, const QByteArray &key)>;
        bool matchesNewestFirst(const std::vector<QByteArray> &words, const Visit &visit, bool holding = true);
        // The clips of those row ids that are there, in no order. Fills no pageDedupID. With
        // `keysOnly`, only the row, dedupID and Page row are read (for lists of many thousands).
        bool clipsWithRows(const std::vector<qint64> &rows, const StoreReader::Each<storerow::Clip> &each,
                           bool keysOnly = false);

    private:
        friend class SearchReader;
        explicit Read(SearchReader &reader) : m_reader(reader) {}
        SearchReader &m_reader;
    };

    // Runs `job` in a read transaction of its own, once any read before it has ended. A statement
    // gives up part-way once `stop` is set. False, with `error` set unless stopped, when the store
    // could not be opened or read, the job gave false, or the read stopped.
    bool read(const std::atomic<bool> &stop, const std::function<bool(Read &)> &job, QString *error);
    // Whether the keys are still to be read into the cache (see warm) and nobody has undertaken
    // it; the caller that gets true undertakes it.
    bool claimWarming();
    // Reads every search key into the page cache once any read running has ended, giving way to
    // any read that waits meanwhile and to letGo(); what it read stays. True once the keys were all
    // read (the cache keeps them while this connection stays open, they fit and the store is not
    // saved: a read that finds a save since makes the keys wanted again).
    bool warm();
    bool isWarm() const { return m_warm.load(std::memory_order_relaxed); }
    // No search will come any more: a warming yet to run, or running, gives up.
    void letGo();

private:
    class Statement;
    bool open();
    // Prepared once per connection; reset and unbound when the statement is handed back.
    sqlite3_stmt *prepared(const QByteArray &sql);
    bool exec(const QByteArray &sql);
    // Changes whenever the store was saved since, by any connection; -1 when it cannot be read.
    qint64 dataVersion();
    // Keeps SQLite's last message as the read's error; true, so that a check for failure notes it in passing.
    bool keepError();
    void close();
    // A warming under way on `m_warming` stops at once; sqlite3_interrupt is the one call made
    // from a thread that does not hold m_mutex.
    void setWarming(sqlite3 *db);
    void interruptWarming();

    const QString m_path;
    const qint64 m_cacheBytes;
    std::mutex m_mutex;
    std::atomic<int> m_waiting = 0;
    std::atomic<bool> m_warm = false;
    qint64 m_warmVersion = -1;
    std::atomic<bool> m_warmingClaimed = false;
    std::atomic<bool> m_letGo = false;
    std::mutex m_warmingMutex;
    sqlite3 *m_warming = nullptr;
    sqlite3 *m_db = nullptr;
    std::map<QByteArray, sqlite3_stmt *> m_statements;
    QString m_error;
};

} // namespace quillmere
