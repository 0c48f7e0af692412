#include "Quillmere/Clipboard/LinkMetadataService.h"

#include "Quillmere/Model/ClipKind.h"
#include "Quillmere/Platform/Core/InBackground.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTimer>

namespace quillmere {

struct LinkMetadataService::Fetch {
    ClipRef clip;
    QUrl url;
    std::optional<QString> title;
    std::optional<QUrl> icon;
};

namespace {

bool isWebURL(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty()
        && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

const QList<QRegularExpression> &cardImagePatterns()
{
    static const QList<QRegularExpression> patterns = [] {
        const QString quote = QStringLiteral("[\"']");
        const QString property = QStringLiteral(R"re((?:property|name)\s*=\s*)re") + quote
            + QStringLiteral("(?:og:image(?::secure_url)?|twitter:image(?::src)?)") + quote;
        const QString content = QStringLiteral(R"re(content\s*=\s*)re") + quote + QStringLiteral("([^\"']+)") + quote;
        QList<QRegularExpression> out;
        for (const QString &source : {QStringLiteral("<meta[^>]+") + property + QStringLiteral("[^>]*") + content,
                                      QStringLiteral("<meta[^>]+") + content + QStringLiteral("[^>]*") + property}) {
            QRegularExpression re(source, QRegularExpression::CaseInsensitiveOption);
            if (re.isValid())
                out << re;
        }
        return out;
    }();
    return patterns;
}

// A tag is searched over at most this many characters from its "<".
constexpr qsizetype maxTagLength = 2048;

bool isAsciiSpace(QChar c)
{
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

// Where `literal` (a case-insensitive pattern) next occurs at or after `from`; -1 when it does not.
qsizetype find(const QString &html, const QRegularExpression &literal, qsizetype from)
{
    return literal.match(html, from).capturedStart();
}

// The first match of `pattern`, which begins with "<meta", tried one meta tag at a time: anchored
// at the tag and over at most maxTagLength characters of it. A "<meta" before the tag's ">" is
// part of that tag, not a tag of its own. An unanchored search over a page of unclosed tags
// backtracks for quadratic time.
QRegularExpressionMatch firstMetaMatch(const QString &html, const QRegularExpression &pattern)
{
    static const QRegularExpression opening(QStringLiteral("<meta"), QRegularExpression::CaseInsensitiveOption);
    for (qsizetype from = 0;;) {
        const qsizetype start = find(html, opening, from);
        if (start < 0)
            return {};
        const QStringView tag = QStringView(html).mid(start, maxTagLength);
        QRegularExpressionMatch m =
            pattern.match(tag, 0, QRegularExpression::NormalMatch, QRegularExpression::AnchorAtOffsetMatchOption);
        if (m.hasMatch())
            return m;
        const qsizetype close = html.indexOf(u'>', start);
        if (close < 0)
            return {};
        from = close + 1;
    }
}

// The text of the first <title> element, in one pass: when the first opening tag has no closing
// tag after it, no later one has.
std::optional<QString> titleElementText(const QString &html)
{
    static const QRegularExpression opening(QStringLiteral("<title"), QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression closing(QStringLiteral("</title"), QRegularExpression::CaseInsensitiveOption);
    for (qsizetype from = 0;;) {
        const qsizetype start = find(html, opening, from);
        if (start < 0)
            return std::nullopt;
        from = start + 6;
        if (from >= html.size() || (html.at(from) != u'>' && !isAsciiSpace(html.at(from))))
            continue; // <titlebar> and the like
        const qsizetype open = html.indexOf(u'>', from);
        if (open < 0)
            return std::nullopt;
        for (qsizetype close = find(html, closing, open + 1); close >= 0; close = find(html, closing, close + 1)) {
            qsizetype end = close + 7;
            while (end < html.size() && isAsciiSpace(html.at(end)))
                ++end;
            if (end < html.size() && html.at(end) == u'>')
                return html.mid(open + 1, close - open - 1);
        }
        return std::nullopt;
    }
}

QRegularExpression attributePattern(const QString &name)
{
    return QRegularExpression(QStringLiteral(R"re((?:^|\s)%1\s*=\s*(?:"([^"]*)"|'([^']*)'|([^\s>]+)))re").arg(name),
                              QRegularExpression::CaseInsensitiveOption);
}

// The value of one attribute inside a tag's text, quoted or not.
std::optional<QString> attribute(const QString &tag, const QRegularExpression &re)
{
    const QRegularExpressionMatch m = re.match(tag);
    if (!m.hasMatch())
        return std::nullopt;
    for (int i = 1; i <= 3; ++i)
        if (m.capturedStart(i) >= 0)
            return m.captured(i);
    return std::nullopt;
}

QString collapseWhitespace(const QString &text)
{
    return text.simplified();
}

QString capTitle(QString title)
{
    if (title.size() <= LinkMetadataService::maxTitleLength)
        return title;
    qsizetype cut = LinkMetadataService::maxTitleLength;
    if (title.at(cut - 1).isHighSurrogate())
        --cut; // never split a character in two
    title.truncate(cut);
    return title.trimmed();
}

} // namespace

LinkMetadataService::LinkMetadataService(MetadataWriter writer, QObject *parent)
    : QObject(parent), m_writer(std::move(writer))
{
    m_network.setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
}

LinkMetadataService::~LinkMetadataService()
{
    // Running downloads end here without calling back into a half-destroyed service.
    const auto replies = m_network.findChildren<QNetworkReply *>();
    for (QNetworkReply *reply : replies) {
        reply->disconnect();
        if (reply->isRunning())
            reply->abort();
    }
}

// ---- Reading a page -------------------------------------------------------------------------

QString LinkMetadataService::decodeEntities(const QString &text)
{
    if (!text.contains(u'&'))
        return text;
    static const QRegularExpression entity(QStringLiteral("&(#[0-9]{1,7}|#[xX][0-9a-fA-F]{1,6}|[a-zA-Z]{2,8});"));
    static const QHash<QString, QString> named{
        {QStringLiteral("amp"), QStringLiteral("&")},       {QStringLiteral("lt"), QStringLiteral("<")},
        {QStringLiteral("gt"), QStringLiteral(">")},        {QStringLiteral("quot"), QStringLiteral("\"")},
        {QStringLiteral("apos"), QStringLiteral("'")},      {QStringLiteral("nbsp"), QString(QChar(0xA0))},
        {QStringLiteral("ndash"), QString(QChar(0x2013))},  {QStringLiteral("mdash"), QString(QChar(0x2014))},
        {QStringLiteral("hellip"), QString(QChar(0x2026))}, {QStringLiteral("middot"), QString(QChar(0xB7))},
        {QStringLiteral("laquo"), QString(QChar(0xAB))},    {QStringLiteral("raquo"), QString(QChar(0xBB))},
        {QStringLiteral("copy"), QString(QChar(0xA9))},
    };
    QString out;
    qsizetype last = 0;
    auto it = entity.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        const QString body = m.captured(1);
        QString replacement;
        if (body.startsWith(u'#')) {
            bool ok = false;
            const bool hex = body.size() > 1 && (body.at(1) == u'x' || body.at(1) == u'X');
            const uint code = hex ? body.mid(2).toUInt(&ok, 16) : body.mid(1).toUInt(&ok, 10);
            if (ok && code > 0 && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF)) {
                const char32_t c = code;
                replacement = QString::fromUcs4(&c, 1);
            }
        } else {
            replacement = named.value(body);
        }
        if (replacement.isNull())
            continue; // unknown: left as written
        out += QStringView(text).mid(last, m.capturedStart() - last);
        out += replacement;
        last = m.capturedEnd();
    }
    out += QStringView(text).mid(last);
    return out;
}

std::optional<QUrl> LinkMetadataService::openGraphImageURL(const QString &html, const QUrl &pageURL)
{
    for (const QRegularExpression &pattern : cardImagePatterns()) {
        const QRegularExpressionMatch m = firstMetaMatch(html, pattern);
        if (!m.hasMatch() || m.lastCapturedIndex() < 1)
            continue;
        QString value = m.captured(1);
        value.replace(QLatin1String("&amp;"), QLatin1String("&"));
        value = value.trimmed();
        if (value.isEmpty())
            continue;
        const QUrl relative(value);
        if (!relative.isValid())
            continue;
        return pageURL.resolved(relative);
    }
    return std::nullopt;
}

std::optional<QString> LinkMetadataService::pageTitle(const QString &html)
{
    static const QRegularExpression ogTitle(
        QStringLiteral(R"re(<meta[^>]+(?:property|name)\s*=\s*["']og:title["'][^>]*content\s*=\s*"([^"]*)")re"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression ogTitleFirst(
        QStringLiteral(R"re(<meta[^>]+content\s*=\s*"([^"]*)"[^>]*(?:property|name)\s*=\s*["']og:title["'])re"),
        QRegularExpression::CaseInsensitiveOption);
    auto cleaned = [](const QString &raw) -> std::optional<QString> {
        const QString title = capTitle(collapseWhitespace(decodeEntities(raw)));
        return title.isEmpty() ? std::nullopt : std::optional<QString>(title);
    };
    for (const QRegularExpression *re : {&ogTitle, &ogTitleFirst}) {
        if (const QRegularExpressionMatch m = firstMetaMatch(html, *re); m.hasMatch())
            if (auto title = cleaned(m.captured(1)))
                return title;
    }
    if (const std::optional<QString> element = titleElementText(html))
        return cleaned(*element);
    return std::nullopt;
}

std::optional<QUrl> LinkMetadataService::iconURL(const QString &html, const QUrl &pageURL)
{
    static const QRegularExpression linkTag(QStringLiteral(R"re(<link\s[^>]*>)re"),
                                            QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression relAttribute = attributePattern(QStringLiteral("rel"));
    static const QRegularExpression hrefAttribute = attributePattern(QStringLiteral("href"));
    std::optional<QUrl> touchIcon, plainIcon;
    auto it = linkTag.globalMatch(html);
    while (it.hasNext() && !touchIcon) {
        const QString tag = it.next().captured(0);
        const std::optional<QString> rel = attribute(tag, relAttribute);
        const std::optional<QString> href = attribute(tag, hrefAttribute);
        if (!rel || !href || href->trimmed().isEmpty())
            continue;
        const QStringList tokens = rel->toLower().split(u' ', Qt::SkipEmptyParts);
        const QUrl url = pageURL.resolved(QUrl(decodeEntities(href->trimmed())));
        if (!url.isValid())
            continue;
        // The larger touch icon makes a better picture than a 16 px favicon.
        if (tokens.contains(QLatin1String("apple-touch-icon"))
            || tokens.contains(QLatin1String("apple-touch-icon-precomposed")))
            touchIcon = url;
        else if (tokens.contains(QLatin1String("icon")) && !plainIcon)
            plainIcon = url;
    }
    if (touchIcon)
        return touchIcon;
    return plainIcon;
}

LinkMetadataService::PageFacts LinkMetadataService::readPage(const QString &html, const QUrl &pageURL)
{
    return {pageTitle(html), openGraphImageURL(html, pageURL), iconURL(html, pageURL)};
}

QString LinkMetadataService::decodePage(QByteArray body, bool truncated)
{
    if (truncated) {
        // Drop a multi-byte character the cap cut through; anything else wrong stays wrong.
        for (qsizetype back = 1; back <= 4 && back <= body.size(); ++back) {
            const uchar c = uchar(body.at(body.size() - back));
            if ((c & 0xC0) == 0x80)
                continue; // continuation byte: keep looking for the lead byte
            const int length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (length > back)
                body.chop(back);
            break;
        }
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(body);
    if (!utf8.hasError())
        return text;
    return QString::fromLatin1(body);
}

std::optional<QByteArray> LinkMetadataService::pictureFromImageData(const QByteArray &data)
{
    if (data.isEmpty() || data.size() > maxImageBytes)
        return std::nullopt;
    QBuffer buffer;
    buffer.setData(data);
    if (!buffer.open(QIODevice::ReadOnly))
        return std::nullopt;
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    // Never trust a decoder with more memory than a large photo needs.
    reader.setAllocationLimit(int(maxDecodedPixels * 4 / (1024 * 1024)) + 1);
    const QSize announced = reader.size();
    if (announced.isValid()) {
        if (announced.width() < 1 || announced.height() < 1)
            return std::nullopt;
        if (announced.width() > maxDecodedSide || announced.height() > maxDecodedSide
            || qint64(announced.width()) * announced.height() > maxDecodedPixels)
            return std::nullopt;
        if (announced.width() > maxPictureSide || announced.height() > maxPictureSide)
            reader.setScaledSize(announced.scaled(maxPictureSide, maxPictureSide, Qt::KeepAspectRatio));
    }
    QImage image = reader.read();
    if (image.isNull() || image.width() < 1 || image.height() < 1)
        return std::nullopt;
    if (image.width() > maxPictureSide || image.height() > maxPictureSide)
        image = image.scaled(maxPictureSide, maxPictureSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QByteArray png;
    QBuffer out(&png);
    if (!out.open(QIODevice::WriteOnly) || !image.save(&out, "PNG") || png.size() > maxImageBytes)
        return std::nullopt;
    return png;
}

// ---- Fetching -------------------------------------------------------------------------------

void LinkMetadataService::fetchIfNeeded(const ClipRef &clip)
{
    if (!clip || clip->isDeleted() || clipKindFromRaw(clip->kindRawValue()) != ClipKind::url)
        return;
    if (clip->linkTitle().has_value() && clip->hasImageData())
        return;
    if (!clip->text())
        return;
    const QUrl url(clip->text()->trimmed());
    if (!isWebURL(url))
        return;
    if (m_inFlight.contains(clip.get()))
        return;
    m_inFlight.insert(clip.get());
    auto fetch = std::make_shared<Fetch>();
    fetch->clip = clip;
    fetch->url = url;
    fetchPage(fetch);
}

void LinkMetadataService::download(const QUrl &url, qint64 cap, bool keepPrefix, bool pageRequest, BodyHandler done)
{
    if (!isWebURL(url)) {
        done(std::nullopt, false);
        return;
    }
    QNetworkRequest request(url);
    request.setTransferTimeout(pageRequest ? requestTimeoutMs : imageTimeoutMs);
    request.setMaximumRedirectsAllowed(5);
    if (pageRequest)
        request.setHeader(QNetworkRequest::UserAgentHeader, userAgent);
    QNetworkReply *reply = m_network.get(request);

    struct State {
        QByteArray body;
        bool truncated = false;
        bool refused = false;
        bool done = false;
    };
    auto state = std::make_shared<State>();
    auto complete = [state, done, reply](bool ok) {
        if (state->done)
            return;
        state->done = true;
        reply->disconnect();
        // Aborting inside the reply's own signal makes it report its error twice; a moment
        // later it is quiet.
        QMetaObject::invokeMethod(
            reply,
            [reply] {
                if (reply->isRunning())
                    reply->abort();
                reply->deleteLater();
            },
            Qt::QueuedConnection);
        if (ok)
            done(std::move(state->body), state->truncated);
        else
            done(std::nullopt, false);
    };

    // The transfer timeout only notices silence; a trickle of bytes would keep it at bay.
    QTimer::singleShot(m_downloadDeadlineMs, reply, [complete] { complete(false); });

    connect(reply, &QNetworkReply::metaDataChanged, this, [reply, state, cap, keepPrefix, complete] {
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid() && status.toInt() >= 400) {
            complete(false); // an error page is not worth reading
            return;
        }
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (!keepPrefix && length.isValid() && length.toLongLong() > cap)
            complete(false);
    });
    connect(reply, &QNetworkReply::readyRead, this, [reply, state, cap, keepPrefix, complete] {
        state->body += reply->read(cap + 1 - state->body.size());
        if (state->body.size() <= cap)
            return;
        if (!keepPrefix) {
            complete(false);
            return;
        }
        state->body.truncate(cap);
        state->truncated = true;
        complete(true);
    });
    connect(reply, &QNetworkReply::finished, this, [reply, state, cap, complete] {
        if (state->done)
            return;
        if (reply->error() != QNetworkReply::NoError) {
            complete(false);
            return;
        }
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid() && status.toInt() >= 400) {
            complete(false);
            return;
        }
        state->body += reply->read(cap + 1 - state->body.size());
        if (state->body.size() > cap) {
            // Only a page keeps a prefix; readyRead has normally dealt with it already.
            complete(false);
            return;
        }
        complete(true);
    });
}

void LinkMetadataService::fetchPage(const std::shared_ptr<Fetch> &fetch)
{
    download(fetch->url, maxPageBytes, true, true, [this, fetch](std::optional<QByteArray> body, bool truncated) {
        if (!body) {
            // No page: the site's conventional icon is all that is left.
            fetch->icon = fetch->url.resolved(QUrl(QStringLiteral("/favicon.ico")));
            fetchPicture(fetch, std::nullopt, false);
            return;
        }
        const QUrl pageURL = fetch->url;
        inBackground(
            this,
            [data = std::move(*body), truncated, pageURL] { return readPage(decodePage(data, truncated), pageURL); },
            [this, fetch](const PageFacts &facts) {
                fetch->title = facts.title;
                fetch->icon = facts.icon ? facts.icon : fetch->url.resolved(QUrl(QStringLiteral("/favicon.ico")));
                fetchPicture(fetch, facts.cardImage, false);
            });
    });
}

void LinkMetadataService::fetchPicture(const std::shared_ptr<Fetch> &fetch, const std::optional<QUrl> &url, bool isIcon)
{
    auto next = [this, fetch, isIcon] {
        if (!isIcon && fetch->icon)
            fetchPicture(fetch, fetch->icon, true);
        else
            finish(fetch, std::nullopt);
    };
    if (!url) {
        // Let the caller finish setting up before the chain goes on.
        QMetaObject::invokeMethod(this, next, Qt::QueuedConnection);
        return;
    }
    download(*url, maxImageBytes, false, false, [this, fetch, next](std::optional<QByteArray> body, bool) {
        if (!body) {
            next();
            return;
        }
        inBackground(
            this, [data = std::move(*body)] { return pictureFromImageData(data); },
            [this, fetch, next](const std::optional<QByteArray> &picture) {
                if (picture)
                    finish(fetch, picture);
                else
                    next();
            });
    });
}

void LinkMetadataService::finish(const std::shared_ptr<Fetch> &fetch, const std::optional<QByteArray> &picture)
{
    m_inFlight.remove(fetch->clip.get());
    if (fetch->clip->isDeleted())
        return;
    if (!fetch->title && !picture)
        return;
    if (m_writer)
        m_writer(fetch->clip, fetch->title, picture);
}

} // namespace quillmere
