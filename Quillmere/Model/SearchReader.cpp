#include "Quillmere/Model/SearchReader.h"

#include "Quillmere/Model/ClipSearch.h"
#include "Quillmere/Model/SqlitePageMemory.h"
#include "Quillmere/Model/StoreDamage.h"

#include <QFile>

#include <cstring>
#include <unordered_map>

#include <sqlite3.h>

namespace quillmere {

namespace {

// A stopped search gives up within this many SQLite steps, a few microseconds.
constexpr int kStepsBetweenStopChecks = 1000;
// Row ids bound to one statement: a longer list runs it again, so it is prepared once whatever
// the list.
constexpr int kRowsPerRead = 64;

// holds(key, word...): whether the key holds every word, each as bytes. SQLite's instr() walks
// a blob byte by byte, and a search tests every key.
void holdsEvery(sqlite3_context *context, int count, sqlite3_value **values)
{
    const void *key = sqlite3_value_blob(values[0]);
    const size_t keySize = size_t(sqlite3_value_bytes(values[0]));
    for (int i = 1; i < count; ++i) {
        const void *word = sqlite3_value_blob(values[i]);
        const size_t wordSize = size_t(sqlite3_value_bytes(values[i]));
        if (wordSize
            && (!key
                || !holdsBytes(static_cast<const char *>(key), keySize, static_cast<const char *>(word), wordSize))) {
            sqlite3_result_int(context, 0);
            return;
        }
    }
    sqlite3_result_int(context, 1);
}

// SQLite hands its handler a pointer to change; it is given one to the caller's pointer to the
// flag, which stays read-only.
int stopRequested(void *flag)
{
    return (*static_cast<const std::atomic<bool> *const *>(flag))->load(std::memory_order_relaxed) ? 1 : 0;
}

QVariant valueOf(sqlite3_stmt *s, int column)
{
    switch (sqlite3_column_type(s, column)) {
    case SQLITE_INTEGER:
        return QVariant(qint64(sqlite3_column_int64(s, column)));
    case SQLITE_FLOAT:
        return QVariant(sqlite3_column_double(s, column));
    case SQLITE_TEXT:
        return QVariant(QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(s, column)),
                                          sqlite3_column_bytes(s, column)));
    case SQLITE_BLOB:
        return QVariant(
            QByteArray(static_cast<const char *>(sqlite3_column_blob(s, column)), sqlite3_column_bytes(s, column)));
    default:
        return QVariant();
    }
}

} // namespace

// A prepared statement lent for one use.
class SearchReader::Statement {
public:
    Statement(SearchReader &reader, const QByteArray &sql) : m_reader(reader), m_s(reader.prepared(sql)) {}
    ~Statement()
    {
        if (m_s) {
            sqlite3_reset(m_s);
            sqlite3_clear_bindings(m_s);
        }
    }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    explicit operator bool() const { return m_s != nullptr; }
    sqlite3_stmt *get() const { return m_s; }
    // The next row; false at the end or on failure (then failed() tells).
    bool step()
    {
        m_result = sqlite3_step(m_s);
        return m_result == SQLITE_ROW;
    }
    bool failed() const { return m_result != SQLITE_ROW && m_result != SQLITE_DONE && m_reader.keepError(); }

private:
    SearchReader &m_reader;
    sqlite3_stmt *m_s;
    int m_result = SQLITE_OK;
};

SearchReader::SearchReader(QString path, qint64 cacheBytes) : m_path(std::move(path)), m_cacheBytes(cacheBytes)
{
}

SearchReader::~SearchReader()
{
    close();
}

void SearchReader::close()
{
    for (auto &[sql, statement] : m_statements)
        sqlite3_finalize(statement);
    m_statements.clear();
    sqlite3_close(m_db);
    // A kept cache is by far the largest user of the process's page memory.
    if (m_db && m_cacheBytes > 0)
        releaseFreeSqlitePageMemory();
    m_db = nullptr;
    m_warm = false;
}

bool SearchReader::keepError()
{
    m_error = QString::fromUtf8(sqlite3_errmsg(m_db));
    // The failed read closes the connection, so the next one opens whatever file the path names then.
    StoreDamage::detector().report(m_path, sqlite3_errcode(m_db), m_error);
    return true;
}

