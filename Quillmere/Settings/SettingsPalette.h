#pragma once

#include "Quillmere/Platform/Widgets/PaletteTools.h"

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
using PaletteTools::font;
using PaletteTools::white;
using PaletteTools::withOpacity;

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

} // namespace SettingsPalette

} // namespace quillmere
