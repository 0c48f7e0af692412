#pragma once

#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Platform/Core/KeyNotation.h"

#include <QList>
#include <QMap>
#include <QString>
#include <optional>

namespace quillmere {

class Preferences;

enum class CaptureAction { areaScreenshot, fullScreenScreenshot, ocrArea, screenRecording };

QString rawValue(CaptureAction action);
std::optional<CaptureAction> captureActionFromRaw(const QString &raw);
const QList<CaptureAction> &allCaptureActions();

struct CaptureShortcut {
    quint32 keyCode = 0;   // Carbon virtual key code
    quint32 modifiers = 0; // Carbon modifier mask
    bool operator==(const CaptureShortcut &) const = default;
};

struct CaptureShortcutPreferences {
    static inline const QString key = QStringLiteral("captureShortcutsV1");

    QMap<CaptureAction, CaptureShortcut> shortcuts;
    bool operator==(const CaptureShortcutPreferences &) const = default;

    static const CaptureShortcutPreferences &defaultShortcuts();
    // The stored table exactly as stored, or the defaults whole when it is absent or bad.
    static CaptureShortcutPreferences load(const Preferences &prefs);

    QJsonValue toJson() const;
    static std::optional<CaptureShortcutPreferences> fromJson(const QJsonValue &json);
};

} // namespace quillmere
