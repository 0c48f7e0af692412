#include "Quillmere/Model/StoreCheck.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/StoreDamage.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QFile>
#include <QThread>

#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quillmere {

namespace {

// Pages read once need no cache beyond SQLite's own minimum.
constexpr int kCacheKiB = 2048;

// The calling thread yields the processor and the disk to everything else.
void lowerThisThread()
{
    const pid_t thread = pid_t(::syscall(SYS_gettid));
    ::setpriority(PRIO_PROCESS, id_t(thread), 19);
    constexpr int ioprioWhoProcess = 1, ioprioClassIdle = 3, ioprioClassShift = 13;
    ::syscall(SYS_ioprio_set, ioprioWhoProcess, thread, ioprioClassIdle << ioprioClassShift);
}

} // namespace

StoreCheck::StoreCheck(ClipStore &store, int firstDelayMs, int everyMs, QObject *parent)
    : QObject(parent), m_store(store), m_everyMs(everyMs)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &StoreCheck::checkNow);
    m_timer.start(firstDelayMs);
    // A check of the file the history left would say nothing of the one it went on in.
    connect(&store, &ClipStore::containerChanged, this, [this] {
        if (m_thread)
            m_stop->request();
    });
}

StoreCheck::~StoreCheck()
{
    if (m_thread) {
        m_stop->request();
        m_thread->wait();
    }
}

void StoreCheck::checkNow()
{
    if (m_thread)
        return;
    m_timer.stop();
    if (m_store.container().isInMemory()) {
        m_timer.start(m_everyMs);
        return;
    }
    m_stop = std::make_shared<Stop>();
    m_thread.reset(QThread::create([this, path = m_store.container().storeURL(), stop = m_stop] {
        lowerThisThread();
        const Result result = check(path, *stop);
        // Dropped with this object, should it go first.
        QMetaObject::invokeMethod(
            this, [this, result] { finished(result); }, Qt::QueuedConnection);
    }));
    m_thread->start(QThread::LowestPriority);
}

void StoreCheck::finished(Result result)
{
    m_thread->wait();
    m_thread.reset();
    m_timer.start(m_everyMs);
    Q_EMIT checked(result);
}

void StoreCheck::Stop::request()
{
    const std::lock_guard lock(m_mutex);
    m_requested = true;
    if (m_db)
        sqlite3_interrupt(m_db);
}

void StoreCheck::Stop::attach(sqlite3 *db)
{
    const std::lock_guard lock(m_mutex);
    m_db = db;
    if (m_db && m_requested)
        sqlite3_interrupt(m_db);
}

StoreCheck::Result StoreCheck::check(const QString &path, Stop &stop)
{
    if (stop.requested())
        return Result::unchecked;
    sqlite3 *db = nullptr;
    const int opened =
        sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3 *)> connection(db, sqlite3_close);
    if (opened != SQLITE_OK) {
        qCWarning(lcStore, "Could not open the store to check it: %s", db ? sqlite3_errmsg(db) : "out of memory");
        return Result::unchecked;
    }
    sqlite3_busy_timeout(db, 1000);
    sqlite3_exec(db, ("PRAGMA cache_size = -" + QByteArray::number(kCacheKiB)).constData(), nullptr, nullptr, nullptr);
    stop.attach(db);
    sqlite3_stmt *statement = nullptr;
    // One finding is enough: the salvage reads whatever it can.
    int result = sqlite3_prepare_v2(db, "PRAGMA quick_check(1)", -1, &statement, nullptr);
    QString finding;
    bool whole = false;
    if (result == SQLITE_OK) {
        while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
            const QString row = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, 0)));
            whole = row == QLatin1String("ok");
            if (!whole)
                finding = row;
        }
    }
    const int code = result == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db);
    const QString message = code == SQLITE_OK ? finding : QString::fromUtf8(sqlite3_errmsg(db));
    sqlite3_finalize(statement);
    stop.attach(nullptr);
    // What an interrupted check says is no finding.
    if (stop.requested())
        return Result::unchecked;
    if (code == SQLITE_OK && whole)
        return Result::whole;
    // A finding is damage whatever SQLite calls it; an error is damage only when SQLite says so.
    if (StoreDamage::detector().report(path, code == SQLITE_OK ? SQLITE_CORRUPT : code, message))
        return Result::damaged;
    qCWarning(lcStore, "Could not check the store: %s", qPrintable(message));
    return Result::unchecked;
}

} // namespace quillmere