bool SearchReader::open()
{
    if (sqlite3_open_v2(QFile::encodeName(m_path).constData(), &m_db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                        nullptr)
        != SQLITE_OK) {
        if (m_db)
            keepError();
        else
            m_error = QStringLiteral("out of memory");
        return false;
    }
    sqlite3_busy_timeout(m_db, 5000);
    // A cache in kibibytes is given as a negative size.
    if ((m_cacheBytes > 0 && !exec("PRAGMA cache_size = -" + QByteArray::number(m_cacheBytes >> 10)))
        || sqlite3_create_function(m_db, "quillmere_holds", -1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, holdsEvery,
                                   nullptr, nullptr)
            != SQLITE_OK) {
        keepError();
        return false;
    }
    return true;
}

sqlite3_stmt *SearchReader::prepared(const QByteArray &sql)
{
    auto it = m_statements.find(sql);
    if (it != m_statements.end())
        return it->second;
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v3(m_db, sql.constData(), int(sql.size()), SQLITE_PREPARE_PERSISTENT, &statement, nullptr)
        != SQLITE_OK) {
        keepError();
        return nullptr;
    }
    m_statements.emplace(sql, statement);
    return statement;
}

bool SearchReader::exec(const QByteArray &sql)
{
    Statement s(*this, sql);
    if (!s)
        return false;
    while (s.step()) {}
    return !s.failed();
}

qint64 SearchReader::dataVersion()
{
    Statement s(*this, "PRAGMA data_version");
    return s && s.step() ? sqlite3_column_int64(s.get(), 0) : -1;
}

bool SearchReader::read(const std::atomic<bool> &stop, const std::function<bool(Read &)> &job, QString *error)
{
    ++m_waiting;
    interruptWarming();
    const std::lock_guard lock(m_mutex);
    --m_waiting;
    m_error.clear();
    if (stop.load(std::memory_order_relaxed))
        return false;
    if (!m_db && !open()) {
        close();
        if (error)
            *error = m_error;
        return false;
    }
    const std::atomic<bool> *stopFlag = &stop;
    sqlite3_progress_handler(m_db, kStepsBetweenStopChecks, stopRequested, &stopFlag);
    Read read(*this);
    bool ok = exec("BEGIN") && job(read);
    // The rollback is not to be stopped as well: its statement, run again and again, reaches a
    // check of the stop now and then, and the transaction left open would keep the log from
    // being checkpointed and refuse the next read.
    sqlite3_progress_handler(m_db, 0, nullptr, nullptr);
    // Any save since the warming emptied the cache (SQLite drops every page once the store has
    // changed): the keys are read into it again after this search.
    if (ok && m_warm && dataVersion() != m_warmVersion)
        m_warm = false;
    if (!sqlite3_get_autocommit(m_db))
        ok = exec("ROLLBACK") && ok;
    const bool stopped = stop.load(std::memory_order_relaxed);
    if (!ok && !stopped && error)
        *error = m_error;
    // A connection that failed for another reason is opened afresh by the next read.
    if (!ok && (!stopped || !sqlite3_get_autocommit(m_db)))
        close();
    return ok && !stopped;
}

bool SearchReader::claimWarming()
{
    return !m_warm && !m_letGo && !m_warmingClaimed.exchange(true);
}

bool SearchReader::warm()
{
    const std::lock_guard lock(m_mutex);
    const auto wanted = [&] { return !m_warm && m_waiting == 0 && !m_letGo; };
    if (wanted()) {
        if (!m_db && !open()) {
            close();
        } else {
            setWarming(m_db);
            // Counting reads every page of the table in one step, copying out no key; a read that
            // comes meanwhile interrupts it, so it is asked again once the warming can be. The
            // version is taken in the same transaction, of the pages the count read.
            qint64 version = -1;
            if (wanted() && exec("BEGIN") && exec("SELECT count(*) FROM clip_search"))
                version = dataVersion();
            setWarming(nullptr);
            if (!sqlite3_get_autocommit(m_db) && !exec("ROLLBACK"))
                close();
            m_warmVersion = version;
            m_warm = version >= 0 && m_db != nullptr;
        }
    }
    m_warmingClaimed = false;
    return m_warm;
}

