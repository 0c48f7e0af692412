#pragma once

#include "Quillmere/Model/Records.h"

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>

class QNetworkReply;

namespace quillmere {

// Fetches the title and a preview picture of link clips in the background, one fetch per clip
// at a time, and hands them to the store. The picture is the page's card image (Open Graph or
// Twitter), else the site's icon; every picture is re-encoded as PNG of at most 1200 px.
class LinkMetadataService : public QObject {
    Q_OBJECT
public:
    // The store's update of a link clip: it keeps a non-empty title and a first picture.
    using MetadataWriter = std::function<void(const ClipRef &clip, const std::optional<QString> &title,
                                              const std::optional<QByteArray> &picture)>;

    static constexpr int requestTimeoutMs = 10000;
    static constexpr int imageTimeoutMs = 30000;
    // However steadily a server trickles, one download ends after this long.
    static constexpr int downloadDeadlineMs = 60000;
    static constexpr qint64 maxPageBytes = 512 * 1024;
    static constexpr qint64 maxImageBytes = 8 * 1024 * 1024;
    static constexpr int maxPictureSide = 1200;
    // Pictures claiming more pixels than this are not decoded at all.
    static constexpr qint64 maxDecodedPixels = 25'000'000;
    static constexpr int maxDecodedSide = 16384;
    static constexpr int maxTitleLength = 300;
    static inline const QByteArray userAgent =
        QByteArrayLiteral("Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15");

    explicit LinkMetadataService(MetadataWriter writer, QObject *parent = nullptr);
    ~LinkMetadataService() override;

    // Starts a fetch for a link clip that lacks its title or picture, unless one is running.
    void fetchIfNeeded(const ClipRef &clip);
    bool isInFlight(const ClipRef &clip) const { return clip && m_inFlight.contains(clip.get()); }
    bool hasFetchesInFlight() const { return !m_inFlight.isEmpty(); }
    // Tests shorten the deadline.
    void setDownloadDeadline(int milliseconds) { m_downloadDeadlineMs = milliseconds; }

    // What a page says about itself; pure functions, safe on any thread.
    struct PageFacts {
        std::optional<QString> title;
        std::optional<QUrl> cardImage;
        std::optional<QUrl> icon;
    };
    static PageFacts readPage(const QString &html, const QUrl &pageURL);
    static std::optional<QUrl> openGraphImageURL(const QString &html, const QUrl &pageURL);
    static std::optional<QString> pageTitle(const QString &html);
    static std::optional<QUrl> iconURL(const QString &html, const QUrl &pageURL);
    // UTF-8, else ISO Latin 1. A body cut at the size cap loses only an incomplete last character.
    static QString decodePage(QByteArray body, bool truncated);
    // Decodes an image whose announced size is sane, scales it to at most 1200 px and encodes
    // it as PNG; nothing for anything else.
    static std::optional<QByteArray> pictureFromImageData(const QByteArray &data);
    static QString decodeEntities(const QString &text);

private:
    struct Fetch;
    using BodyHandler = std::function<void(std::optional<QByteArray> body, bool truncated)>;

    void download(const QUrl &url, qint64 cap, bool keepPrefix, bool pageRequest, BodyHandler done);
    void fetchPage(const std::shared_ptr<Fetch> &fetch);
    void fetchPicture(const std::shared_ptr<Fetch> &fetch, const std::optional<QUrl> &url, bool isIcon);
    void finish(const std::shared_ptr<Fetch> &fetch, const std::optional<QByteArray> &picture);

    MetadataWriter m_writer;
    QNetworkAccessManager m_network;
    QSet<const ClipItem *> m_inFlight;
    int m_downloadDeadlineMs = downloadDeadlineMs;
};

} // namespace quillmere
