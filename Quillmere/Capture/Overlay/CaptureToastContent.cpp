#include "Quillmere/Capture/Overlay/CaptureToastContent.h"

#include "Quillmere/Model/ClipPresentation.h"

#include <QBuffer>
#include <QImageReader>
#include <QTextBoundaryFinder>
#include <cmath>

namespace quillmere {
namespace {

const QString ocrSource = QStringLiteral("Quillmere OCR");
const QString recordingSource = QStringLiteral("Quillmere Recording");
const QChar ellipsis(0x2026);

// Positions where user-perceived characters begin, and the end.
QList<qsizetype> graphemeBounds(const QString &text)
{
    QList<qsizetype> bounds;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    for (qsizetype p = finder.toNextBoundary(); p != -1; p = finder.toNextBoundary())
        bounds << p;
    return bounds; // bounds[i] is the end of character i
}

// A blank text has no preview line, so the label's own fallback shows instead.
QString previewLine(const ClipItem &clip)
{
    if (clip.text().value_or(QString()).trimmed().isEmpty() && !clip.hasImageData() && !clip.hasFileData())
        return {};
    QString text = safePresentation(clip).safePreview.trimmed();
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}

} // namespace

QString CaptureToastContent::cutAtEnd(const QString &text, int limit)
{
    const QList<qsizetype> ends = graphemeBounds(text);
    if (ends.size() <= limit)
        return text;
    return text.left(ends[limit - 2]) + ellipsis;
}

QString CaptureToastContent::cutInMiddle(const QString &text, int limit)
{
    const QList<qsizetype> ends = graphemeBounds(text);
    const qsizetype count = ends.size();
    if (count <= limit)
        return text;
    const int head = limit / 2;        // 24
    const int tail = limit - head - 1; // 23
    const qsizetype tailStart = ends[count - tail - 1];
    return text.left(ends[head - 1]) + ellipsis + text.mid(tailStart);
}

std::optional<QByteArray> CaptureToastContent::thumbnailData(const ClipItem &clip)
{
    const auto source = clip.sourceAppName();
    if (source == ocrSource || source == recordingSource)
        return std::nullopt;
    const auto kind = clipKindFromRaw(clip.kindRawValue());
    if (kind != ClipKind::image && kind != ClipKind::file)
        return std::nullopt;
    return clip.imageData();
}

QImage CaptureToastContent::makeThumbnail(const QByteArray &data, int maxPixels)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > maxPixels || size.height() > maxPixels)) {
        const double k = double(maxPixels) / std::max(size.width(), size.height());
        reader.setScaledSize(
            QSize(std::max(1, int(std::lround(size.width() * k))), std::max(1, int(std::lround(size.height() * k)))));
    }
    QImage image = reader.read();
    if (image.isNull())
        return {};
    if (image.width() > maxPixels || image.height() > maxPixels)
        image = image.scaled(maxPixels, maxPixels, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

CaptureToastContent CaptureToastContent::make(const ClipItem &clip, const QImage &thumbnail)
{
    const auto source = clip.sourceAppName();
    if (source == ocrSource) {
        const QString text = cutAtEnd(previewLine(clip));
        return {QStringLiteral("text.viewfinder"), text.isEmpty() ? QStringLiteral("Copied text") : text, {}};
    }
    if (source == recordingSource)
        return {QStringLiteral("record.circle"), QStringLiteral("Screen recording"), {}};
    const auto kind = clipKindFromRaw(clip.kindRawValue());
    if (!kind || *kind == ClipKind::text) {
        const QString text = cutAtEnd(previewLine(clip));
        return {QStringLiteral("doc.plaintext"), text.isEmpty() ? QStringLiteral("Text") : text, {}};
    }
    if (*kind == ClipKind::url) {
        const QString text = cutAtEnd(previewLine(clip));
        return {QStringLiteral("link"), text.isEmpty() ? QStringLiteral("Link") : text, {}};
    }
    if (*kind == ClipKind::image)
        return {QStringLiteral("photo"), QStringLiteral("Screenshot"), thumbnail};
    const QString name = clip.fileName().value_or(safePresentation(clip).safePreview);
    return {QStringLiteral("doc"), cutInMiddle(name), thumbnail};
}

} // namespace quillmere
