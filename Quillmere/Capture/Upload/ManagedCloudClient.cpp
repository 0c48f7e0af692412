#include "Quillmere/Capture/Upload/ManagedCloudClient.h"

#include <QBuffer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QTimer>

// GCC 12 takes the moves of the result variants in this file for reads of uninitialised
// memory, with or without sanitizers depending on inlining: a false positive of its analysis.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#ifndef QUILLMERE_CLOUD_API_BASE_URL
#define QUILLMERE_CLOUD_API_BASE_URL ""
#endif

namespace quillmere {

std::optional<ManagedCloudConfiguration> ManagedCloudConfiguration::fromBundle(const QVariantMap &info)
{
    const QVariant value = info.value(infoKey);
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    const QString text = value.toString().trimmed();
    if (text.isEmpty() || text.startsWith(QLatin1String("$(")))
        return std::nullopt;
    const QUrl url(text, QUrl::StrictMode);
    // Exact text: QUrl would accept and lower-case "HTTPS".
    if (!url.isValid() || !text.startsWith(QLatin1String("https:")) || url.scheme() != QLatin1String("https"))
        return std::nullopt;
    return ManagedCloudConfiguration{url};
}

QVariantMap ManagedCloudConfiguration::mainBundleInfo()
{
    const QString baseURL = QStringLiteral(QUILLMERE_CLOUD_API_BASE_URL);
    if (baseURL.isEmpty())
        return {};
    return {{infoKey, baseURL}};
}

QString ManagedCloudError::description() const
{
    switch (m_kind) {
    case Kind::server:
        return QStringLiteral("Brindlewax Cloud could not complete the upload.");
    case Kind::notConfigured:
        return QStringLiteral("Brindlewax Cloud is not configured in this build.");
    case Kind::quotaExceeded:
        return QStringLiteral("Your 25 GB Brindlewax Cloud storage is full.");
    case Kind::objectTooLarge:
        return QStringLiteral("This capture is too large for Brindlewax Cloud.");
    case Kind::invalidResponse:
        return QStringLiteral("Brindlewax Cloud returned an unexpected response.");
    }
    return {};
}

QString describe(const ManagedCloudFailure &failure)
{
    return failure.cloudError ? failure.cloudError->description() : failure.transport->description();
}

ManagedCloudClient::ManagedCloudClient(std::optional<ManagedCloudConfiguration> configuration,
                                       QNetworkAccessManager &session, bool allowLoopbackHttp)
    : m_configuration(std::move(configuration)), m_session(&session), m_allowLoopbackHttp(allowLoopbackHttp)
{
}

QUrl ManagedCloudClient::endpoint(const QUrl &base, const QString &path)
{
    QUrl url = base;
    QString joined = base.path(QUrl::FullyDecoded);
    if (!joined.endsWith(QLatin1Char('/')))
        joined += QLatin1Char('/');
    url.setPath(joined + path, QUrl::DecodedMode);
    return url;
}

namespace {

// Sends one request and turns its answer into T or a failure; `read` judges a status and body.
template <typename T>
QNetworkReply *send(QNetworkAccessManager *session, const QNetworkRequest &request, const QByteArray &body,
                    bool allowLoopbackHttp, QObject *context,
                    std::function<std::variant<T, ManagedCloudFailure>(int, const QByteArray &)> read,
                    std::function<void(std::variant<T, ManagedCloudFailure>)> done)
{
    QPointer<QObject> guard(context);
    auto deliver = [guard, done = std::move(done)](std::variant<T, ManagedCloudFailure> result) {
        if (guard)
            done(std::move(result));
    };
    if (!UploadTransfer::isAllowedURL(request.url(), allowLoopbackHttp)) {
        const TransportError refused{QNetworkReply::ProtocolUnknownError, request.url().host()};
        QTimer::singleShot(0, context, [deliver, refused] { deliver(ManagedCloudFailure(refused)); });
        return nullptr;
    }
    // Sent as a custom verb: post() would invent a Content-Type for a request without a body.
    auto bytes = std::make_unique<QBuffer>();
    bytes->setData(body);
    bytes->open(QIODevice::ReadOnly);
    QNetworkReply *reply = UploadTransfer::sendOnce(*session, request, QByteArrayLiteral("POST"), std::move(bytes));
    UploadTransfer::await(reply, UploadTransfer::answerCap, true, [deliver, read = std::move(read)](HttpAnswer answer) {
        if (answer.bodyTooLarge)
            return deliver(ManagedCloudFailure(ManagedCloudError::invalidResponse()));
        if (answer.failure)
            return deliver(ManagedCloudFailure(*answer.failure));
        if (!answer.status)
            return deliver(ManagedCloudFailure(ManagedCloudError::invalidResponse()));
        deliver(read(*answer.status, answer.body));
    });
    return reply;
}

std::optional<QString> stringMember(const QByteArray &body, const QString &name)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonValue value = doc.object().value(name);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

QNetworkRequest authorizedRequest(QUrl url, const QString &accessToken, bool allowLoopbackHttp)
{
    if (allowLoopbackHttp && UploadTransfer::isLoopbackHost(url.host()))
        url.setScheme(QStringLiteral("http"));
    QNetworkRequest request = UploadTransfer::request(url);
    request.setRawHeader("Authorization", "Bearer " + accessToken.toUtf8());
    return request;
}

// Nothing is set up to send to: `done` hears so on the next turn, unless `context` went meanwhile.
template <class Result> QNetworkReply *reportNotConfigured(QObject *context, std::function<void(Result)> done)
{
    QPointer<QObject> guard(context);
    QTimer::singleShot(0, context, [guard, done = std::move(done)] {
        if (guard)
            done(ManagedCloudFailure(ManagedCloudError::notConfigured()));
    });
    return nullptr;
}

} // namespace

QNetworkReply *ManagedCloudClient::uploadObject(const QByteArray &png, const QString &fileName,
                                                const QString &accessToken, QObject *context,
                                                std::function<void(ObjectResult)> done) const
{
    if (!m_configuration)
        return reportNotConfigured(context, std::move(done));
    QNetworkRequest request = authorizedRequest(endpoint(m_configuration->baseURL, QStringLiteral("v1/objects")),
                                                accessToken, m_allowLoopbackHttp);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("image/png"));
    request.setRawHeader("X-File-Name", fileName.toUtf8());
    return send<QString>(
        m_session, request, png, m_allowLoopbackHttp, context,
        [](int status, const QByteArray &body) -> ObjectResult {
            if (status == 409)
                return ManagedCloudFailure(ManagedCloudError::quotaExceeded());
            if (status == 413)
                return ManagedCloudFailure(ManagedCloudError::objectTooLarge());
            if (status < 200 || status > 299)
                return ManagedCloudFailure(ManagedCloudError::server(status));
            if (const auto id = stringMember(body, QStringLiteral("id")))
                return *id;
            return ManagedCloudFailure(ManagedCloudError::invalidResponse());
        },
        std::move(done));
}

QNetworkReply *ManagedCloudClient::share(const QString &objectID, const QString &accessToken, QObject *context,
                                         std::function<void(ShareResult)> done) const
{
    if (!m_configuration)
        return reportNotConfigured(context, std::move(done));
    const QNetworkRequest request = authorizedRequest(
        endpoint(m_configuration->baseURL, QStringLiteral("v1/objects/") + objectID + QStringLiteral("/share")),
        accessToken, m_allowLoopbackHttp);
    return send<QUrl>(
        m_session, request, QByteArray(), m_allowLoopbackHttp, context,
        [](int status, const QByteArray &body) -> ShareResult {
            if (status < 200 || status > 299)
                return ManagedCloudFailure(ManagedCloudError::server(status));
            if (const auto text = stringMember(body, QStringLiteral("url"))) {
                const QUrl url(*text, QUrl::StrictMode);
                if (!text->isEmpty() && url.isValid())
                    return url;
            }
            return ManagedCloudFailure(ManagedCloudError::invalidResponse());
        },
        std::move(done));
}

} // namespace quillmere
