#pragma once

#include "Quillmere/Platform/Core/PreferenceKeys.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QList>
#include <QString>
#include <optional>

namespace quillmere {

// What happens after a capture, as the capture settings store it and the card and toast read it
// at the moment they need it.

// The corner the post-capture card slides into.
enum class CaptureOverlayPosition { bottomLeft, bottomRight, topLeft, topRight };

inline const QList<CaptureOverlayPosition> &allCaptureOverlayPositions()
{
    static const QList<CaptureOverlayPosition> all{CaptureOverlayPosition::bottomLeft,
                                                   CaptureOverlayPosition::bottomRight, CaptureOverlayPosition::topLeft,
                                                   CaptureOverlayPosition::topRight};
    return all;
}

inline QString rawValue(CaptureOverlayPosition position)
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

// Exact text only.
inline std::optional<CaptureOverlayPosition> captureOverlayPositionFromRaw(const QString &raw)
{
    for (CaptureOverlayPosition position : allCaptureOverlayPositions())
        if (rawValue(position) == raw)
            return position;
    return std::nullopt;
}

inline QString title(CaptureOverlayPosition position)
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

inline bool isLeft(CaptureOverlayPosition position)
{
    return position == CaptureOverlayPosition::bottomLeft || position == CaptureOverlayPosition::topLeft;
}
inline bool isBottom(CaptureOverlayPosition position)
{
    return position == CaptureOverlayPosition::bottomLeft || position == CaptureOverlayPosition::bottomRight;
}

// Absent or unknown text: bottom left. Never writes.
inline CaptureOverlayPosition captureOverlayPosition(const Preferences &prefs)
{
    return captureOverlayPositionFromRaw(prefs.string(PreferenceKeys::captureOverlayPosition).value_or(QString()))
        .value_or(CaptureOverlayPosition::bottomLeft);
}

// Absent, or stored as anything but a flag: on.
inline bool notchCaptureToastEnabled(const Preferences &prefs)
{
    return prefs.get(PreferenceKeys::notchCaptureToastEnabled);
}

} // namespace quillmere
