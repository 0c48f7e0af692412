#include "Quillmere/Capture/Overlay/Widgets/NotchCaptureToastController.h"

#include "Quillmere/Capture/CaptureSettings.h"
#include "Quillmere/Capture/Overlay/CaptureOverlayGeometry.h"
#include "Quillmere/Capture/Overlay/Widgets/CaptureGlyphs.h"
#include "Quillmere/Panel/Window/PanelGeometry.h"

#include <QBuffer>
#include <QCursor>
#include <QFontMetricsF>
#include <QFutureWatcher>
#include <QGuiApplication>
#include <QImageReader>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QScreen>
#include <QtConcurrent>
#include <cmath>

namespace quillmere {
namespace {

constexpr double rowSpacing = 9;
constexpr double glyphWidth = 16;
constexpr double thumbnailHeight = 22;
constexpr double sidePadding = 16;
constexpr double bottomRadius = 16;

double thumbnailWidth(QSize size)
{
    if (size.isEmpty())
        return 0;
    return std::ceil(thumbnailHeight * size.width() / size.height());
}

// The size an image says it has, read from its header only.
QSize announcedSize(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    QSize size = reader.size();
    if (size.isValid() && (reader.transformation() & QImageIOHandler::TransformationRotate90))
        size.transpose();
    return size.isValid() ? size : QSize();
}

} // namespace

NotchCaptureToastController::NotchCaptureToastController(const Preferences *preferences, const DesktopMotion *motion,
                                                         Clock clock, QWidget *parent)
    : TransientPanel({true, CaptureToastContent::showForMs}, motion, std::move(clock), parent),
      m_preferences(preferences)
{
    setObjectName(QStringLiteral("CaptureToast"));
    setWindowTitle(QStringLiteral("Brindlewax capture toast"));
}

bool NotchCaptureToastController::isEnabled() const
{
    return !m_preferences || notchCaptureToastEnabled(*m_preferences);
}

void NotchCaptureToastController::showFor(const ClipRef &clip)
{
    if (!clip || !isEnabled())
        return;
    const auto bytes = CaptureToastContent::thumbnailData(*clip);
    const quint64 serial = ++m_thumbnailSerial;
    if (!bytes) {
        present(clip, {});
        return;
    }
    // The toast drops at once with the thumbnail's place kept; decoding a large capture takes longer
    // than the toast may wait.
    present(clip, {}, announcedSize(*bytes));
    auto *watcher = new QFutureWatcher<QImage>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, serial] {
        watcher->deleteLater();
        thumbnailArrived(serial, watcher->result());
    });
    watcher->setFuture(QtConcurrent::run([data = *bytes] { return CaptureToastContent::makeThumbnail(data); }));
}

void NotchCaptureToastController::thumbnailArrived(quint64 serial, const QImage &thumbnail)
{
    // A newer announcement replaced this one meanwhile.
    if (serial != m_thumbnailSerial)
        return;
    m_content.thumbnail = thumbnail;
    const QSize reserved = m_pendingThumbnail;
    m_pendingThumbnail = {};
    if (thumbnail.isNull() && !reserved.isEmpty() && isVisible()) {
        // Undecodable after all: the row closes up around the label, still centred.
        const QSize size = sizeFor(m_content);
        const QPoint shift((width() - size.width()) / 2, 0);
        setFixedSize(size);
        move(pos() + shift);
    }
    update();
}

QFont NotchCaptureToastController::labelFont() const
{
    QFont font = this->font();
    font.setPixelSize(13);
    font.setWeight(QFont::Medium);
    return font;
}

QSize NotchCaptureToastController::sizeFor(const CaptureToastContent &content, QSize pendingThumbnail) const
{
    const QFontMetricsF metrics(labelFont());
    double row = glyphWidth + rowSpacing + std::ceil(metrics.horizontalAdvance(content.label));
    double rowHeight = std::max(glyphWidth, std::ceil(metrics.height()));
    const QSize thumbnail = content.thumbnail.isNull() ? pendingThumbnail : content.thumbnail.size();
    if (!thumbnail.isEmpty()) {
        row += thumbnailWidth(thumbnail) + rowSpacing;
        rowHeight = std::max(rowHeight, thumbnailHeight);
    }
    return QSize(int(row + 2 * sidePadding), int(rowHeight + CaptureToastContent::topInsetWithoutNotch + 7 + 9));
}

