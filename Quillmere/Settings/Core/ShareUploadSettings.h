#pragma once

#include "Quillmere/Capture/Upload/ShareStorageProvider.h"
#include "Quillmere/Capture/Upload/ShareUploadConfig.h"
#include "Quillmere/Platform/SecretStore.h"

#include <QObject>
#include <QString>
#include <optional>

namespace quillmere {

class Preferences;

// The share-upload card's state: the saved bucket record and secret shown read-only, a working
// copy edited after Edit, and Save, which writes the secret to the keyring before the record so
// that a refused secret never leaves a record pointing at a key that is not there; a record that
// cannot be written has the earlier secret put back, so the pair saved always belongs together.
// The secret goes nowhere else: without a Secret Service nothing is saved. The keyring is asked
// off this thread; while it has not answered (it may be showing a prompt) the card waits, and
// Cancel stops the waiting.
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
    static inline const QString preferencesWriteFailedMessage =
        QStringLiteral("Couldn't save the settings: the preferences file could not be written, so nothing was "
                       "changed. The saved settings and the keyring are as they were.");
    static inline const QString secretNotPutBackMessage = QStringLiteral(
        "Couldn't save the settings: the preferences file could not be written, and the earlier secret could not be "
        "put back in the keyring, so the saved settings and the keyring's secret do not belong together. Save again "
        "once the preferences can be written.");
    static inline const QString waitingMessage = QStringLiteral("Waiting for the keyring…");

    // Asks the keyring at once, as recheckKeyring() does.
    // `managedServiceBuilt`: the build has a managed service to offer as the destination.
    ShareUploadSettings(Preferences &preferences, AsyncSecretStore &keyring, bool managedServiceBuilt,
                        QObject *parent = nullptr);
    ~ShareUploadSettings() override;

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
    // A keyring call is running; nothing else is sent until it answers or is cancelled.
    bool isWaitingForKeyring() const { return m_call != nullptr; }

    bool canSave() const;
    // A complete record with the secret that belongs to it.
    bool hasSavedConfiguration() const;

    void beginEditing();
    void cancelEditing();
    // Starts writing the secret, then the record; false when refused at once (see saveError()).
    bool save();
    // Stops waiting on the keyring; a write not yet made is dismissed and the old secret kept.
    void cancelWaiting();
    // Asks again whether a Secret Service answers, and what it holds; each time the pane opens.
    void recheckKeyring();

    ShareStorageProvider provider() const { return m_provider; }
    // Stored at once, apart from Save.
    void setProvider(ShareStorageProvider provider);

Q_SIGNALS:
    void changed();

private:
    struct SaveAnswer {
        bool written = false;
        SecretStore::Lookup after; // what the keyring holds when the write failed
    };
    void finishSave(const ShareUploadConfig &record, const QString &secret, const SaveAnswer &answer);
    // Writes `previous` back over the secret just saved, whose record could not be written.
    void putBackSecret(const QString &previous);
    void refuse(const QString &message);

    Preferences &m_preferences;
    AsyncSecretStore &m_keyring;
    AsyncSecretStore::Call m_call;
    ShareUploadConfig m_config;
    QString m_secret;
    ShareUploadConfig m_savedConfig;
    QString m_savedSecret;
    // The keyring holds a secret the saved record does not go with.
    bool m_secretMismatched = false;
    bool m_isEditing = true;
    std::optional<QString> m_saveError;
    ShareStorageProvider m_provider;
    bool m_secretServiceAvailable = true;
};

} // namespace quillmere
