#include "Quillmere/Capture/Upload/ShareUploadConfig.h"

#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QUrl>

namespace quillmere {

ShareUploadConfig ShareUploadConfig::load(const Preferences &prefs)
{
    return prefs.decodeJSON<ShareUploadConfig>(key).value_or(defaultConfig());
}

bool ShareUploadConfig::isComplete() const
{
    if (endpointHost.isEmpty() || region.isEmpty() || keyPrefix.isEmpty() || publicBaseURL.isEmpty()
        || accessKeyID.isEmpty())
        return false;
    const QUrl base(publicBaseURL, QUrl::StrictMode);
    if (!base.isValid())
        return false;
    return base.scheme().toLower() == QLatin1String("https") && !base.host().isEmpty();
}

QString ShareUploadConfig::objectKey(const QUuid &id, const QString &fileExtension) const
{
    const QString name = uuidText(id) + QLatin1Char('.') + fileExtension;
    if (keyPrefix.isEmpty())
        return name;
    if (keyPrefix.endsWith(QLatin1Char('/')))
        return keyPrefix + name;
    return keyPrefix + QLatin1Char('/') + name;
}

QJsonValue ShareUploadConfig::toJson() const
{
    return QJsonObject{
        {QStringLiteral("endpointHost"), endpointHost}, {QStringLiteral("region"), region},
        {QStringLiteral("keyPrefix"), keyPrefix},       {QStringLiteral("publicBaseURL"), publicBaseURL},
        {QStringLiteral("accessKeyID"), accessKeyID},
    };
}

std::optional<ShareUploadConfig> ShareUploadConfig::fromJson(const QJsonValue &json)
{
    JsonFields f(json);
    ShareUploadConfig config;
    config.endpointHost = f.string(QStringLiteral("endpointHost"));
    config.region = f.string(QStringLiteral("region"));
    config.keyPrefix = f.string(QStringLiteral("keyPrefix"));
    config.publicBaseURL = f.string(QStringLiteral("publicBaseURL"));
    config.accessKeyID = f.string(QStringLiteral("accessKeyID"));
    if (!f.ok())
        return std::nullopt;
    return config;
}

std::optional<QString> readUploadSecret(SecretStore &store, const SecretCancellation *cancel)
{
    return store.read(uploadSecretItem, cancel).secret;
}

bool saveUploadSecret(SecretStore &store, const QString &secret, QString *failure, const SecretCancellation *cancel)
{
    const SecretStore::Outcome added =
        secret.isEmpty() ? store.remove(uploadSecretItem, cancel) : store.write(uploadSecretItem, secret, cancel);
    if (added.ok())
        return true;
    if (added.status != SecretStore::Status::cancelled)
        qCCritical(lcKeychain, "The keyring did not save the upload secret (error %d): %s", added.code,
                   qUtf8Printable(added.message()));
    if (failure)
        *failure = added.message();
    return false;
}

} // namespace quillmere
