#pragma once

#include "Quillmere/Recording/RecordingTypes.h"

#include <QSize>
#include <QString>
#include <array>
#include <cstdint>
#include <memory>

struct AVFormatContext;
struct AVFrame;
struct SwsContext;

namespace quillmere {

// One MPEG-4 movie: an H.264 video track and up to two AAC tracks (48 kHz stereo, 160 kbit/s).
// It is written under a hidden name beside the movie and takes the movie's name only once it is
// complete, so a half-written file is never mistaken for a recording. Used on one thread at a time.
class MovieWriter {
public:
    enum AudioTrack { systemAudio = 0, microphone = 1 };

    struct Options {
        QString path;
        QSize size;
        bool systemAudio = false;
        bool microphone = false;
    };

    static std::unique_ptr<MovieWriter> create(const Options &options, QString *error);
    ~MovieWriter();
    MovieWriter(const MovieWriter &) = delete;
    MovieWriter &operator=(const MovieWriter &) = delete;

    // Times are microseconds on the recorder's clock; the first video frame starts the movie.
    // 32-bit BGRX pixels of the movie's size.
    void appendVideo(const uint8_t *pixels, int stride, qint64 timeUs);
    // Interleaved stereo 16-bit samples at 48 kHz, dropped before the first video frame.
    void appendAudio(AudioTrack track, const int16_t *samples, int frames, qint64 timeUs);

    bool hasAudioTrack(AudioTrack track) const;
    bool sessionStarted() const { return m_sessionStart >= 0; }
    bool failed() const { return m_failed; }
    qint64 frameCount() const { return m_frameCount; }

    // Finishes the file (its path) or removes it (the reason).
    RecordingResult finish();

private:
    struct Track;
    MovieWriter() = default;
    bool openFile(const Options &options, QString *error);
    bool encode(Track &track, AVFrame *frame);
    void flushAudio(Track &track, bool final);
    void fail(const char *context, int code);
    void discard();

    QString m_path;
    QString m_partialPath;
    int m_lockFd = -1; // held while writing: start-up clean-ups leave a locked part alone
    AVFormatContext *m_format = nullptr;
    std::unique_ptr<Track> m_video;
    std::array<std::unique_ptr<Track>, 2> m_audio;
    SwsContext *m_scaler = nullptr;
    AVFrame *m_videoFrame = nullptr;
    qint64 m_sessionStart = -1;
    qint64 m_lastVideoPts = -1;
    qint64 m_frameCount = 0;
    bool m_headerWritten = false;
    bool m_failed = false;
    bool m_loggedFailure = false;
};

} // namespace quillmere
