#pragma once

#include <QJsonValue>
#include <QString>
#include <optional>

namespace quillmere {

class Preferences;

// The audio choices for recordings; the selector's HUD edits them, each start reads them afresh.
struct RecordingAudioPreferences {
    static inline const QString key = QStringLiteral("recordingAudioV1");

    bool micEnabled = false;
    // A PulseAudio source name; none is the server's default source.
    std::optional<QString> micDeviceID;
    bool systemAudioEnabled = false;

    bool operator==(const RecordingAudioPreferences &) const = default;

    QJsonValue toJson() const;
    static std::optional<RecordingAudioPreferences> fromJson(const QJsonValue &json);

    static RecordingAudioPreferences load(const Preferences &prefs);
    void save(Preferences &prefs) const;
};

} // namespace quillmere
