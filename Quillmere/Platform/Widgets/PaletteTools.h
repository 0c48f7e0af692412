#pragma once

#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QScreen>

namespace quillmere {

// What the windows' fixed palettes are made with. Sizes are the design's points, drawn as
// logical pixels.
namespace PaletteTools {

inline QColor white(double opacity)
{
    return QColor::fromRgbF(1, 1, 1, float(opacity));
}
inline QColor withOpacity(QColor colour, double opacity)
{
    colour.setAlphaF(float(colour.alphaF() * opacity));
    return colour;
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

} // namespace PaletteTools

} // namespace quillmere
