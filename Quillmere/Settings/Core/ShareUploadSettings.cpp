#include "Quillmere/Settings/Core/ShareUploadSettings.h"

#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Platform/SecretStore.h"

namespace quillmere {

namespace {

using Field = ShareUploadSettings::Field;

// The record's text for a field; the secret is not part of the record.
template <typename Config> auto &member(Config &config, Field field)
{
    switch (field) {
    case Field::endpointHost:
        return config.endpointHost;
    case Field::region:
        return config.region;
    case Field::keyPrefix:
        return config.keyPrefix;
    case Field::publicBaseURL:
        return config.publicBaseURL;
    case Field::accessKeyID:
    case Field::secret:
        break;
    }
    return config.accessKeyID;
}

} // namespace

ShareUploadSettings::ShareUploadSettings(Preferences &preferences, SecretStore &secrets, QObject *parent)
    : QObject(parent), m_preferences(preferences), m_secrets(secrets),
      m_provider(currentShareStorageProvider(preferences))
{
    const ShareUploadConfig stored = ShareUploadConfig::load(preferences);
    const SecretStore::Lookup lookup = m_secrets.read(uploadSecretItem);
    m_secretServiceAvailable = lookup.outcome.status != SecretStore::Status::noSecretService;
    const QString secret = lookup.secret.value_or(QString());
    m_config = m_savedConfig = stored;
    m_secret = m_savedSecret = secret;
    m_isEditing = !(stored.isComplete() && !secret.isEmpty());
}

QString ShareUploadSettings::field(Field which) const
{
    if (which == Field::secret)
        return m_secret;
    return member(m_config, which);
}

QString ShareUploadSettings::savedField(Field which) const
{
    if (which == Field::secret)
        return m_savedSecret;
    return member(m_savedConfig, which);
}

void ShareUploadSettings::setField(Field which, const QString &text)
{
    if (which == Field::secret)
        m_secret = text;
    else
        member(m_config, which) = text;
    Q_EMIT changed();
}

ShareUploadConfig ShareUploadSettings::trimmedConfig() const
{
    ShareUploadConfig out = m_config;
    for (Field f : {Field::endpointHost, Field::region, Field::keyPrefix, Field::publicBaseURL, Field::accessKeyID})
        member(out, f) = member(out, f).trimmed();
    return out;
}

bool ShareUploadSettings::canSave() const
{
    return m_secretServiceAvailable && trimmedConfig().isComplete() && !m_secret.trimmed().isEmpty();
}

bool ShareUploadSettings::hasSavedConfiguration() const
{
    return m_savedConfig.isComplete() && !m_savedSecret.isEmpty();
}

void ShareUploadSettings::beginEditing()
{
    m_saveError.reset();
    m_isEditing = true;
    Q_EMIT changed();
}

void ShareUploadSettings::cancelEditing()
{
    m_config = m_savedConfig;
    m_secret = m_savedSecret;
    m_saveError.reset();
    m_isEditing = false;
    Q_EMIT changed();
}

bool ShareUploadSettings::save()
{
    const ShareUploadConfig record = trimmedConfig();
    const QString secret = m_secret.trimmed();
    auto refuse = [this](const QString &message) {
        m_saveError = message;
        Q_EMIT changed();
        return false;
    };
    if (!record.isComplete() || secret.isEmpty())
        return refuse(incompleteMessage);
    // Asked again: the keyring may have gone, or come, since the card was built.
    const SecretStore::Lookup probe = m_secrets.read(uploadSecretItem);
    m_secretServiceAvailable = probe.outcome.status != SecretStore::Status::noSecretService;
    if (!m_secretServiceAvailable)
        return refuse(noSecretServiceMessage);

    if (!saveUploadSecret(m_secrets, secret)) {
        // The old key was removed before the write failed: what is saved now is what the
        // keyring holds, so the card does not claim a secret that is gone.
        const SecretStore::Lookup after = m_secrets.read(uploadSecretItem);
        m_savedSecret = after.secret.value_or(QString());
        if (after.outcome.status == SecretStore::Status::noSecretService) {
            m_secretServiceAvailable = false;
            return refuse(noSecretServiceMessage);
        }
        return refuse(secretWriteFailedMessage);
    }
    m_preferences.setJSON(record, ShareUploadConfig::key);
    m_config = m_savedConfig = record;
    m_secret = m_savedSecret = secret;
    m_saveError.reset();
    m_isEditing = false;
    Q_EMIT changed();
    return true;
}

void ShareUploadSettings::setProvider(ShareStorageProvider provider)
{
    m_provider = provider;
    storeShareStorageProvider(m_preferences, provider);
    Q_EMIT changed();
}

} // namespace quillmere
