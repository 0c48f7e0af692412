#pragma once

#include "Quillmere/Recording/RecordingAudioPreferences.h"
#include "Quillmere/Recording/RecordingTypes.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QScreen>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

namespace quillmere {

class RecordingSession;

// The recording engine: frames of one screen (or a rectangle of it) at most 30 a second, with
// system audio and the microphone as asked, into an H.264 movie. Capture, audio and encoding run
// on threads of their own; this object, its state and its callbacks belong to the main thread.
class ScreenRecorder : public QObject {
    Q_OBJECT
public:
    enum class State { idle, starting, recording };

    struct Statistics {
        qint64 frames = 0;
        qint64 dropped = 0;
    };

    explicit ScreenRecorder(QObject *parent = nullptr);
    ~ScreenRecorder() override;

    // "~/.local/share/Quillmere/Recordings".
    static QString defaultRecordingsFolder();
    // "Recording 2026-01-31 at 09.05.07.mp4".
    static QString fileName(const QDateTime &localTime);

    // Also clears the folder of movies a crashed session left half-written.
    void setRecordingsFolder(const QString &folder);
    QString recordingsFolder() const { return m_folder; }
    // Why the last start found the folder unusable, in words for the user.
    QString folderProblem() const { return m_folderProblem; }

    // The folder movies are written into: the Recordings folder made private, or the folder of
    // the user's own that it links to. An empty path comes with the reason.
    struct PreparedFolder {
        QString path;
        QString problem;
    };
    static PreparedFolder prepareRecordingsFolder(const QString &folder);

    State state() const { return m_state; }
    QDateTime startedAt() const { return m_startedAt; }
    Statistics lastStatistics() const { return m_statistics; }
    // The sound the last recording was asked for but goes without ("system audio", "microphone").
    QStringList lastMissingAudio() const { return m_missingAudio; }
    // Why the last recording ended by itself; nothing when it was stopped.
    std::optional<StopCause> lastStopCause() const { return m_stopCause; }

    // Each change of state, with the start while recording.
    std::function<void(State)> onStateChange;
    // A stop the recorder did not ask for (display, audio server or disk gone), after finishing.
    std::function<void(const RecordingResult &)> onUnexpectedStop;

    // Nothing when recording has begun, or when a recording is already starting or running.
    std::optional<RecordingError> start(const std::optional<RegionSelection> &selection,
                                        const RecordingAudioPreferences &audio);
    // Stops capturing at once and finishes the movie off the main thread; `done` gets the result.
    // False (and `done` is dropped) when nothing is recording or a stop is already under way.
    bool stop(std::function<void(const RecordingResult &)> done);
    void setMicMuted(bool muted);

private:
    void removeStaleParts() const;
    void setState(State state);
    void finishSession(std::function<void(const RecordingResult &)> done, bool unexpected);
    void sessionFinished();
    void sessionFault(StopCause cause);

    QString m_folder;
    QString m_folderProblem;
    // Half-written movies older than this are no one's any more.
    QDateTime m_sessionStart = QDateTime::currentDateTimeUtc();
    State m_state = State::idle;
    QDateTime m_startedAt;
    Statistics m_statistics;
    std::unique_ptr<RecordingSession> m_session;
    std::thread m_finisher;
    std::function<void(const RecordingResult &)> m_done;
    RecordingResult m_finalResult = RecordingError::noFramesCaptured;
    bool m_finishing = false;
    bool m_unexpected = false;
    std::optional<StopCause> m_stopCause;
    QStringList m_missingAudio;
    QPointer<QScreen> m_screen;
};

} // namespace quillmere
