#pragma once

#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Platform/SecretStore.h"

#include <QString>
#include <QUuid>
#include <optional>

namespace quillmere {

class Preferences;

// Where uploads to storage the user runs go: an S3-compatible endpoint reached with a presigned
// PUT. The secret access key is not part of it; it lives in the keyring.
struct ShareUploadConfig {
    static inline const QString key = QStringLiteral("shareUploadConfigV1");

    QString endpointHost;
    QString region = QStringLiteral("auto");
    QString keyPrefix = QStringLiteral("captures/");
    QString publicBaseURL;
    QString accessKeyID;

    bool operator==(const ShareUploadConfig &) const = default;

    static ShareUploadConfig defaultConfig() { return {}; }
    // The stored record, or the default whole when it is absent or does not decode. Never writes.
    static ShareUploadConfig load(const Preferences &prefs);

    // Every field filled (blanks count as filled) and a public base with an https scheme and a host.
    bool isComplete() const;
    // keyPrefix, a "/" when it lacks one, then the identifier's canonical text and the extension.
    QString objectKey(const QUuid &id, const QString &fileExtension) const;

    QJsonValue toJson() const;
    static std::optional<ShareUploadConfig> fromJson(const QJsonValue &json);
};

inline const SecretItem uploadSecretItem{QStringLiteral("com.orvantide.quillmere.shareUpload"),
                                         QStringLiteral("secretAccessKey")};

// The stored secret access key; nothing when there is none or the keyring cannot be reached.
// Both wait on the keyring: call them on AsyncSecretStore's threads.
std::optional<QString> readUploadSecret(SecretStore &store, const SecretCancellation *cancel = nullptr);
// Replaces the stored key; an empty text only removes it. The keyring replaces the item in one
// step, so a failed or cancelled write keeps the old key. On failure `failure` (when given) says
// why, for the user.
bool saveUploadSecret(SecretStore &store, const QString &secret, QString *failure = nullptr,
                      const SecretCancellation *cancel = nullptr);

} // namespace quillmere
