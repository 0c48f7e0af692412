#include "Quillmere/Pages/ClipThumbnails.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/InBackground.h"

#include <QBuffer>
#include <QImageReader>

namespace quillmere {

ClipThumbnails::ClipThumbnails(ImageLoader loader, qint64 budgetBytes, QObject *parent)
    : QObject(parent), m_loader(std::move(loader)), m_cache(budgetBytes)
{
}

ClipThumbnails::ImageLoader ClipThumbnails::storeLoader(ClipStore &store)
{
    return [&store](const ThumbnailRequest &request) -> std::optional<QByteArray> {
        const ClipRef clip = store.context().clip(request.id);
        if (!clip || clip->isDeleted() || !clip->hasImageData())
            return std::nullopt;
        return clip->imageData();
    };
}

QImage ClipThumbnails::decode(const QByteArray &imageData)
{
    QBuffer buffer;
    buffer.setData(imageData);
    if (!buffer.open(QIODevice::ReadOnly))
        return {};
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    // The longer side is the same before and after a quarter turn, so the stored size will do.
    const QSize size = reader.size();
    const int side = clipThumbnailMaxPixels;
    if (size.isValid() && std::max(size.width(), size.height()) > side)
        reader.setScaledSize(size.scaled(side, side, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
    QImage image = reader.read();
    if (image.isNull())
        return image;
    // Formats that cannot tell their size up front come out whole.
    if (std::max(image.width(), image.height()) > side)
        image = image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

std::optional<QImage> ClipThumbnails::thumbnail(const QString &contentHash)
{
    return m_cache.image(contentHash);
}

void ClipThumbnails::request(const ThumbnailRequest &request)
{
    const QString &hash = request.contentHash;
    if (hash.isEmpty() || m_cache.contains(hash) || m_failed.contains(hash))
        return;
    if (m_waiting.contains(hash)) {
        // Asked again: move it to the front of the queue if it is still waiting.
        auto it = std::find_if(m_queue.begin(), m_queue.end(), [&](const auto &r) { return r.contentHash == hash; });
        if (it != m_queue.end()) {
            ThumbnailRequest moved = *it;
            m_queue.erase(it);
            m_queue.push_back(std::move(moved));
        }
        return;
    }
    m_waiting.insert(hash);
    m_queue.push_back(request);
    startNext();
}

void ClipThumbnails::prewarm(const std::vector<ThumbnailRequest> &requests)
{
    // The first request is the one nearest the selection; it should start first.
    for (auto it = requests.rbegin(); it != requests.rend(); ++it)
        request(*it);
}

void ClipThumbnails::startNext()
{
    while (m_running < maxConcurrentDecodes && !m_queue.empty()) {
        const ThumbnailRequest next = m_queue.back();
        m_queue.pop_back();
        // The bytes are read here, when their turn comes, so that a long queue holds none.
        std::optional<QByteArray> bytes = m_loader ? m_loader(next) : std::nullopt;
        if (!bytes || bytes->isEmpty()) {
            m_waiting.remove(next.contentHash);
            m_failed.insert(next.contentHash);
            continue;
        }
        ++m_running;
        inBackground(
            this, [data = std::move(*bytes)] { return decode(data); },
            [this, hash = next.contentHash](QImage image) { finished(hash, image); });
    }
}

void ClipThumbnails::finished(const QString &contentHash, const QImage &image)
{
    --m_running;
    m_waiting.remove(contentHash);
    if (image.isNull()) {
        m_failed.insert(contentHash);
    } else {
        m_cache.insert(contentHash, image);
        Q_EMIT thumbnailReady(contentHash);
    }
    startNext();
}

} // namespace quillmere
