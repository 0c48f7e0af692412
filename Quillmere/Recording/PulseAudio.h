#pragma once

#include <QList>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

struct pa_mainloop;
struct pa_context;
struct pa_stream;

namespace quillmere {

// A microphone that can be chosen for a recording: a PulseAudio source that is not a monitor.
struct RecordingAudioDevice {
    QString id;   // the source name, as stored in the preferences
    QString name; // its description, shown in the menu

    bool operator==(const RecordingAudioDevice &) const = default;

    // The server's current sources in its order, monitors left out, an id listed once; empty when
    // no server answers within half a second.
    static QList<RecordingAudioDevice> available();
};

// One record stream of 48 kHz interleaved stereo 16-bit samples. Every call waits a bounded time,
// so a source that goes quiet or a server that stops answering never holds its caller. Opened on
// one thread, it may then be used from another, one thread at a time.
class PulseAudioCapture {
public:
    static constexpr int sampleRate = 48000;
    static constexpr int channels = 2;
    static constexpr int framesPerRead = 960;
    static constexpr int openTimeoutMs = 1000;

    // "@DEFAULT_MONITOR@" is what the default sink plays; no device is the default source.
    static inline const QString defaultMonitor = QStringLiteral("@DEFAULT_MONITOR@");

    static std::unique_ptr<PulseAudioCapture> open(const std::optional<QString> &device, const QString &streamName,
                                                   QString *error, int timeoutMs = openTimeoutMs);
    ~PulseAudioCapture();
    PulseAudioCapture(const PulseAudioCapture &) = delete;
    PulseAudioCapture &operator=(const PulseAudioCapture &) = delete;

    enum class Read { chunk, waiting, gone };
    // Fills `framesPerRead` frames and when their first one was heard (steady clock, microseconds),
    // or says that none came within `waitMs`, or that the server went away.
    Read read(int16_t *samples, qint64 *heardUs, int waitMs = 50);

private:
    PulseAudioCapture() = default;

    pa_mainloop *m_loop = nullptr;
    pa_context *m_context = nullptr;
    pa_stream *m_stream = nullptr;
    std::vector<int16_t> m_pending;
};

} // namespace quillmere
