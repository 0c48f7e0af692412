#pragma once

#include "Quillmere/Platform/Widgets/PaletteTools.h"

namespace quillmere {

// The setup guide's own fixed dark colours, apart from the settings window's even where the
// values agree. Sizes elsewhere are the design's points, drawn as logical pixels.
namespace OnboardingPalette {

using PaletteTools::font;
using PaletteTools::white;
using PaletteTools::withOpacity;

inline QColor cardBackground()
{
    return QColor(24, 24, 26);
}
inline QColor cardStroke()
{
    return white(0.08);
}
inline QColor divider()
{
    return white(0.07);
}
inline QColor primaryText()
{
    return white(0.92);
}
inline QColor secondaryText()
{
    return white(0.62);
}
inline QColor tertiaryText()
{
    return white(0.38);
}
inline QColor accent()
{
    return QColor::fromRgbF(0.78f, 0.22f, 0.88f);
}
inline QColor windowBackground()
{
    return Qt::black;
}
inline QColor sidebarBackground()
{
    return QColor(11, 11, 13);
}
inline QColor contentBackground()
{
    return QColor(13, 13, 16);
}

// The desktop's standard named colours, as the dark look shows them.
inline QColor blue()
{
    return QColor(10, 132, 255);
}
inline QColor orange()
{
    return QColor(255, 159, 10);
}
inline QColor green()
{
    return QColor(48, 209, 88);
}
inline QColor purple()
{
    return QColor(191, 90, 242);
}
inline QColor red()
{
    return QColor(255, 69, 58);
}

} // namespace OnboardingPalette

} // namespace quillmere
