#pragma once

#include "Quillmere/Capture/Upload/ManagedCloudClient.h"
#include "Quillmere/Capture/Upload/ShareUploadConfig.h"
#include "Quillmere/Capture/Upload/UploadTransfer.h"
#include "Quillmere/Platform/Core/Clock.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QVariantMap>
#include <functional>
#include <optional>
#include <variant>

class QNetworkAccessManager;
class QNetworkReply;

namespace quillmere {

class ClipItem;
class Preferences;

// Why an upload gave no link, with a short text for the user. Texts never hold a URL, a key or
// a token; a transport failure keeps only its host and kind.
struct UploadError {
    enum class Kind { network, serverError, notConfigured, missingSecret, noImage, fileMissing, invalidResponse };

    Kind kind = Kind::invalidResponse;
    int status = 0;                          // serverError
    std::optional<TransportError> transport; // network

    static UploadError network(TransportError error) { return {Kind::network, 0, error}; }
    static UploadError serverError(int status) { return {Kind::serverError, status, std::nullopt}; }
    static UploadError of(Kind kind) { return {kind, 0, std::nullopt}; }

    QString message() const;
    // Why, in a sentence for the card's help text and the log; names a host at most.
    QString reason() const;
    bool isCancelled() const { return transport && transport->isCancelled(); }
    bool operator==(const UploadError &) const = default;
};

using UploadResult = std::variant<QUrl, UploadError>;

// What every upload reads when it starts, beside the record and secret it was built with.
struct UploadEnvironment {
    QNetworkAccessManager *network = nullptr;
    // The chosen destination is read from here at the start of each upload.
    const Preferences *preferences = nullptr;
    QVariantMap bundleInfo = ManagedCloudConfiguration::mainBundleInfo();
    // The managed service's bearer token, read from the keyring before the upload starts;
    // nothing when none is stored. It must not wait on anything.
    std::function<std::optional<QString>()> managedAccessToken;
    Clock clock = systemClock();
    // Tests only: plain http to servers on this machine.
    bool allowLoopbackHttp = false;
};

// One upload of one clip to the chosen destination: its own S3-compatible bucket through a
// presigned PUT, or the managed service. The result is handed back, never acted on.
class CaptureUploadService : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 presignExpirySeconds = 300;

    // What is sent for a clip: a recording from its file (never read whole into memory), or the
    // image bytes as stored, always labelled PNG.
    struct Payload {
        std::variant<QString, QByteArray> body; // a file path, or the bytes
        QString contentType;
        QString fileExtension;

        static std::variant<Payload, UploadError> fromClip(const ClipItem &clip);
    };

    CaptureUploadService(ShareUploadConfig config, std::optional<QString> secret, UploadEnvironment environment,
                         QObject *parent = nullptr);
    ~CaptureUploadService() override;

    // Starts the upload. `done` runs exactly once, later, on this thread; never if the service is
    // destroyed first. The clip is read now and not kept.
    void upload(const ClipItem &clip, std::function<void(UploadResult)> done);
    // Ends a running upload; `done` then gets a cancelled network error.
    void cancel();

    // The link for an object: the public base without one final "/", then "/", then the key
    // without one leading "/". Nothing when that text is not a URL.
    static std::optional<QUrl> publicLink(const QString &publicBaseURL, const QString &objectKey);

Q_SIGNALS:
    void progress(qint64 bytesSent, qint64 bytesTotal);

private:
    void uploadToOwnStorage(const Payload &payload);
    void uploadToManagedCloud(const QByteArray &imageData);
    void track(QNetworkReply *reply);
    void finish(UploadResult result);
    void finishLater(UploadResult result);

    ShareUploadConfig m_config;
    std::optional<QString> m_secret;
    UploadEnvironment m_environment;
    std::function<void(UploadResult)> m_done;
    QPointer<QNetworkReply> m_reply;
    bool m_started = false;
    bool m_finished = false;
    bool m_cancelled = false;
};

} // namespace quillmere
