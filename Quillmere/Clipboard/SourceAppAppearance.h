#pragma once

#include <QByteArray>
#include <QColor>
#include <QHash>
#include <QIcon>
#include <QImage>
#include <QSet>
#include <QString>
#include <array>
#include <optional>

namespace quillmere {

class DesktopEntries;

struct RGBComponents {
    double red = 0, green = 0, blue = 0;
    bool operator==(const RGBComponents &) const = default;
};

// Icons and brand colours of the applications clips come from, for badges and filters. Lookups
// are cached for the life of the object, both found icons and applications that are missing.
// Main thread only.
class SourceAppAppearance {
public:
    explicit SourceAppAppearance(const DesktopEntries &applications);

    // Known browsers by exact bundle identifier (case-sensitive): six upper-case hex digits.
    static const QHash<QString, QString> &brandColorTable();
    static const std::array<QColor, 8> &fallbackPalette();

    // Never null: the default clipboard glyph when nothing better is found.
    QIcon icon(const QString &bundleID);
    QColor brandColor(const QString &bundleID, const QString &fallbackKey);
    // Six upper-case hex digits, or the empty text when the colour cannot be expressed.
    QString brandColorHex(const QString &bundleID, const QString &fallbackKey);
    // A 64 x 64 PNG of the application's own icon; nothing for an unknown application.
    std::optional<QByteArray> iconPNG(const QString &bundleID);
    // The application's desktop file, or nothing (remembered as missing).
    std::optional<QString> applicationURL(const QString &bundleID);

    static std::optional<RGBComponents> colorFromHex(const QString &text);
    static int fallbackPaletteIndex(const QString &key);
    // The prevailing hue of an icon's opaque pixels, measured on a 16 x 16 rendering.
    static std::optional<QColor> dominantColor(const QImage &image);
    // Brings a colour into the saturation and brightness range badges stay readable in.
    static QColor tunedBrandColor(const QColor &color);
    static QString hexText(double red, double green, double blue);

    const QIcon &defaultIcon();

private:
    QIcon applicationIcon(const QString &bundleID);
    QColor paletteColor(const QString &key) const;

    const DesktopEntries &m_applications;
    QHash<QString, QIcon> m_iconCache;
    QHash<QString, QColor> m_colorCache;
    QSet<QString> m_missingApplications;
    QIcon m_defaultIcon;
};

} // namespace quillmere