void SearchReader::letGo()
{
    m_letGo = true;
    interruptWarming();
}

void SearchReader::setWarming(sqlite3 *db)
{
    const std::lock_guard lock(m_warmingMutex);
    m_warming = db;
}

void SearchReader::interruptWarming()
{
    const std::lock_guard lock(m_warmingMutex);
    if (m_warming)
        sqlite3_interrupt(m_warming);
}

bool SearchReader::Read::matchesNewestFirst(const std::vector<QByteArray> &words, const Visit &visit, bool holding)
{
    bool pending = false;
    {
        Statement fill(m_reader, "SELECT 1 FROM clip_search_fill LIMIT 1");
        if (!fill)
            return false;
        pending = fill.step();
        if (fill.failed())
            return false;
    }
    QByteArray test;
    if (!words.empty())
        test = (holding ? "quillmere_holds(s.key" : "NOT quillmere_holds(s.key")
            + QByteArray(", ?").repeated(qsizetype(words.size())) + ")";
    // The keys found save their folding again; those missing a word are not wanted.
    const QByteArray key = holding ? "s.key" : "NULL";
    // The keys alone, newest first, unless some clips are still without theirs.
    const QByteArray sql = pending ? "SELECT c.id, s.clipID IS NOT NULL, " + key
            + " FROM clips c LEFT JOIN clip_search s ON s.createdAt = c.createdAt AND s.clipID = c.id"
            + (test.isEmpty() ? QByteArray() : " WHERE s.clipID IS NULL OR " + test)
            + " ORDER BY c.createdAt DESC, c.id DESC"
                                   : "SELECT s.clipID, 1, " + key + " FROM clip_search s"
            + (test.isEmpty() ? QByteArray() : " WHERE " + test) + " ORDER BY s.createdAt DESC, s.clipID DESC";
    Statement s(m_reader, sql);
    if (!s)
        return false;
    for (int i = 0; i < int(words.size()); ++i)
        sqlite3_bind_blob(s.get(), i + 1, words[size_t(i)].constData(), int(words[size_t(i)].size()), SQLITE_STATIC);
    while (s.step()) {
        const QByteArray found = holding
            ? QByteArray(static_cast<const char *>(sqlite3_column_blob(s.get(), 2)), sqlite3_column_bytes(s.get(), 2))
            : QByteArray();
        if (!visit(sqlite3_column_int64(s.get(), 0), sqlite3_column_int(s.get(), 1) != 0, found))
            return true;
    }
    return !s.failed();
}

bool SearchReader::Read::clipsWithRows(const std::vector<qint64> &rows, const StoreReader::Each<storerow::Clip> &each,
                                       bool keysOnly)
{
    const QByteArray wanted = keysOnly ? QByteArray("c.id, c.dedupID, c.pinboardID") : storerow::clipColumns().toUtf8();
    const QByteArray sql =
        "SELECT " + wanted + " FROM clips c WHERE c.id IN (?" + QByteArray(",?").repeated(kRowsPerRead - 1) + ")";
    for (size_t from = 0; from < rows.size(); from += kRowsPerRead) {
        Statement s(m_reader, sql);
        if (!s)
            return false;
        for (size_t i = from; i < std::min(rows.size(), from + kRowsPerRead); ++i)
            sqlite3_bind_int64(s.get(), int(i - from) + 1, rows[i]);
        std::unordered_map<const char *, int> columns;
        const auto column = [&](const char *name) {
            auto it = columns.find(name);
            if (it == columns.end()) {
                int index = sqlite3_column_count(s.get()) - 1;
                while (index >= 0 && std::strcmp(sqlite3_column_name(s.get(), index), name) != 0)
                    --index;
                it = columns.emplace(name, index).first;
            }
            return it->second < 0 ? QVariant() : valueOf(s.get(), it->second);
        };
        while (s.step())
            each(storerow::clipFrom(column));
        if (s.failed())
            return false;
    }
    return true;
}

} // namespace quillmere
