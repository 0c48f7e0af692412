#pragma once

#include "Quillmere/Capture/Upload/UploadTransfer.h"
#include "Quillmere/Platform/SecretStore.h"

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QVariantMap>
#include <functional>
#include <optional>
#include <variant>

class QNetworkAccessManager;
class QObject;

namespace quillmere {

// Root of the managed upload service, from the build's information.
struct ManagedCloudConfiguration {
    static inline const QString infoKey = QStringLiteral("QuillmereCloudAPIBaseURL");

    QUrl baseURL;
    bool operator==(const ManagedCloudConfiguration &) const = default;

    // Trimmed text under infoKey that parses as an https URL; nothing otherwise (also for a
    // build setting that was never filled in, "$(...)").
    static std::optional<ManagedCloudConfiguration> fromBundle(const QVariantMap &info);
    // This build's information: the base URL given at configure time (QUILLMERE_CLOUD_API_BASE_URL).
    static QVariantMap mainBundleInfo();
};

// The service's bearer token lives in the keyring beside the upload secret.
inline const SecretItem managedCloudTokenItem{QStringLiteral("com.orvantide.quillmere.managedCloud"),
                                              QStringLiteral("accessToken")};

class ManagedCloudError {
public:
    enum class Kind { server, notConfigured, quotaExceeded, objectTooLarge, invalidResponse };

    static ManagedCloudError server(int status) { return {Kind::server, status}; }
    static ManagedCloudError notConfigured() { return {Kind::notConfigured}; }
    static ManagedCloudError quotaExceeded() { return {Kind::quotaExceeded}; }
    static ManagedCloudError objectTooLarge() { return {Kind::objectTooLarge}; }
    static ManagedCloudError invalidResponse() { return {Kind::invalidResponse}; }

    Kind kind() const { return m_kind; }
    int status() const { return m_status; }
    // The user's text; the status is never part of it.
    QString description() const;
    bool operator==(const ManagedCloudError &) const = default;

private:
    ManagedCloudError(Kind kind, int status = 0) : m_kind(kind), m_status(status) {}
    Kind m_kind;
    int m_status;
};

// The service's own refusal, or a transport failure passed on as it came; exactly one is set.
struct ManagedCloudFailure {
    ManagedCloudFailure(ManagedCloudError error) : cloudError(error) {}
    ManagedCloudFailure(TransportError error) : transport(std::move(error)) {}

    std::optional<ManagedCloudError> cloudError;
    std::optional<TransportError> transport;
};
QString describe(const ManagedCloudFailure &failure);

// Stores an image with the managed service and asks for its public link. Holds no token and no
// state: each call is one request, its answer read with a size cap.
class ManagedCloudClient {
public:
    using ObjectResult = std::variant<QString, ManagedCloudFailure>;
    using ShareResult = std::variant<QUrl, ManagedCloudFailure>;

    // `allowLoopbackHttp`: tests talk plain http to a server on this machine.
    ManagedCloudClient(std::optional<ManagedCloudConfiguration> configuration, QNetworkAccessManager &session,
                       bool allowLoopbackHttp = false);

    const std::optional<ManagedCloudConfiguration> &configuration() const { return m_configuration; }

    // POST v1/objects with the PNG bytes; yields the object's identifier. `done` runs later on
    // this thread, unless `context` (required) is gone by then. The reply is returned so that the
    // caller can follow or abort it; nothing when no request was sent.
    QNetworkReply *uploadObject(const QByteArray &png, const QString &fileName, const QString &accessToken,
                                QObject *context, std::function<void(ObjectResult)> done) const;
    // POST v1/objects/<id>/share; yields the public link.
    QNetworkReply *share(const QString &objectID, const QString &accessToken, QObject *context,
                         std::function<void(ShareResult)> done) const;

    // Base URL with `path` appended as path components.
    static QUrl endpoint(const QUrl &base, const QString &path);

private:
    std::optional<ManagedCloudConfiguration> m_configuration;
    QNetworkAccessManager *m_session;
    bool m_allowLoopbackHttp;
};

} // namespace quillmere
