#pragma once

#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QScreen>

namespace quillmere {

// The settings window's fixed dark colours. Sizes elsewhere are the design's points, drawn as
// logical pixels.
namespace SettingsPalette {

inline QColor srgb(int r, int g, int b)
{
    return QColor(r, g, b);
}
inline QColor srgbF(double r, double g, double b)
{
    return QColor::fromRgbF(float(r), float(g), float(b));
}
inline QColor white(double opacity)
{
    return QColor::fromRgbF(1, 1, 1, float(opacity));
}
inline QColor withOpacity(QColor colour, double opacity)
{
    colour.setAlphaF(float(colour.alphaF() * opacity));
    return colour;
}

inline QColor windowBackground()
{
    return Qt::black;
}
inline QColor sidebarBackground()
{
    return srgb(11, 11, 13);
}
inline QColor sectionBackground()
{
    return srgb(16, 16, 18);
}
inline QColor raisedBackground()
{
    return srgb(24, 24, 26);
}
inline QColor rowBackground()
{
    return srgb(20, 20, 22);
}
inline QColor sectionStroke()
{
    return white(0.07);
}
inline QColor divider()
{
    return white(0.06);
}
inline QColor primaryText()
{
    return white(0.92);
}
inline QColor secondaryText()
{
    return white(0.58);
}
inline QColor tertiaryText()
{
    return white(0.48);
}
inline QColor iconForeground()
{
    return white(0.58);
}
inline QColor badgeBackground()
{
    return white(0.06);
}
inline QColor accent()
{
    return srgbF(0.78, 0.22, 0.88);
}
inline QColor controlTint()
{
    return srgbF(0.56, 0.36, 0.62);
}
inline QColor success()
{
    return srgbF(0.40, 0.82, 0.52);
}
inline QColor warning()
{
    return srgbF(0.98, 0.68, 0.28);
}
inline QColor danger()
{
    return srgbF(0.95, 0.38, 0.40);
}

// The system font at a size in points (logical pixels) and weight.
inline QFont font(double size, QFont::Weight weight = QFont::Normal, bool monospaced = false)
{
    QFont f = monospaced ? QFont(QStringLiteral("Monospace")) : QFont();
    if (monospaced)
        f.setStyleHint(QFont::Monospace);
    // Fractional sizes survive as points at the screen's logical resolution.
    const QScreen *screen = QGuiApplication::primaryScreen();
    const double dpi = screen ? screen->logicalDotsPerInchY() : 96.0;
    f.setPointSizeF(size * 72.0 / (dpi > 0 ? dpi : 96.0));
    f.setWeight(weight);
    return f;
}

} // namespace SettingsPalette

} // namespace quillmere
