#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QtGlobal>
#include <memory>

struct ca_context;

namespace quillmere {

// Plays the program's short feedback sounds by name ("Pop", "Glass"). Any failure (no sound
// server, no device) is silence.
class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;
    virtual void play(const QString &name) = 0;
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
