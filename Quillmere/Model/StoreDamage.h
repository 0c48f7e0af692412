#pragma once

#include <QObject>
#include <QSet>
#include <QString>
#include <mutex>

class QSqlError;

namespace quillmere {

// The one place that hears of a damaged store file, whichever connection, reader or thread met the
// damage: the main thread is told once per file, and the store on that file is salvaged (see
// ClipStore::reportDamage). A reader that gives up on damage says so with damageMessage().
class StoreDamage : public QObject {
    Q_OBJECT
public:
    static StoreDamage &detector();

    // SQLite's corrupt (11) and not-a-database (26) results, whatever the extended code.
    static bool isDamage(int sqliteCode);
    static bool isDamage(const QSqlError &error);

    // Any thread: notes an error a read of the store at `path` met. True when it is damage; the main
    // thread then hears of it once, however many reads meet it before it does.
    bool report(const QString &path, const QSqlError &error);
    bool report(const QString &path, int sqliteCode, const QString &message);

    // Why an export or backup stopped short of the whole history.
    static QString damageMessage();

Q_SIGNALS:
    // On the main thread, from the event loop.
    void damageFound(const QString &path);

private:
    StoreDamage() = default;
    void announce(const QString &path);

    std::mutex m_mutex;
    // Paths whose damage the main thread has yet to hear of.
    QSet<QString> m_pending;
};

} // namespace quillmere
