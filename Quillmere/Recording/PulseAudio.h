#pragma once

#include <QList>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>

struct pa_simple;

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

// One blocking record stream of 48 kHz interleaved stereo 16-bit samples.
class PulseAudioCapture {
public:
    static constexpr int sampleRate = 48000;
    static constexpr int channels = 2;
    // Short reads keep a stop prompt.
    static constexpr int framesPerRead = 960;

    // "@DEFAULT_MONITOR@" is what the default sink plays; no device is the default source.
    static inline const QString defaultMonitor = QStringLiteral("@DEFAULT_MONITOR@");

    static std::unique_ptr<PulseAudioCapture> open(const std::optional<QString> &device, const QString &streamName,
                                                   QString *error);
    ~PulseAudioCapture();
    PulseAudioCapture(const PulseAudioCapture &) = delete;
    PulseAudioCapture &operator=(const PulseAudioCapture &) = delete;

    // Fills `framesPerRead` frames; false when the server went away.
    bool read(int16_t *samples);

private:
    PulseAudioCapture() = default;
    pa_simple *m_stream = nullptr;
};

} // namespace quillmere
