#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QtGlobal>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

struct ca_context;

namespace quillmere {

// Plays the program's short feedback sounds by name ("Pop", "Glass"). Any failure (no sound
// server, no device) is silence.
class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;
    virtual void play(const QString &name) = 0;
};

// Plays through another player on a thread of its own, so that opening a sound device (loading a
// driver, waiting on a sound server, its retries) never holds up the caller. Plays asked while one
// runs wait their turn; beyond a few waiting, more are dropped.
class SoundThread : public SoundPlayer {
public:
    static constexpr size_t maxWaiting = 4;

    // `player` is used on the thread only, and must outlive this.
    explicit SoundThread(SoundPlayer &player);
    // Waits for the sound playing now, if any.
    ~SoundThread() override;
    void play(const QString &name) override;

private:
    void run();

    SoundPlayer &m_player;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<QString> m_waiting;
    bool m_quit = false;
    std::thread m_thread;
};

// When to try again after failures: after one, attempts wait 1 s, then 2, 4 … up to 5 minutes;
// a success starts over. Times are milliseconds on any monotonic clock.
class RetryBackoff {
public:
    static constexpr qint64 firstDelayMs = 1000;
    static constexpr qint64 maxDelayMs = 5 * 60 * 1000;

    bool mayTry(qint64 nowMs) const { return m_delayMs == 0 || nowMs >= m_nextTryMs; }
    // True for the first failure after a success (or ever), the one worth a log line.
    bool failed(qint64 nowMs);
    void succeeded() { m_delayMs = 0; }

private:
    qint64 m_delayMs = 0;
    qint64 m_nextTryMs = 0;
};

// An open file's descriptor, closed with it.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    FileDescriptor(FileDescriptor &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    ~FileDescriptor();
    int get() const { return m_fd; }

private:
    int m_fd;
};

class CanberraSoundPlayer : public SoundPlayer {
public:
    // `soundDirectory` empty: under the XDG cache dir.
    explicit CanberraSoundPlayer(const QString &soundDirectory = {});
    // Its sound files are kept in memory, for a run that leaves the user's folders alone.
    struct InMemory {};
    explicit CanberraSoundPlayer(InMemory);
    ~CanberraSoundPlayer() override;
    void play(const QString &name) override;

    // The sound file for `name`, written on first use; empty for an unknown name.
    QString soundFile(const QString &name);
    // 16-bit mono PCM WAV bytes of the named sound; empty for an unknown name.
    static QByteArray synthesize(const QString &name);

private:
    bool openContext();
    void closeContext();
    void fail(const char *reason);

    // Empty when the files are kept in memory, each open here under its name.
    QString m_directory;
    std::map<QString, FileDescriptor> m_inMemory;
    ca_context *m_context = nullptr;
    QElapsedTimer m_clock;
    RetryBackoff m_backoff;
};

} // namespace quillmere
