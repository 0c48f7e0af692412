#pragma once

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/Records.h"
#include "Quillmere/Recording/RecordingTypes.h"
#include "Quillmere/Recording/ScreenRecorder.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>
#include <functional>
#include <optional>

namespace quillmere {

class ClipStore;
class Preferences;

// The windows of a recording, drawn elsewhere: the region selector, the control bar and the
// border, and the alerts.
class RecordingSurfaces {
public:
    virtual ~RecordingSurfaces() = default;
    // Covers the screen under the pointer; false when there is none. The completion comes once,
    // after the selector has gone: a selection, or nothing when cancelled.
    virtual bool presentSelector(std::function<void(std::optional<RegionSelection>)> completion) = 0;
    virtual bool isSelectorOpen() const = 0;
    virtual void dismissSelector() = 0;
    virtual void showControls(const RegionSelection &selection, const QDateTime &startedAt, bool micEnabled) = 0;
    virtual void hideControls() = 0;
    // The index of the button pressed.
    virtual int alert(const QString &message, const QString &informative, const QStringList &buttons) = 0;

    // Set by the coordinator: the control bar's stop and mute buttons.
    std::function<void()> onStop;
    std::function<void(bool muted)> onToggleMute;
};

// Turns the record-screen action into a recording and the finished movie into a file clip with
// a thumbnail, on the clipboard as well.
class RecordingCoordinator : public QObject {
    Q_OBJECT
public:
    static inline const QString sourceAppName = QStringLiteral("Quillmere Recording");

    struct Dependencies {
        ClipStore *store = nullptr;
        ScreenRecorder *recorder = nullptr;
        RecordingSurfaces *surfaces = nullptr;
        Preferences *preferences = nullptr;
        std::function<bool(const ClipItem &)> writeClip;
        std::function<void(const ClipRef &)> onRecordingSaved;
        std::function<void()> beep;
        QString bundleIdentifier = QStringLiteral("com.orvantide.quillmere");
    };

    explicit RecordingCoordinator(Dependencies deps, QObject *parent = nullptr);

    void toggle();
    bool isLaunchingRecording() const { return m_launching; }

    // What the user is told when a recording ended by itself but its movie could be finished.
    static QString stopCauseMessage(StopCause cause);
    // What the user is told when a saved movie lacks sound it was asked for.
    static QString missingAudioMessage(const QStringList &missing);

    // The clip a finished movie becomes.
    static CapturedContent recordingContent(const QString &moviePath, const std::optional<QByteArray> &thumbnail,
                                            const QString &bundleIdentifier);

private:
    void handleSelection(const std::optional<RegionSelection> &selection);
    void stopRecording();
    void finishRecording(const RecordingResult &result);
    void saveRecording(const QString &path, const std::optional<QByteArray> &thumbnail,
                       const QStringList &missingAudio);

    Dependencies m_deps;
    bool m_launching = false;
};

} // namespace quillmere
