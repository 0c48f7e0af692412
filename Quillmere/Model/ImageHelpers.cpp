#include "Quillmere/Model/ImageHelpers.h"

#include "Quillmere/Platform/Core/BoundedFile.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <algorithm>

namespace quillmere {
namespace {

std::optional<QByteArray> encodePNG(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(image))
        return std::nullopt;
    return bytes;
}

int halved(int side)
{
    const int half = side / 2;
    return half < 4 ? 1 : half;
}

// The size whose longer side is at most `maxSide`, keeping the aspect; never enlarged.
QSize fittedSize(QSize size, int maxSide)
{
    if (size.width() <= maxSide && size.height() <= maxSide)
        return size;
    return size.scaled(maxSide, maxSide, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

QImage readScaled(QImageReader &reader, int maxSide)
{
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.isValid()) {
        reader.setScaledSize(fittedSize(size, maxSide));
        return reader.read();
    }
    // Some formats only know their size once decoded.
    const QImage full = reader.read();
    if (full.isNull())
        return full;
    const QSize target = fittedSize(full.size(), maxSide);
    return target == full.size() ? full : full.scaled(target, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

} // namespace

std::optional<QByteArray> pngData(const QImage &image, qint64 cap)
{
    if (image.isNull())
        return std::nullopt;
    std::optional<QByteArray> png = encodePNG(image);
    if (!png)
        return std::nullopt;
    QSize size = image.size();
    const QImage::Format format = image.hasAlphaChannel() ? QImage::Format_RGBA8888 : QImage::Format_RGB888;
    while (png->size() > cap && std::max(size.width(), size.height()) >= 65) {
        size = QSize(halved(size.width()), halved(size.height()));
        // Always from the original, so quality is not lost step by step.
        const QImage smaller =
            image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).convertToFormat(format);
        png = encodePNG(smaller);
        if (!png)
            return std::nullopt;
    }
    if (png->size() > cap)
        return std::nullopt;
    return png;
}

std::optional<QByteArray> thumbnailPNGData(const QString &filePath, qint64 cap)
{
    // The file is another program's word: read once, bounded, and never waited on.
    const BoundedFileRead file =
        readBoundedFile(filePath, BoundedFileLimits{maxPreviewSourceBytes, false, previewReadMs});
    if (!file.ok()) {
        qCInfo(lcStore, "No preview of a copied file: %s", qUtf8Printable(file.errorText));
        return std::nullopt;
    }
    const QByteArray format = QFileInfo(filePath).suffix().toLower().toLatin1();
    for (const int maxSide : {1200, 600, 300, 150}) {
        QBuffer buffer;
        buffer.setData(file.bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, format);
        const QImage thumbnail = readScaled(reader, maxSide);
        if (thumbnail.isNull())
            return std::nullopt;
        std::optional<QByteArray> png = encodePNG(thumbnail);
        if (!png)
            return std::nullopt;
        if (png->size() <= cap)
            return png;
    }
    return std::nullopt;
}

void ClipThumbnailCache::insert(const QString &key, const QImage &image)
{
    if (image.isNull())
        return;
    if (auto it = m_entries.find(key); it != m_entries.end()) {
        m_totalBytes -= it->image.sizeInBytes();
        m_recency.erase(it->position);
        m_entries.erase(it);
    }
    m_recency.push_front(key);
    m_entries.insert(key, Entry{image, m_recency.begin()});
    m_totalBytes += image.sizeInBytes();
    evict();
}

std::optional<QImage> ClipThumbnailCache::image(const QString &key)
{
    auto it = m_entries.find(key);
    if (it == m_entries.end())
        return std::nullopt;
    m_recency.splice(m_recency.begin(), m_recency, it->position);
    return it->image;
}

void ClipThumbnailCache::clear()
{
    m_entries.clear();
    m_recency.clear();
    m_totalBytes = 0;
}

void ClipThumbnailCache::evict()
{
    // The newest entry stays even when it alone is over budget.
    while (m_totalBytes > m_maxBytes && m_recency.size() > 1) {
        const QString oldest = m_recency.back();
        m_recency.pop_back();
        auto it = m_entries.find(oldest);
        m_totalBytes -= it->image.sizeInBytes();
        m_entries.erase(it);
    }
}

QImage makeClipThumbnail(QImageReader &source, const QString &key, ClipThumbnailCache &cache)
{
    QImage thumbnail = readScaled(source, clipThumbnailMaxPixels);
    if (thumbnail.isNull())
        return thumbnail;
    cache.insert(key, thumbnail);
    return thumbnail;
}

QImage makeClipThumbnail(const QByteArray &imageData, const QString &key, ClipThumbnailCache &cache)
{
    QBuffer buffer;
    buffer.setData(imageData);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    return makeClipThumbnail(reader, key, cache);
}

} // namespace quillmere
