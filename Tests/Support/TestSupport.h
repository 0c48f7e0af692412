#pragma once

#include "Quillmere/Platform/Core/Clock.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>
#include <sys/stat.h>

namespace quillmere::test {

// A clock that moves only when told to.
class FakeClock {
public:
    explicit FakeClock(QDateTime start = QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC)) : m_now(start) {}
    Clock clock()
    {
        return [this] { return m_now; };
    }
    QDateTime now() const { return m_now; }
    void advance(qint64 ms) { m_now = m_now.addMSecs(ms); }
    void set(const QDateTime &t) { m_now = t; }

private:
    QDateTime m_now;
};

// Preferences in a fresh file of their own.
struct TempPreferences {
    QTemporaryDir dir;
    std::unique_ptr<Preferences> prefs = std::make_unique<Preferences>(dir.filePath(QStringLiteral("prefs.json")));
    Preferences &operator*() { return *prefs; }
    Preferences *operator->() { return prefs.get(); }
};

// How long a test waits for what must come: a loaded machine's disk may hold a sync for seconds,
// and only a failing test waits it out.
constexpr int patienceMs = 30000;

// Runs the event loop until `condition` holds or the time is up; returns the condition.
inline bool waitUntil(const std::function<bool()> &condition, int timeoutMs = patienceMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(10);
    }
    return true;
}

// The process's umask set to `mask` for the scope; files a test makes meanwhile get its modes.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : m_previous(::umask(mask)) {}
    ~ScopedUmask() { ::umask(m_previous); }
    ScopedUmask(const ScopedUmask &) = delete;
    ScopedUmask &operator=(const ScopedUmask &) = delete;

private:
    mode_t m_previous;
};

// The permission bits of `path` (0 when it is missing), links followed.
inline unsigned permissionBits(const QString &path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

} // namespace quillmere::test
