#pragma once

#include <QEasingCurve>
#include <QPoint>
#include <QRect>
#include <QString>
#include <optional>
#include <vector>

namespace quillmere {

// What the panel needs to know of one screen. Linux screens report no safe area and no
// auxiliary top areas, so tests are the only ones to hand in a notch.
struct ScreenMetrics {
    QRect frame;
    QRect available; // without the desktop's own bars
    int safeAreaTopInset = 0;
    std::optional<int> auxiliaryTopLeftWidth;
    std::optional<int> auxiliaryTopRightWidth;
};

// The notch of a screen, or the fixed stand-in where there is none.
struct NotchGeometry {
    static constexpr int fallbackWidth = 180;
    static constexpr int minimumMenuBarHeight = 22;

    int screenIndex = -1;
    bool hasNotch = false;
    int notchWidth = 0;
    int notchHeight = 0;

    // The given screen, else the main one, else the first; none without screens. A screen with no
    // measurable notch gets the 180-wide fallback under its menu bar (at least 22 high).
    static std::optional<NotchGeometry> current(const std::vector<ScreenMetrics> &screens,
                                                std::optional<int> screenIndex, int mainIndex);
    // The measured notch only: none unless the screen has a top inset, an auxiliary area, and a
    // positive width and height.
    static std::optional<NotchGeometry> detect(const ScreenMetrics &screen, int screenIndex = -1);
};

// The first screen, in list order, whose frame holds the point; else the main one, else the first;
// none without screens.
std::optional<int> screenWithMouse(const std::vector<ScreenMetrics> &screens, QPoint pointer, int mainIndex);

enum class PanelWidthMode { full, twoThirds };
QString rawValue(PanelWidthMode mode);
// "twoThirds" is two thirds; any other or missing value is the full width.
PanelWidthMode panelWidthModeFromRaw(const std::optional<QString> &raw);

namespace PanelMetrics {
inline constexpr int headerHeight = 52;
inline constexpr int dividerHeight = 1;
inline constexpr int cardAreaHeight = 172;
inline constexpr int enterMs = 280;
inline constexpr int exitMs = 200;
} // namespace PanelMetrics

// The panel's frame on its screen: hanging from the top edge, centred, the notch's height above
// the header and the card area.
QRect panelFrame(const ScreenMetrics &screen, const NotchGeometry &notch, PanelWidthMode mode);

// The slide curves shared by the panel, the capture overlay and the toast.
const QEasingCurve &panelEnterTimingFunction();
const QEasingCurve &panelExitTimingFunction();

} // namespace quillmere
