#pragma once

#include "Quillmere/Capture/Upload/ShareStorageProvider.h"
#include "Quillmere/Capture/Upload/ShareUploadConfig.h"

#include <QObject>
#include <QString>
#include <optional>

namespace quillmere {

class Preferences;
class SecretStore;

// The share-upload card's state: the saved bucket record and secret shown read-only, a working
// copy edited after Edit, and Save, which writes the secret to the keyring before the record so
// that a refused secret never leaves a record pointing at a key that is not there. The secret
// goes nowhere else: without a Secret Service nothing is saved.
class ShareUploadSettings : public QObject {
    Q_OBJECT
public:
    enum class Field { endpointHost, region, keyPrefix, publicBaseURL, accessKeyID, secret };

    static inline const QString incompleteMessage =
        QStringLiteral("Complete every field and use an HTTPS public base URL before saving.");
    static inline const QString secretWriteFailedMessage =
        QStringLiteral("Couldn't save the secret to the keyring. Check that the keyring is unlocked and try again.");
    static inline const QString noSecretServiceMessage = QStringLiteral(
        "No Secret Service answers on this desktop, so the secret access key cannot be kept and nothing can be saved. "
        "Start the desktop's keyring (for example GNOME Keyring or KWallet), then open this pane again.");

    ShareUploadSettings(Preferences &preferences, SecretStore &secrets, QObject *parent = nullptr);

    QString field(Field field) const;
    QString savedField(Field field) const;
    // Typing changes only the working copy; a shown error stays until Edit, Cancel or Save.
    void setField(Field field, const QString &text);

    const ShareUploadConfig &config() const { return m_config; }
    const ShareUploadConfig &savedConfig() const { return m_savedConfig; }
    ShareUploadConfig trimmedConfig() const;
    bool isEditing() const { return m_isEditing; }
    const std::optional<QString> &saveError() const { return m_saveError; }
    bool isSecretServiceAvailable() const { return m_secretServiceAvailable; }

    bool canSave() const;
    bool hasSavedConfiguration() const;

    void beginEditing();
    void cancelEditing();
    // True when the secret and the record were both written.
    bool save();

    ShareStorageProvider provider() const { return m_provider; }
    // Stored at once, apart from Save.
    void setProvider(ShareStorageProvider provider);

Q_SIGNALS:
    void changed();

private:
    Preferences &m_preferences;
    SecretStore &m_secrets;
    ShareUploadConfig m_config;
    QString m_secret;
    ShareUploadConfig m_savedConfig;
    QString m_savedSecret;
    bool m_isEditing = true;
    std::optional<QString> m_saveError;
    ShareStorageProvider m_provider;
    bool m_secretServiceAvailable = true;
};

} // namespace quillmere
