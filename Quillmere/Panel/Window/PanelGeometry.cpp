#include "Quillmere/Panel/Window/PanelGeometry.h"

#include <algorithm>

namespace quillmere {
namespace {

// One measurement for both lookups: needs a top inset and at least one auxiliary top area.
std::optional<NotchGeometry> measure(const ScreenMetrics &screen, int index)
{
    if (screen.safeAreaTopInset <= 0 || !(screen.auxiliaryTopLeftWidth || screen.auxiliaryTopRightWidth))
        return std::nullopt;
    NotchGeometry g;
    g.screenIndex = index;
    g.notchHeight = screen.safeAreaTopInset;
    g.notchWidth =
        screen.frame.width() - screen.auxiliaryTopLeftWidth.value_or(0) - screen.auxiliaryTopRightWidth.value_or(0);
    g.hasNotch = g.notchWidth > 0 && g.notchHeight > 0;
    return g;
}

std::optional<int> validIndex(const std::vector<ScreenMetrics> &screens, std::optional<int> index)
{
    if (index && *index >= 0 && *index < int(screens.size()))
        return index;
    return std::nullopt;
}

} // namespace

std::optional<NotchGeometry> NotchGeometry::detect(const ScreenMetrics &screen, int screenIndex)
{
    std::optional<NotchGeometry> g = measure(screen, screenIndex);
    if (!g || !g->hasNotch)
        return std::nullopt;
    return g;
}

std::optional<NotchGeometry> NotchGeometry::current(const std::vector<ScreenMetrics> &screens,
                                                    std::optional<int> screenIndex, int mainIndex)
{
    if (screens.empty())
        return std::nullopt;
    const int index = validIndex(screens, screenIndex).value_or(validIndex(screens, mainIndex).value_or(0));
    const ScreenMetrics &screen = screens[size_t(index)];
    if (std::optional<NotchGeometry> measured = detect(screen, index))
        return measured;
    NotchGeometry g;
    g.screenIndex = index;
    g.notchWidth = fallbackWidth;
    g.notchHeight = std::max(screen.available.top() - screen.frame.top(), minimumMenuBarHeight);
    return g;
}

std::optional<int> screenWithMouse(const std::vector<ScreenMetrics> &screens, QPoint pointer, int mainIndex)
{
    for (size_t i = 0; i < screens.size(); ++i) {
        if (screens[i].frame.contains(pointer))
            return int(i);
    }
    if (screens.empty())
        return std::nullopt;
    return validIndex(screens, mainIndex).value_or(0);
}

QString rawValue(PanelWidthMode mode)
{
    return mode == PanelWidthMode::twoThirds ? QStringLiteral("twoThirds") : QStringLiteral("full");
}

PanelWidthMode panelWidthModeFromRaw(const std::optional<QString> &raw)
{
    return raw == QStringLiteral("twoThirds") ? PanelWidthMode::twoThirds : PanelWidthMode::full;
}

QRect panelFrame(const ScreenMetrics &screen, const NotchGeometry &notch, PanelWidthMode mode)
{
    const QRect &frame = screen.frame;
    const int width = mode == PanelWidthMode::twoThirds ? frame.width() * 2 / 3 : frame.width();
    const int height =
        notch.notchHeight + PanelMetrics::headerHeight + PanelMetrics::dividerHeight + PanelMetrics::cardAreaHeight;
    return QRect(frame.left() + (frame.width() - width) / 2, frame.top(), width, height);
}

namespace {

QEasingCurve cubic(QPointF c1, QPointF c2)
{
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(c1, c2, QPointF(1, 1));
    return curve;
}

} // namespace

const QEasingCurve &panelEnterTimingFunction()
{
    static const QEasingCurve curve = cubic({0.2, 0.9}, {0.2, 1.0});
    return curve;
}

const QEasingCurve &panelExitTimingFunction()
{
    static const QEasingCurve curve = cubic({0.4, 0.0}, {1.0, 1.0});
    return curve;
}

} // namespace quillmere
