#pragma once

#include <QString>
#include <array>
#include <optional>

namespace quillmere {

class Preferences;

// The corner the post-capture card sits in; its raw text is the stored form.
enum class CaptureOverlayPosition { bottomLeft, bottomRight, topLeft, topRight };

inline const QString captureOverlayPositionKey = QStringLiteral("captureOverlayPositionV1");
inline const QString notchCaptureToastEnabledKey = QStringLiteral("notchCaptureToastEnabled");

inline constexpr std::array<CaptureOverlayPosition, 4> allCaptureOverlayPositions{
    CaptureOverlayPosition::bottomLeft, CaptureOverlayPosition::bottomRight, CaptureOverlayPosition::topLeft,
    CaptureOverlayPosition::topRight};

QString rawValue(CaptureOverlayPosition position);
// Exact, case-sensitive match of one of the four raw texts.
std::optional<CaptureOverlayPosition> captureOverlayPositionFromRaw(const QString &raw);
// The settings label: "Bottom left", "Bottom right", "Top left", "Top right".
QString title(CaptureOverlayPosition position);
inline bool isLeft(CaptureOverlayPosition p)
{
    return p == CaptureOverlayPosition::bottomLeft || p == CaptureOverlayPosition::topLeft;
}
inline bool isBottom(CaptureOverlayPosition p)
{
    return p == CaptureOverlayPosition::bottomLeft || p == CaptureOverlayPosition::bottomRight;
}

// What the capture settings hold for the card and the toast, read at the moment they are needed.
// A missing or unknown corner is bottom left; a missing or non-flag toast switch is on.
struct CaptureSettings {
    CaptureOverlayPosition overlayPosition = CaptureOverlayPosition::bottomLeft;
    bool toastEnabled = true;

    static CaptureSettings load(const Preferences &prefs);
    void store(Preferences &prefs) const;
};

} // namespace quillmere
