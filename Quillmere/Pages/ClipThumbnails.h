#pragma once

#include "Quillmere/Model/ImageHelpers.h"
#include "Quillmere/Panel/ClipLists.h"

#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QSet>
#include <functional>
#include <optional>
#include <vector>

namespace quillmere {

class ClipStore;

// The shared clip thumbnail cache: the cards read it, and the history view's warm-up fills it
// ahead of the selection. Thumbnails are decoded off the main thread, a few at a time, newest
// request first, and kept by content hash within a byte budget. Main thread only.
class ClipThumbnails : public QObject {
    Q_OBJECT
public:
    // Reads a clip's image bytes; none when it has none (any more).
    using ImageLoader = std::function<std::optional<QByteArray>(const ThumbnailRequest &)>;

    static constexpr qint64 defaultBudgetBytes = 64 * 1024 * 1024;
    static constexpr int maxConcurrentDecodes = 2;

    explicit ClipThumbnails(ImageLoader loader, qint64 budgetBytes = defaultBudgetBytes, QObject *parent = nullptr);

    // The image bytes of the clip with that identifier in the store.
    static ImageLoader storeLoader(ClipStore &store);

    // At most 360 px on the longer side, orientation applied, decoded at once with scaled
    // decoding. Null when the bytes are no image. Safe on any thread.
    static QImage decode(const QByteArray &imageData);

    std::optional<QImage> thumbnail(const QString &contentHash);
    bool contains(const QString &contentHash) const { return m_cache.contains(contentHash); }

    // Decodes the clip's thumbnail unless it is cached, on its way, or known not to decode.
    void request(const ThumbnailRequest &request);
    // The history view's warm-up around the selection.
    void prewarm(const std::vector<ThumbnailRequest> &requests);

    // Waiting or being decoded.
    int pendingCount() const { return int(m_queue.size()) + m_running; }
    qint64 cachedBytes() const { return m_cache.totalBytes(); }

Q_SIGNALS:
    // A thumbnail for this hash is now in the cache.
    void thumbnailReady(const QString &contentHash);

private:
    void startNext();
    void finished(const QString &contentHash, const QImage &image);

    ImageLoader m_loader;
    ClipThumbnailCache m_cache;
    std::vector<ThumbnailRequest> m_queue; // newest last
    QSet<QString> m_waiting;               // queued or running
    QSet<QString> m_failed;
    int m_running = 0;
};

} // namespace quillmere
