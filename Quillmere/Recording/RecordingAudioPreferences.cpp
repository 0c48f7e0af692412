#include "Quillmere/Recording/RecordingAudioPreferences.h"

#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Recording/RecordingTypes.h"

namespace quillmere {

Q_LOGGING_CATEGORY(lcRecording, "com.orvantide.quillmere.recording")

QString userMessage(RecordingError error)
{
    switch (error) {
    case RecordingError::permissionDenied:
        return QStringLiteral("The X server does not let Brindlewax read the screen's pixels, so nothing can be "
                              "recorded. Start Brindlewax from within your own desktop session.");
    case RecordingError::noDisplay:
        return QStringLiteral("The display you selected is no longer available.");
    case RecordingError::writerFailed:
        return QStringLiteral("The recording file couldn't be created. Check free disk space and try again.");
    case RecordingError::noFramesCaptured:
        return QStringLiteral("No frames were captured, so there was nothing to save. If the recorded window or "
                              "display went away mid-recording, try again.");
    case RecordingError::saveFailed:
        return QStringLiteral("The recording file couldn't be finalized. Check free disk space and try again.");
    case RecordingError::folderUnusable:
        return QStringLiteral("The Recordings folder can't be used.");
    }
    return {};
}

QJsonValue RecordingAudioPreferences::toJson() const
{
    QJsonObject o{{QStringLiteral("micEnabled"), micEnabled},
                  {QStringLiteral("systemAudioEnabled"), systemAudioEnabled}};
    if (micDeviceID)
        o.insert(QStringLiteral("micDeviceID"), *micDeviceID);
    return o;
}

std::optional<RecordingAudioPreferences> RecordingAudioPreferences::fromJson(const QJsonValue &json)
{
    const QJsonObject o = json.toObject();
    const QJsonValue mic = o.value(QStringLiteral("micEnabled"));
    const QJsonValue system = o.value(QStringLiteral("systemAudioEnabled"));
    const QJsonValue device = o.value(QStringLiteral("micDeviceID"));
    if (!json.isObject() || !mic.isBool() || !system.isBool()
        || !(device.isUndefined() || device.isNull() || device.isString()))
        return std::nullopt;
    RecordingAudioPreferences p;
    p.micEnabled = mic.toBool();
    p.systemAudioEnabled = system.toBool();
    if (device.isString())
        p.micDeviceID = device.toString();
    return p;
}

RecordingAudioPreferences RecordingAudioPreferences::load(const Preferences &prefs)
{
    return prefs.decodeJSON<RecordingAudioPreferences>(key).value_or(RecordingAudioPreferences{});
}

void RecordingAudioPreferences::save(Preferences &prefs) const
{
    prefs.setJSON(*this, key);
}

} // namespace quillmere
