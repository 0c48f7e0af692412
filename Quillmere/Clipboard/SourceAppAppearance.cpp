#include "Quillmere/Clipboard/SourceAppAppearance.h"

#include "Quillmere/Platform/DesktopEntries.h"

#include <QBuffer>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <algorithm>
#include <cmath>

namespace quillmere {

namespace {

constexpr int iconPixels = 64;
constexpr int sampleSide = 16;

QImage renderIcon(const QIcon &icon, int side)
{
    QImage out(side, side, QImage::Format_ARGB32);
    out.fill(Qt::transparent);
    const QPixmap pixmap = icon.pixmap(QSize(side, side));
    if (pixmap.isNull())
        return out;
    QPainter p(&out);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.drawPixmap(QRect(0, 0, side, side), pixmap);
    return out;
}

// A clipboard: board, clip and two lines of text, in a neutral grey.
QPixmap clipboardGlyph(int side)
{
    QPixmap pm(side, side);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal u = side / 26.0;
    QPen pen(QColor(0x8e, 0x8e, 0x93), 1.6 * u);
    pen.setJoinStyle(Qt::RoundJoin);
    pen.setCapStyle(Qt::RoundCap);
    p.setPen(pen);
    p.drawRoundedRect(QRectF(5 * u, 4.5 * u, 16 * u, 19 * u), 2.5 * u, 2.5 * u);
    p.setBrush(QColor(0x8e, 0x8e, 0x93));
    p.drawRoundedRect(QRectF(9 * u, 2.5 * u, 8 * u, 4 * u), 1.2 * u, 1.2 * u);
    p.drawLine(QPointF(9 * u, 12 * u), QPointF(17 * u, 12 * u));
    p.drawLine(QPointF(9 * u, 16.5 * u), QPointF(15 * u, 16.5 * u));
    return pm;
}

} // namespace

SourceAppAppearance::SourceAppAppearance(const DesktopEntries &applications) : m_applications(applications)
{
}

const QHash<QString, QString> &SourceAppAppearance::brandColorTable()
{
    // The same browsers under the ids their Linux packages, Flatpaks and Snaps install.
    static const QHash<QString, QString> table{
        {QStringLiteral("com.google.Chrome"), QStringLiteral("4285F4")},
        {QStringLiteral("google-chrome"), QStringLiteral("4285F4")},
        {QStringLiteral("google-chrome-beta"), QStringLiteral("4285F4")},
        {QStringLiteral("com.apple.Safari"), QStringLiteral("006CFF")},
        {QStringLiteral("org.mozilla.firefox"), QStringLiteral("FF7139")},
        {QStringLiteral("firefox"), QStringLiteral("FF7139")},
        {QStringLiteral("firefox-esr"), QStringLiteral("FF7139")},
        {QStringLiteral("firefox_firefox"), QStringLiteral("FF7139")},
        {QStringLiteral("com.microsoft.edgemac"), QStringLiteral("0078D7")},
        {QStringLiteral("microsoft-edge"), QStringLiteral("0078D7")},
        {QStringLiteral("com.microsoft.Edge"), QStringLiteral("0078D7")},
        {QStringLiteral("company.thebrowser.Browser"), QStringLiteral("FF5060")},
        {QStringLiteral("com.brave.Browser"), QStringLiteral("FB542B")},
        {QStringLiteral("brave-browser"), QStringLiteral("FB542B")},
        {QStringLiteral("brave_brave"), QStringLiteral("FB542B")},
        {QStringLiteral("com.operasoftware.Opera"), QStringLiteral("FF1B2D")},
        {QStringLiteral("opera"), QStringLiteral("FF1B2D")},
        {QStringLiteral("com.opera.Opera"), QStringLiteral("FF1B2D")},
        {QStringLiteral("opera_opera"), QStringLiteral("FF1B2D")},
        {QStringLiteral("com.vivaldi.Vivaldi"), QStringLiteral("EF3939")},
        {QStringLiteral("vivaldi-stable"), QStringLiteral("EF3939")},
        {QStringLiteral("vivaldi_vivaldi-stable"), QStringLiteral("EF3939")},
    };
    return table;
}

const std::array<QColor, 8> &SourceAppAppearance::fallbackPalette()
{
    static const std::array<QColor, 8> palette{
        QColor::fromRgbF(0.91f, 0.12f, 0.81f), QColor::fromRgbF(0.22f, 0.48f, 0.96f),
        QColor::fromRgbF(0.61f, 0.33f, 0.96f), QColor::fromRgbF(0.95f, 0.55f, 0.15f),
        QColor::fromRgbF(0.13f, 0.69f, 0.67f), QColor::fromRgbF(0.95f, 0.33f, 0.55f),
        QColor::fromRgbF(0.42f, 0.40f, 0.94f), QColor::fromRgbF(0.91f, 0.26f, 0.21f),
    };
    return palette;
}

std::optional<RGBComponents> SourceAppAppearance::colorFromHex(const QString &text)
{
    if (text.size() != 6)
        return std::nullopt;
    QStringView digits(text);
    bool negative = false;
    if (digits.front() == u'+' || digits.front() == u'-') {
        negative = digits.front() == u'-';
        digits = digits.mid(1);
    }
    quint32 value = 0;
    for (QChar c : digits) {
        const int d = c.isDigit() && c.unicode() < 128 ? c.unicode() - '0'
            : (c >= u'a' && c <= u'f')                 ? c.unicode() - 'a' + 10
            : (c >= u'A' && c <= u'F')                 ? c.unicode() - 'A' + 10
                                                       : -1;
        if (d < 0)
            return std::nullopt;
        value = value * 16 + quint32(d);
    }
    if (negative && value != 0)
        return std::nullopt; // an unsigned value has no negative numbers but zero
    return RGBComponents{((value >> 16) & 0xff) / 255.0, ((value >> 8) & 0xff) / 255.0, (value & 0xff) / 255.0};
}

int SourceAppAppearance::fallbackPaletteIndex(const QString &key)
{
    if (key.isEmpty())
        return 5;
    quint32 hash = 0x811C9DC5u;
    for (char byte : key.toUtf8()) {
        hash ^= quint8(byte);
        hash *= 0x01000193u;
    }
    return int(hash % 8);
}

QColor SourceAppAppearance::paletteColor(const QString &key) const
{
    return fallbackPalette()[size_t(fallbackPaletteIndex(key))];
}

std::optional<QString> SourceAppAppearance::applicationURL(const QString &bundleID)
{
    if (bundleID.isEmpty() || m_missingApplications.contains(bundleID))
        return std::nullopt;
    const std::optional<DesktopEntry> entry = m_applications.entry(bundleID);
    if (!entry) {
        m_missingApplications.insert(bundleID);
        return std::nullopt;
    }
    return entry->filePath;
}

QIcon SourceAppAppearance::applicationIcon(const QString &bundleID)
{
    if (bundleID.isEmpty())
        return {};
    if (auto it = m_iconCache.constFind(bundleID); it != m_iconCache.constEnd())
        return *it;
    if (!applicationURL(bundleID))
        return {};
    const std::optional<DesktopEntry> entry = m_applications.entry(bundleID);
    QIcon found = entry ? m_applications.icon(*entry) : QIcon();
    if (!found.isNull())
        m_iconCache.insert(bundleID, found);
    return found;
}

const QIcon &SourceAppAppearance::defaultIcon()
{
    if (m_defaultIcon.isNull()) {
        m_defaultIcon.addPixmap(clipboardGlyph(26));
        m_defaultIcon.addPixmap(clipboardGlyph(52));
    }
    return m_defaultIcon;
}

QIcon SourceAppAppearance::icon(const QString &bundleID)
{
    QIcon own = applicationIcon(bundleID);
    return own.isNull() ? defaultIcon() : own;
}

std::optional<QColor> SourceAppAppearance::dominantColor(const QImage &image)
{
    if (image.isNull())
        return std::nullopt;
    QImage sample(sampleSide, sampleSide, QImage::Format_ARGB32);
    sample.fill(Qt::transparent);
    {
        QPainter p(&sample);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.drawImage(QRect(0, 0, sampleSide, sampleSide), image);
    }

    struct Bin {
        double w = 0, h = 0, s = 0, b = 0;
    };
    std::array<Bin, 12> bins{};
    double totalAlpha = 0, colouredAlpha = 0, greyBrightness = 0, greyAlpha = 0;
    for (int x = 0; x < sampleSide; ++x) {
        for (int y = 0; y < sampleSide; ++y) {
            const QColor c = sample.pixelColor(x, y);
            const double a = c.alphaF();
            if (a <= 0.1)
                continue;
            totalAlpha += a;
            float hf = 0, sf = 0, bf = 0;
            c.getHsvF(&hf, &sf, &bf);
            const double h = hf, s = sf, b = bf;
            // Qt gives hue -1 for greys; such a pixel is never in a hue bin.
            if (s >= 0.15 && b >= 0.2 && h >= 0) {
                const int bin = std::clamp(int(h * 12), 0, 11);
                const double w = a * s * b;
                bins[size_t(bin)].w += w;
                bins[size_t(bin)].h += h * w;
                bins[size_t(bin)].s += s * w;
                bins[size_t(bin)].b += b * w;
                colouredAlpha += a;
            } else {
                greyBrightness += b * a;
                greyAlpha += a;
            }
        }
    }
    if (totalAlpha <= 0)
        return std::nullopt;
    if (totalAlpha * 0.04 > colouredAlpha) {
        if (greyAlpha <= 0)
            return std::nullopt;
        const double g = greyBrightness / greyAlpha;
        return QColor::fromRgbF(float(g), float(g), float(g));
    }
    size_t best = 0;
    for (size_t i = 1; i < bins.size(); ++i)
        if (bins[i].w > bins[best].w)
            best = i;
    const Bin &bin = bins[best];
    if (bin.w <= 0)
        return std::nullopt;
    return QColor::fromHsvF(float(bin.h / bin.w), float(bin.s / bin.w), float(bin.b / bin.w));
}

QColor SourceAppAppearance::tunedBrandColor(const QColor &color)
{
    if (!color.isValid())
        return color;
    float hf = 0, sf = 0, bf = 0;
    color.toRgb().getHsvF(&hf, &sf, &bf);
    if (sf < 0.12f || hf < 0)
        return QColor::fromHsvF(0.61f, 0.12f, 0.42f); // slate for colourless icons
    const double s = std::clamp(double(sf) * 1.4, 0.72, 0.92);
    const double floor = (hf >= 0.08f && hf <= 0.22f) ? 0.75 : 0.52;
    const double b = std::min(std::max(double(bf), floor), 0.8);
    return QColor::fromHsvF(hf, float(s), float(b));
}

QString SourceAppAppearance::hexText(double red, double green, double blue)
{
    auto component = [](double c) -> int {
        if (!(c > 0))
            return 0;
        return int(std::round(std::min(c, 1.0) * 255.0));
    };
    return QString::asprintf("%02X%02X%02X", component(red), component(green), component(blue));
}

QColor SourceAppAppearance::brandColor(const QString &bundleID, const QString &fallbackKey)
{
    if (bundleID.isEmpty())
        return paletteColor(fallbackKey);
    if (auto it = m_colorCache.constFind(bundleID); it != m_colorCache.constEnd())
        return *it;
    if (auto text = brandColorTable().constFind(bundleID); text != brandColorTable().constEnd()) {
        if (const std::optional<RGBComponents> rgb = colorFromHex(*text)) {
            const QColor c = QColor::fromRgbF(float(rgb->red), float(rgb->green), float(rgb->blue));
            m_colorCache.insert(bundleID, c);
            return c;
        }
    }
    if (!applicationURL(bundleID))
        return paletteColor(fallbackKey);
    // An application without an icon of its own gets a palette colour, not the glyph's grey.
    const QIcon own = applicationIcon(bundleID);
    const std::optional<QColor> dominant = own.isNull() ? std::nullopt : dominantColor(renderIcon(own, iconPixels));
    if (!dominant)
        return paletteColor(fallbackKey);
    const QColor tuned = tunedBrandColor(*dominant);
    m_colorCache.insert(bundleID, tuned);
    return tuned;
}

QString SourceAppAppearance::brandColorHex(const QString &bundleID, const QString &fallbackKey)
{
    if (!bundleID.isEmpty())
        if (auto text = brandColorTable().constFind(bundleID); text != brandColorTable().constEnd())
            return *text;
    const QColor c = brandColor(bundleID, fallbackKey).toRgb();
    if (!c.isValid())
        return {};
    return hexText(c.redF(), c.greenF(), c.blueF());
}

std::optional<QByteArray> SourceAppAppearance::iconPNG(const QString &bundleID)
{
    if (bundleID.isEmpty() || !applicationURL(bundleID))
        return std::nullopt;
    const QIcon own = applicationIcon(bundleID);
    if (own.isNull())
        return std::nullopt; // never store the default glyph as an application's icon
    const QImage image = renderIcon(own, iconPixels);
    QByteArray png;
    QBuffer buffer(&png);
    if (!buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG"))
        return std::nullopt;
    return png;
}

} // namespace quillmere
