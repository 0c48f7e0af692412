#include "Quillmere/Pages/Widgets/ClipCardView.h"

#include "Quillmere/Clipboard/SourceAppAppearance.h"
#include "Quillmere/Model/ClipPresentation.h"
#include "Quillmere/Pages/ClipThumbnails.h"
#include "Quillmere/Pages/PageColors.h"
#include "Quillmere/Pages/Widgets/PagesGlyphs.h"

#include <QContextMenuEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>

namespace quillmere {
namespace {

constexpr qreal padding = 10;
constexpr qreal radius = 12;
constexpr qreal headerHeight = 20;
constexpr qreal footerHeight = 16;

struct Theme {
    QColor background, border, text, secondary, ring, well;

    static Theme of(const QPalette &palette)
    {
        const bool dark = palette.color(QPalette::Window).lightness() < 128;
        QColor accent = palette.color(QPalette::Highlight);
        if (!accent.isValid() || accent.saturation() < 60)
            accent = dark ? QColor(10, 132, 255) : QColor(0, 122, 255);
        if (dark)
            return {QColor(44, 44, 48),
                    QColor(255, 255, 255, 26),
                    QColor(255, 255, 255, 235),
                    QColor(255, 255, 255, 140),
                    accent,
                    QColor(255, 255, 255, 18)};
        return {QColor(255, 255, 255), QColor(0, 0, 0, 28), QColor(0, 0, 0, 222), QColor(0, 0, 0, 128), accent,
                QColor(0, 0, 0, 12)};
    }
};

QFont sized(const QFont &base, qreal pixels, QFont::Weight weight = QFont::Normal)
{
    QFont font = base;
    font.setPixelSize(qRound(pixels));
    font.setWeight(weight);
    return font;
}

// Lays `text` out in `rect`, wrapping at words, at most `maxLines` lines; the last one shown ends
// in an ellipsis when text is left over. Returns the height used.
qreal drawParagraph(QPainter &p, const QRectF &rect, const QString &text, const QFont &font, const QColor &color,
                    int maxLines)
{
    if (text.isEmpty() || maxLines <= 0)
        return 0;
    QString flat = text;
    flat.replace(QLatin1Char('\t'), QStringLiteral("    "));
    flat.replace(QLatin1Char('\n'), QChar::LineSeparator);
    const QFontMetricsF metrics(font);
    const int lines = std::min(maxLines, int(rect.height() / metrics.lineSpacing()));
    if (lines <= 0)
        return 0;
    QTextLayout layout(flat, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    layout.beginLayout();
    qreal y = 0;
    int shown = 0;
    qsizetype lastStart = 0;
    bool more = false;
    while (true) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        if (shown == lines) {
            more = true;
            break;
        }
        line.setLineWidth(rect.width());
        line.setPosition(QPointF(0, y));
        lastStart = line.textStart();
        y += metrics.lineSpacing();
        ++shown;
    }
    layout.endLayout();
    p.setPen(color);
    p.setFont(font);
    for (int i = 0; i < shown - (more ? 1 : 0); ++i)
        layout.lineAt(i).draw(&p, rect.topLeft());
    if (more) {
        QString rest = flat.mid(lastStart);
        rest.replace(QChar::LineSeparator, QLatin1Char(' '));
        const QString elided = metrics.elidedText(rest + QChar(0x2026), Qt::ElideRight, rect.width());
        p.drawText(QPointF(rect.left(), rect.top() + (shown - 1) * metrics.lineSpacing() + metrics.ascent()), elided);
    }
    return y;
}

void drawThumbnail(QPainter &p, const QRectF &rect, const QImage &image)
{
    // Fills the area, cropping what sticks out, as photos in a grid do.
    const QSizeF size = QSizeF(image.size()).scaled(rect.size(), Qt::KeepAspectRatioByExpanding);
    const QRectF target(rect.center() - QPointF(size.width() / 2, size.height() / 2), size);
    QPainterPath rounded;
    rounded.addRoundedRect(rect, 7, 7);
    // In bands of at most 64 device rows: the raster engine hands taller blends to other
    // threads and waits for them, which costs more than the blend itself at this size.
    const qreal band = 64 / std::max<qreal>(1, p.device()->devicePixelRatioF());
    for (qreal top = rect.top(); top < rect.bottom(); top += band) {
        QPainterPath strip;
        strip.addRect(QRectF(rect.left(), top, rect.width(), std::min(band, rect.bottom() - top)));
        p.save();
        p.setClipPath(rounded.intersected(strip));
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(target, image);
        p.restore();
    }
}

} // namespace

ClipCardResources::BadgeSource ClipCardResources::sourceAppBadges(SourceAppAppearance &appearance)
{
    return [&appearance](const ClipSnapshot &clip) -> std::optional<SourceAppBadge> {
        const QString bundleID = clip.sourceAppBundleID.value_or(QString()).trimmed();
        const QString name = clip.sourceAppName.value_or(QString()).trimmed();
        if (bundleID.isEmpty() && name.isEmpty())
            return std::nullopt;
        return SourceAppBadge{appearance.icon(bundleID),
                              appearance.brandColor(bundleID, name.isEmpty() ? bundleID : name)};
    };
}

void ClipCardView::paintBackground(QPainter &p, const QRectF &bounds, bool selected, const QPalette &palette)
{
    const Theme theme = Theme::of(palette);
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    // The edge is the card's colour over the border or ring colour, filled twice: a stroked
    // outline costs ten times as much to rasterise.
    const QRectF card = bounds.adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal edge = selected ? 2.5 : 1;
    QColor outline = selected ? theme.ring : theme.border;
    if (!selected) {
        const qreal a = outline.alphaF();
        outline = QColor::fromRgbF(float(theme.background.redF() * (1 - a) + outline.redF() * a),
                                   float(theme.background.greenF() * (1 - a) + outline.greenF() * a),
                                   float(theme.background.blueF() * (1 - a) + outline.blueF() * a));
    }
    p.setPen(Qt::NoPen);
    p.setBrush(outline);
    p.drawRoundedRect(card, radius, radius);
    p.setBrush(theme.background);
    p.drawRoundedRect(card.adjusted(edge, edge, -edge, -edge), radius - edge, radius - edge);
    p.restore();
}

void ClipCardView::paintCard(QPainter &p, const QRectF &bounds, const ClipCardInputs &in,
                             const std::optional<QImage> &thumbnail, const std::optional<SourceAppBadge> &badge,
                             const QPalette &palette, const QFont &baseFont)
{
    paintBackground(p, bounds, in.isSelected, palette);
    paintContent(p, bounds, in, thumbnail, badge, palette, baseFont);
}

void ClipCardView::paintContent(QPainter &p, const QRectF &bounds, const ClipCardInputs &in,
                                const std::optional<QImage> &thumbnail, const std::optional<SourceAppBadge> &badge,
                                const QPalette &palette, const QFont &baseFont)
{
    const Theme theme = Theme::of(palette);
    const ClipCardText text = ClipCardText::of(in);
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    const QRectF inner = bounds.adjusted(padding, padding, -padding, -padding);

    // Header: badge, application, quick-paste key.
    const QRectF badgeRect(inner.left(), inner.top(), headerHeight, headerHeight);
    if (badge) {
        QColor tint = badge->color.isValid() ? badge->color : theme.secondary;
        tint.setAlpha(60);
        p.setPen(Qt::NoPen);
        p.setBrush(tint);
        p.drawRoundedRect(badgeRect, 5, 5);
        badge->icon.paint(&p, badgeRect.adjusted(2, 2, -2, -2).toRect());
    } else {
        p.setPen(Qt::NoPen);
        p.setBrush(theme.well);
        p.drawRoundedRect(badgeRect, 5, 5);
        PagesGlyphs::paint(p, badgeRect.adjusted(3, 3, -3, -3), kindSymbolName(in.item.kind()), theme.secondary);
    }
    qreal headerRight = inner.right();
    if (in.quickPasteIndex) {
        const QFont keyFont = sized(baseFont, 10.5, QFont::DemiBold);
        const QString key = QString::number(*in.quickPasteIndex + 1);
        const qreal width = std::max<qreal>(18, QFontMetricsF(keyFont).horizontalAdvance(key) + 10);
        const QRectF keycap(inner.right() - width, inner.top() + 1, width, headerHeight - 2);
        p.setPen(QPen(theme.secondary, 1));
        p.setBrush(theme.well);
        p.drawRoundedRect(keycap, 4, 4);
        p.setFont(keyFont);
        p.setPen(theme.text);
        p.drawText(keycap, Qt::AlignCenter, key);
        headerRight = keycap.left() - 6;
    }
    const QFont sourceFont = sized(baseFont, 11, QFont::DemiBold);
    const QRectF sourceRect(badgeRect.right() + 7, inner.top(), headerRight - badgeRect.right() - 7, headerHeight);
    p.setFont(sourceFont);
    p.setPen(theme.secondary);
    const QString source = text.sourceName.isEmpty() ? text.kindLabel : text.sourceName;
    p.drawText(sourceRect, Qt::AlignVCenter | Qt::AlignLeft,
               QFontMetricsF(sourceFont).elidedText(source, Qt::ElideRight, sourceRect.width()));

    // Body.
    QRectF body(inner.left(), inner.top() + headerHeight + 7, inner.width(),
                inner.height() - headerHeight - 7 - footerHeight - 6);
    const QFont titleFont = sized(baseFont, 12.5, QFont::DemiBold);
    const QFont bodyFont = sized(baseFont, 12);
    const ClipKind kind = in.item.kind();
    if (in.isSensitive) {
        PagesGlyphs::paint(p, QRectF(body.left(), body.top(), 16, 16), QStringLiteral("eye.slash"), theme.secondary);
        drawParagraph(p, QRectF(body.left() + 22, body.top(), body.width() - 22, 18), text.title, titleFont, theme.text,
                      1);
        const QFont maskFont = sized(baseFont, 18, QFont::Bold);
        drawParagraph(p, QRectF(body.left(), body.top() + 26, body.width(), body.height() - 26), text.body, maskFont,
                      theme.text, 1);
    } else if (text.wantsThumbnail) {
        if (thumbnail && !thumbnail->isNull()) {
            drawThumbnail(p, body, *thumbnail);
        } else {
            p.setPen(Qt::NoPen);
            p.setBrush(theme.well);
            p.drawRoundedRect(body, 7, 7);
            PagesGlyphs::paint(p, QRectF(body.center() - QPointF(12, 12), QSizeF(24, 24)), QStringLiteral("photo"),
                               theme.secondary);
        }
    } else if (kind == ClipKind::file) {
        PagesGlyphs::paint(p, QRectF(body.left() - 2, body.top(), 30, 30), QStringLiteral("doc"), theme.secondary);
        drawParagraph(p, QRectF(body.left() + 34, body.top() + 1, body.width() - 34, body.height()), text.title,
                      titleFont, theme.text, 3);
    } else {
        qreal used = 0;
        if (!text.title.isEmpty()) {
            used = drawParagraph(p, body, text.title, titleFont, theme.text, text.body.isEmpty() ? 4 : 2) + 3;
        }
        const QRectF rest = body.adjusted(0, used, 0, 0);
        const QColor bodyColor = kind == ClipKind::url || !text.title.isEmpty() ? theme.secondary : theme.text;
        drawParagraph(p, rest, text.body, bodyFont, bodyColor, 5);
    }

    // Footer: what kind of clip, then its Page and pin.
    const QRectF footer(inner.left(), inner.bottom() - footerHeight, inner.width(), footerHeight);
    const QFont footerFont = sized(baseFont, 10.5, QFont::Medium);
    const QFontMetricsF footerMetrics(footerFont);
    qreal right = footer.right();
    if (in.item.isPinned) {
        PagesGlyphs::paint(p, QRectF(right - 13, footer.top() + 1.5, 13, 13), QStringLiteral("pin.fill"), theme.text);
        right -= 19;
    }
    if (in.page) {
        const QString name = footerMetrics.elidedText(in.page->displayName(), Qt::ElideRight, 74);
        const qreal width = footerMetrics.horizontalAdvance(name);
        p.setFont(footerFont);
        p.setPen(theme.secondary);
        p.drawText(QRectF(right - width, footer.top(), width + 1, footer.height()), Qt::AlignVCenter | Qt::AlignLeft,
                   name);
        p.setPen(Qt::NoPen);
        p.setBrush(PageColors::color(in.page->colorName));
        p.drawEllipse(QPointF(right - width - 7, footer.center().y()), 3.5, 3.5);
        right -= width + 17;
    }
    PagesGlyphs::paint(p, QRectF(footer.left(), footer.top() + 2, 12, 12), kindSymbolName(kind), theme.secondary);
    const QString caption = text.caption.isEmpty() ? text.kindLabel : text.caption;
    const QRectF captionRect(footer.left() + 17, footer.top(), right - footer.left() - 17, footer.height());
    p.setFont(footerFont);
    p.setPen(theme.secondary);
    p.drawText(captionRect, Qt::AlignVCenter | Qt::AlignLeft,
               footerMetrics.elidedText(caption, Qt::ElideRight, std::max<qreal>(0, captionRect.width())));
    p.restore();
}

QImage ClipCardView::render(const ClipCardInputs &inputs, const std::optional<QImage> &thumbnail,
                            const std::optional<SourceAppBadge> &badge, const QPalette &palette, const QFont &font,
                            qreal devicePixelRatio)
{
    QImage image(QSize(cardWidth, cardHeight) * devicePixelRatio, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(palette.color(QPalette::Window));
    QPainter painter(&image);
    paintCard(painter, QRectF(0, 0, cardWidth, cardHeight), inputs, thumbnail, badge, palette, font);
    return image;
}

QImage ClipCardBackgrounds::background(bool selected, const QPalette &palette, qreal devicePixelRatio)
{
    const Key key{selected, palette.color(QPalette::Window).rgba(), palette.color(QPalette::Highlight).rgba(),
                  devicePixelRatio};
    for (const auto &[k, image] : m_images)
        if (k == key)
            return image;
    QImage image(QSize(ClipCardView::cardWidth, ClipCardView::cardHeight) * devicePixelRatio,
                 QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    ClipCardView::paintBackground(painter, QRectF(0, 0, ClipCardView::cardWidth, ClipCardView::cardHeight), selected,
                                  palette);
    painter.end();
    // A handful of palettes and ratios at most in a session.
    if (m_images.size() >= 8)
        m_images.erase(m_images.begin());
    m_images.emplace_back(key, image);
    return image;
}

QImage ClipCardView::draw(const ClipCardInputs &inputs, const std::optional<QImage> &thumbnail,
                          const std::optional<SourceAppBadge> &badge, const QPalette &palette, const QFont &font,
                          qreal devicePixelRatio, ClipCardBackgrounds &backgrounds)
{
    // Starting from a copy of the drawn background spares the large fills, which the raster
    // engine hands to other threads and waits for.
    QImage image = backgrounds.background(inputs.isSelected, palette, devicePixelRatio).copy();
    image.setDevicePixelRatio(devicePixelRatio);
    QPainter painter(&image);
    paintContent(painter, QRectF(0, 0, cardWidth, cardHeight), inputs, thumbnail, badge, palette, font);
    painter.end();
    return image;
}

ClipCardView::ClipCardView(ClipCardResources resources, QWidget *parent)
    : QWidget(parent), m_resources(std::move(resources))
{
    if (!m_resources.backgrounds)
        m_resources.backgrounds = std::make_shared<ClipCardBackgrounds>();
    setFixedSize(cardWidth, cardHeight);
    if (m_resources.thumbnails)
        connect(m_resources.thumbnails, &ClipThumbnails::thumbnailReady, this, &ClipCardView::thumbnailArrived);
}

void ClipCardView::setInputs(const ClipCardInputs &inputs)
{
    if (inputs == m_inputs && !m_drawn.isNull())
        return;
    m_inputs = inputs;
    m_drawn = QPixmap();
    setAccessibleName(m_inputs.displayName.value_or(m_inputs.safePreview));
    update();
}

std::optional<QImage> ClipCardView::currentThumbnail()
{
    if (!m_resources.thumbnails || m_inputs.isSensitive || !ClipCardText::of(m_inputs).wantsThumbnail)
        return std::nullopt;
    std::optional<QImage> image = m_resources.thumbnails->thumbnail(m_inputs.item.contentHash);
    if (!image)
        m_resources.thumbnails->request({m_inputs.item.id, m_inputs.item.contentHash});
    return image;
}

void ClipCardView::thumbnailArrived(const QString &contentHash)
{
    if (contentHash == m_inputs.item.contentHash && !m_inputs.isSensitive) {
        m_drawn = QPixmap();
        update();
    }
}

void ClipCardView::paintEvent(QPaintEvent *)
{
    const qreal ratio = devicePixelRatioF();
    if (m_drawn.isNull() || m_drawn.devicePixelRatio() != ratio) {
        const std::optional<SourceAppBadge> badge = m_resources.badge ? m_resources.badge(m_inputs.item) : std::nullopt;
        m_drawn = QPixmap::fromImage(
            draw(m_inputs, currentThumbnail(), badge, palette(), font(), ratio, *m_resources.backgrounds));
    }
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_drawn);
}

void ClipCardView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        Q_EMIT clicked();
    QWidget::mousePressEvent(event);
}

void ClipCardView::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        Q_EMIT doubleClicked();
}

void ClipCardView::contextMenuEvent(QContextMenuEvent *event)
{
    Q_EMIT contextMenuRequested(event->globalPos());
}

void ClipCardView::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange) {
        m_drawn = QPixmap();
        update();
    }
    QWidget::changeEvent(event);
}

} // namespace quillmere