void NotchCaptureToastController::present(const ClipRef &clip, const QImage &thumbnail, QSize thumbnailSize)
{
    if (!clip || !isEnabled())
        return;
    QScreen *screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    m_content = CaptureToastContent::make(*clip, thumbnail);
    // Only image and file clips show a thumbnail; a recording's or a text's place stays closed.
    m_pendingThumbnail = CaptureToastContent::make(*clip, QImage(1, 1, QImage::Format_ARGB32)).thumbnail.isNull()
        ? QSize()
        : thumbnailSize;
    if (thumbnailSize.isEmpty() || !thumbnail.isNull())
        ++m_thumbnailSerial;
    const QSize size = sizeFor(m_content, m_pendingThumbnail);
    setFixedSize(size);
    const QRectF frame(screen->geometry());
    QPainterPath outline;
    outline.moveTo(0, 0);
    outline.lineTo(size.width(), 0);
    outline.lineTo(size.width(), size.height() - bottomRadius);
    outline.quadTo(size.width(), size.height(), size.width() - bottomRadius, size.height());
    outline.lineTo(bottomRadius, size.height());
    outline.quadTo(0, size.height(), 0, size.height() - bottomRadius);
    outline.closeSubpath();
    setMask(QRegion(outline.toFillPolygon().toPolygon()));
    presentPanel(CaptureOverlayGeometry::toastStart(size, frame).toPoint(),
                 CaptureOverlayGeometry::toastTarget(size, frame).toPoint(), CaptureOverlayGeometry::slideInMs,
                 panelEnterTimingFunction());
}

void NotchCaptureToastController::hideToast()
{
    slideOut(pos() - QPoint(0, height()), CaptureOverlayGeometry::slideOutMs, panelExitTimingFunction(), std::nullopt);
}

void NotchCaptureToastController::paintContent(QPainter &painter)
{
    const QRectF bounds(rect());
    QPainterPath outline;
    outline.moveTo(0, 0);
    outline.lineTo(bounds.width(), 0);
    outline.lineTo(bounds.width(), bounds.height() - bottomRadius);
    outline.arcTo(QRectF(bounds.width() - 2 * bottomRadius, bounds.height() - 2 * bottomRadius, 2 * bottomRadius,
                         2 * bottomRadius),
                  0, -90);
    outline.lineTo(bottomRadius, bounds.height());
    outline.arcTo(QRectF(0, bounds.height() - 2 * bottomRadius, 2 * bottomRadius, 2 * bottomRadius), 270, -90);
    outline.closeSubpath();
    painter.fillPath(outline, QColor(12, 12, 14));
    painter.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.08f), 1));
    painter.drawPath(outline.translated(0, -0.5));

    const double top = CaptureToastContent::topInsetWithoutNotch + 7;
    const double rowHeight = bounds.height() - top - 9;
    double x = sidePadding;
    const double midY = top + rowHeight / 2;
    CaptureGlyphs::paint(painter, QRectF(x, midY - glyphWidth / 2 + 1, glyphWidth, glyphWidth - 2), m_content.glyph,
                         QColor::fromRgbF(1, 1, 1, 0.82f), 1.5);
    x += glyphWidth + rowSpacing;
    const QSize thumbnailSize = m_content.thumbnail.isNull() ? m_pendingThumbnail : m_content.thumbnail.size();
    if (!thumbnailSize.isEmpty()) {
        const QRectF target(x, midY - thumbnailHeight / 2, thumbnailWidth(thumbnailSize), thumbnailHeight);
        QPainterPath clip;
        clip.addRoundedRect(target, 4, 4);
        painter.save();
        painter.setClipPath(clip);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(target, m_content.thumbnail);
        painter.restore();
        painter.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.14f), 1));
        painter.drawRoundedRect(target.adjusted(0.5, 0.5, -0.5, -0.5), 3.5, 3.5);
        x += target.width() + rowSpacing;
    }
    painter.setFont(labelFont());
    painter.setPen(QColor::fromRgbF(1, 1, 1, 0.92f));
    painter.drawText(QRectF(x, top, bounds.width() - x, rowHeight), Qt::AlignVCenter | Qt::AlignLeft, m_content.label);
}

} // namespace quillmere
