#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <memory>
#include <mutex>

class QThread;
struct sqlite3;

namespace quillmere {

class ClipStore;

// Looks through the whole store file for damage that no read has met (SQLite's quick check), on a
// thread of its own at the lowest priority: a while after the store opens, then once a day.
// Damage found goes to StoreDamage like any other.
class StoreCheck : public QObject {
    Q_OBJECT
public:
    static constexpr int afterStartMs = 2 * 60 * 1000;
    static constexpr int intervalMs = 24 * 3600 * 1000;

    enum class Result { whole, damaged, unchecked };
    Q_ENUM(Result)

    explicit StoreCheck(ClipStore &store, int firstDelayMs = afterStartMs, int everyMs = intervalMs,
                        QObject *parent = nullptr);
    // A check under way is interrupted, and gone within milliseconds.
    ~StoreCheck() override;

    // Checks the store file in use now, unless a check runs already or the history is in memory.
    void checkNow();

    // Ends a check under way, from any thread: SQLite's check is one long step, interrupted rather
    // than asked between steps.
    class Stop {
    public:
        void request();
        bool requested() const { return m_requested.load(std::memory_order_relaxed); }

    private:
        friend class StoreCheck;
        // The connection to interrupt, or none; interrupted at once when the stop came first.
        void attach(sqlite3 *db);

        std::mutex m_mutex;
        sqlite3 *m_db = nullptr;
        std::atomic<bool> m_requested = false;
    };

    // The check itself, on the calling thread, through a read-only connection of its own. Damage is
    // reported to StoreDamage; `unchecked` when the file could not be read for another reason or
    // the check was stopped.
    static Result check(const QString &path, Stop &stop);

Q_SIGNALS:
    void checked(StoreCheck::Result result);

private:
    void finished(Result result);

    ClipStore &m_store;
    const int m_everyMs;
    QTimer m_timer;
    std::unique_ptr<QThread> m_thread;
    std::shared_ptr<Stop> m_stop;
};

} // namespace quillmere
