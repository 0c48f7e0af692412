#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QtGlobal>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

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

class CanberraSoundPlayer : public SoundPlayer {
public:
    // `soundDirectory` empty: under the XDG cache dir.
    explicit CanberraSoundPlayer(const QString &soundDirectory = {});
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

    QString m_directory;
    ca_context *m_context = nullptr;
    QElapsedTimer m_clock;
    RetryBackoff m_backoff;
};

} // namespace quillmere
