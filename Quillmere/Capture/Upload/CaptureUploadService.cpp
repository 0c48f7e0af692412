#include "Quillmere/Capture/Upload/CaptureUploadService.h"

#include "Quillmere/Capture/Upload/S3Presigner.h"
#include "Quillmere/Capture/Upload/ShareStorageProvider.h"
#include "Quillmere/Model/Records.h"
#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QUuid>

namespace quillmere {

QString UploadError::message() const
{
    switch (kind) {
    case Kind::network:
        return QStringLiteral("Network error");
    case Kind::serverError:
        return QStringLiteral("Error %1").arg(status);
    case Kind::notConfigured:
        return QStringLiteral("Not configured");
    case Kind::missingSecret:
        return QStringLiteral("Missing key");
    case Kind::noImage:
        return QStringLiteral("No image");
    case Kind::fileMissing:
        return QStringLiteral("File missing");
    case Kind::invalidResponse:
        return QStringLiteral("Bad response");
    }
    return {};
}

QString UploadError::reason() const
{
    switch (kind) {
    case Kind::network:
        return transport ? transport->description() : QStringLiteral("The server could not be reached.");
    case Kind::serverError:
        return QStringLiteral("The server refused the upload with error %1.").arg(status);
    case Kind::notConfigured:
        return QStringLiteral("Uploads are not set up: fill in Share links in Settings › Capture.");
    case Kind::missingSecret:
        return QStringLiteral("The upload key is not in the keyring: save it again in Settings › Capture.");
    case Kind::noImage:
        return QStringLiteral("This capture has no image to upload.");
    case Kind::fileMissing:
        return QStringLiteral("The recording's file is no longer there.");
    case Kind::invalidResponse:
        return QStringLiteral("The server's answer could not be understood.");
    }
    return {};
}

std::variant<CaptureUploadService::Payload, UploadError> CaptureUploadService::Payload::fromClip(const ClipItem &clip)
{
    const std::optional<QString> &path = clip.text();
    if (clip.kind() == ClipKind::file && path && path->toLower().endsWith(QLatin1String(".mp4"))) {
        if (!QFileInfo::exists(*path))
            return UploadError::of(UploadError::Kind::fileMissing);
        return Payload{*path, QStringLiteral("video/mp4"), QStringLiteral("mp4")};
    }
    if (clip.hasImageData()) {
        if (std::optional<QByteArray> bytes = clip.imageData(); bytes && !bytes->isEmpty())
            return Payload{*bytes, QStringLiteral("image/png"), QStringLiteral("png")};
    }
    return UploadError::of(UploadError::Kind::noImage);
}

std::optional<QUrl> CaptureUploadService::publicLink(const QString &publicBaseURL, const QString &objectKey)
{
    QString base = publicBaseURL;
    if (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    QString key = objectKey;
    if (key.startsWith(QLatin1Char('/')))
        key.remove(0, 1);
    const QUrl link(base + QLatin1Char('/') + key, QUrl::StrictMode);
    if (!link.isValid())
        return std::nullopt;
    return link;
}

CaptureUploadService::CaptureUploadService(ShareUploadConfig config, std::optional<QString> secret,
                                           UploadEnvironment environment, QObject *parent)
    : QObject(parent), m_config(std::move(config)), m_secret(std::move(secret)), m_environment(std::move(environment))
{
}

CaptureUploadService::~CaptureUploadService()
{
    m_finished = true;
    UploadTransfer::abort(m_reply);
}

void CaptureUploadService::upload(const ClipItem &clip, std::function<void(UploadResult)> done)
{
    Q_ASSERT(!m_started);
    m_started = true;
    m_done = std::move(done);

    const bool managedServiceBuilt = ManagedCloudConfiguration::fromBundle(m_environment.bundleInfo).has_value();
    const ShareStorageProvider destination = m_environment.preferences
        ? currentShareStorageProvider(*m_environment.preferences, managedServiceBuilt)
        : managedServiceBuilt ? ShareStorageProvider::quillmereCloud
                              : ShareStorageProvider::ownStorage;
    if (destination == ShareStorageProvider::quillmereCloud) {
        // Recordings never go to the managed service; only the image is looked at.
        const std::optional<QByteArray> image = clip.hasImageData() ? clip.imageData() : std::nullopt;
        if (!image || image->isEmpty())
            return finishLater(UploadError::of(UploadError::Kind::noImage));
        return uploadToManagedCloud(*image);
    }

    // Every check that needs no network comes first, so a refusal costs nothing.
    if (!m_config.isComplete())
        return finishLater(UploadError::of(UploadError::Kind::notConfigured));
    if (!m_secret || m_secret->isEmpty())
        return finishLater(UploadError::of(UploadError::Kind::missingSecret));
    auto payload = Payload::fromClip(clip);
    if (auto *error = std::get_if<UploadError>(&payload))
        return finishLater(*error);
    uploadToOwnStorage(std::get<Payload>(payload));
}

namespace {

// Qt's HTTP stack sends a path without dot segments and without a leading "//". Signing the path
// it really sends keeps the signature valid, and the link built from it finds the object.
QString pathAsSent(const QString &path)
{
    QUrl url(QStringLiteral("https://host"));
    url.setPath(path, QUrl::DecodedMode);
    return url.path(QUrl::FullyDecoded | QUrl::NormalizePathSegments);
}

} // namespace

void CaptureUploadService::uploadToOwnStorage(const Payload &payload)
{
    const QString path = pathAsSent(QLatin1Char('/') + m_config.objectKey(QUuid::createUuid(), payload.fileExtension));
    const QString key = path.mid(1);
    const S3Presigner signer{m_config.accessKeyID, *m_secret, m_config.region};
    std::optional<QUrl> url = signer.presignedURL(QStringLiteral("PUT"), m_config.endpointHost, path,
                                                  presignExpirySeconds, m_environment.clock());
    if (!url)
        return finishLater(UploadError::of(UploadError::Kind::invalidResponse));
    if (m_environment.allowLoopbackHttp && UploadTransfer::isLoopbackHost(url->host()))
        url->setScheme(QStringLiteral("http"));

    QNetworkRequest request = UploadTransfer::request(*url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, payload.contentType);
    std::unique_ptr<QIODevice> body;
    if (const auto *bodyPath = std::get_if<QString>(&payload.body)) {
        auto file = std::make_unique<QFile>(*bodyPath);
        if (!file->open(QIODevice::ReadOnly))
            return finishLater(UploadError::network({QNetworkReply::ContentAccessDenied, url->host()}));
        request.setHeader(QNetworkRequest::ContentLengthHeader, file->size());
        body = std::move(file);
    } else {
        auto bytes = std::make_unique<QBuffer>();
        bytes->setData(std::get<QByteArray>(payload.body));
        bytes->open(QIODevice::ReadOnly);
        body = std::move(bytes);
    }
    QNetworkReply *reply = UploadTransfer::sendOnce(*m_environment.network, request, "PUT", std::move(body));
    track(reply);

    QPointer<CaptureUploadService> self(this);
    UploadTransfer::await(reply, UploadTransfer::answerCap, false, [self, key](HttpAnswer answer) {
        if (!self)
            return;
        if (answer.bodyTooLarge)
            return self->finish(UploadError::of(UploadError::Kind::invalidResponse));
        if (answer.failure)
            return self->finish(UploadError::network(*answer.failure));
        if (!answer.status)
            return self->finish(UploadError::of(UploadError::Kind::invalidResponse));
        if (*answer.status < 200 || *answer.status > 299)
            return self->finish(UploadError::serverError(*answer.status));
        if (const auto link = publicLink(self->m_config.publicBaseURL, key))
            return self->finish(*link);
        self->finish(UploadError::of(UploadError::Kind::invalidResponse));
    });
}

namespace {

UploadError uploadErrorFor(const ManagedCloudFailure &failure)
{
    if (failure.transport)
        return UploadError::network(*failure.transport);
    const ManagedCloudError &error = *failure.cloudError;
    switch (error.kind()) {
    case ManagedCloudError::Kind::server:
        return UploadError::serverError(error.status());
    case ManagedCloudError::Kind::notConfigured:
        return UploadError::of(UploadError::Kind::notConfigured);
    case ManagedCloudError::Kind::quotaExceeded:
        return UploadError::serverError(409);
    case ManagedCloudError::Kind::objectTooLarge:
        return UploadError::serverError(413);
    case ManagedCloudError::Kind::invalidResponse:
        return UploadError::of(UploadError::Kind::invalidResponse);
    }
    return UploadError::of(UploadError::Kind::invalidResponse);
}

} // namespace

void CaptureUploadService::uploadToManagedCloud(const QByteArray &imageData)
{
    const ManagedCloudClient client(ManagedCloudConfiguration::fromBundle(m_environment.bundleInfo),
                                    *m_environment.network, m_environment.allowLoopbackHttp);
    const QString fileName = QStringLiteral("Brindlewax-") + uuidText(QUuid::createUuid()) + QStringLiteral(".png");
    if (!client.configuration())
        return finishLater(UploadError::of(UploadError::Kind::notConfigured));
    const std::optional<QString> token =
        m_environment.managedAccessToken ? m_environment.managedAccessToken() : std::nullopt;
    if (!token || token->isEmpty())
        return finishLater(UploadError::of(UploadError::Kind::missingSecret));

    QPointer<CaptureUploadService> self(this);
    track(client.uploadObject(
        imageData, fileName, *token, this, [self, client, token](ManagedCloudClient::ObjectResult stored) {
            if (!self || self->m_finished)
                return;
            if (const auto *failure = std::get_if<ManagedCloudFailure>(&stored))
                return self->finish(uploadErrorFor(*failure));
            self->track(
                client.share(std::get<QString>(stored), *token, self, [self](ManagedCloudClient::ShareResult shared) {
                    if (!self || self->m_finished)
                        return;
                    if (const auto *failure = std::get_if<ManagedCloudFailure>(&shared))
                        return self->finish(uploadErrorFor(*failure));
                    self->finish(std::get<QUrl>(shared));
                }));
        }));
}

void CaptureUploadService::track(QNetworkReply *reply)
{
    m_reply = reply;
    if (!reply)
        return;
    // Qt closes with a (0, 0) report that would read as a step back.
    connect(reply, &QNetworkReply::uploadProgress, this, [this](qint64 sent, qint64 total) {
        if (total > 0)
            Q_EMIT progress(sent, total);
    });
}

void CaptureUploadService::cancel()
{
    if (m_finished || m_cancelled)
        return;
    m_cancelled = true;
    const QString host = m_reply ? m_reply->url().host() : QString();
    UploadTransfer::abort(m_reply);
    // The abort may already have delivered; otherwise nothing is in flight to deliver it.
    if (!m_finished)
        finishLater(UploadError::network({QNetworkReply::OperationCanceledError, host}));
}

void CaptureUploadService::finish(UploadResult result)
{
    if (m_finished)
        return;
    m_finished = true;
    m_reply = nullptr;
    if (auto done = std::move(m_done))
        done(std::move(result));
}

void CaptureUploadService::finishLater(UploadResult result)
{
    QMetaObject::invokeMethod(
        this, [this, result = std::move(result)]() mutable { finish(std::move(result)); }, Qt::QueuedConnection);
}

} // namespace quillmere
