#pragma once

#include "Quillmere/Platform/Core/Json.h"

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

// Carbon modifier bits, the stored form of every shortcut.
namespace CarbonModifier {
constexpr quint32 command = 0x100;
constexpr quint32 shift = 0x200;
constexpr quint32 alphaLock = 0x400; // caps lock; grabs cover every lock state anyway
constexpr quint32 option = 0x800;
constexpr quint32 control = 0x1000;
} // namespace CarbonModifier

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

// Display name of a Carbon key code ("A", "4", "Space", "↩", "F5"), or none for keys not in the table.
std::optional<QString> carbonKeyName(quint32 keyCode);

} // namespace quillmere
