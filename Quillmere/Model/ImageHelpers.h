#pragma once

#include <QByteArray>
#include <QHash>
#include <QImage>
#include <QString>
#include <list>
#include <optional>

class QImageReader;

namespace quillmere {

// The cap the capture paths use for stored images.
inline constexpr qint64 maxClipImageBytes = 8388608;

// The image as PNG. While the PNG is over `cap` and the longer side is at least 65 px, width and
// height are halved (a side under 4 px becomes 1) and it is redrawn smoothly. None when the image
// is empty, cannot be encoded or does not fit even then.
std::optional<QByteArray> pngData(const QImage &image, qint64 cap);

// What a file named on the clipboard may be for its preview, and how long its read may take.
inline constexpr qint64 maxPreviewSourceBytes = 64 * 1024 * 1024;
inline constexpr qint64 previewReadMs = 5000;

// A PNG thumbnail of the file's first image, its longer side at most 1200 px, then 600, 300 and
// 150 px until it fits `cap`. EXIF orientation is applied. None when the file is no image, not a
// regular file of at most `maxPreviewSourceBytes`, or even the smallest size does not fit.
std::optional<QByteArray> thumbnailPNGData(const QString &filePath, qint64 cap);

// Decoded card thumbnails by clip content hash, least recently used dropped first once the
// images together pass the byte budget. Main thread only.
class ClipThumbnailCache {
public:
    explicit ClipThumbnailCache(qint64 maxBytes = 64 * 1024 * 1024) : m_maxBytes(maxBytes) {}

    void insert(const QString &key, const QImage &image);
    std::optional<QImage> image(const QString &key);
    bool contains(const QString &key) const { return m_entries.contains(key); }
    qint64 totalBytes() const { return m_totalBytes; }
    qsizetype count() const { return m_entries.size(); }
    void clear();

private:
    struct Entry {
        QImage image;
        std::list<QString>::iterator position;
    };
    void evict();

    qint64 m_maxBytes;
    qint64 m_totalBytes = 0;
    std::list<QString> m_recency; // most recent first
    QHash<QString, Entry> m_entries;
};

inline constexpr int clipThumbnailMaxPixels = 360;

// Decodes a thumbnail of at most 360 px from `source` (orientation applied) and stores it in
// `cache` under `key`. Returns it, or a null image when the source does not decode.
QImage makeClipThumbnail(QImageReader &source, const QString &key, ClipThumbnailCache &cache);
QImage makeClipThumbnail(const QByteArray &imageData, const QString &key, ClipThumbnailCache &cache);

} // namespace quillmere
