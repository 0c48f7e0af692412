#include "Quillmere/Capture/CaptureSettings.h"

#include "Quillmere/Platform/Core/Preferences.h"

namespace quillmere {

QString rawValue(CaptureOverlayPosition position)
{
    switch (position) {
    case CaptureOverlayPosition::bottomLeft:
        return QStringLiteral("bottomLeft");
    case CaptureOverlayPosition::bottomRight:
        return QStringLiteral("bottomRight");
    case CaptureOverlayPosition::topLeft:
        return QStringLiteral("topLeft");
    case CaptureOverlayPosition::topRight:
        return QStringLiteral("topRight");
    }
    return QStringLiteral("bottomLeft");
}

std::optional<CaptureOverlayPosition> captureOverlayPositionFromRaw(const QString &raw)
{
    for (CaptureOverlayPosition p : allCaptureOverlayPositions)
        if (rawValue(p) == raw)
            return p;
    return std::nullopt;
}

QString title(CaptureOverlayPosition position)
{
    switch (position) {
    case CaptureOverlayPosition::bottomLeft:
        return QStringLiteral("Bottom left");
    case CaptureOverlayPosition::bottomRight:
        return QStringLiteral("Bottom right");
    case CaptureOverlayPosition::topLeft:
        return QStringLiteral("Top left");
    case CaptureOverlayPosition::topRight:
        return QStringLiteral("Top right");
    }
    return {};
}

CaptureSettings CaptureSettings::load(const Preferences &prefs)
{
    CaptureSettings settings;
    if (const auto raw = prefs.string(captureOverlayPositionKey))
        settings.overlayPosition = captureOverlayPositionFromRaw(*raw).value_or(CaptureOverlayPosition::bottomLeft);
    settings.toastEnabled = prefs.boolValue(notchCaptureToastEnabledKey, true);
    return settings;
}

void CaptureSettings::store(Preferences &prefs) const
{
    prefs.setString(captureOverlayPositionKey, rawValue(overlayPosition));
    prefs.setBool(notchCaptureToastEnabledKey, toastEnabled);
}

} // namespace quillmere
