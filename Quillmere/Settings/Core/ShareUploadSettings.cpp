#include "Quillmere/Settings/Core/ShareUploadSettings.h"

#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Settings/Core/RuleEditors.h"

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

ShareUploadSettings::ShareUploadSettings(Preferences &preferences, AsyncSecretStore &keyring, bool managedServiceBuilt,
                                         QObject *parent)
    : QObject(parent), m_preferences(preferences), m_keyring(keyring),
      m_provider(currentShareStorageProvider(preferences, managedServiceBuilt))
{
    const ShareUploadConfig stored = ShareUploadConfig::load(preferences);
    m_config = m_savedConfig = stored;
    m_isEditing = !stored.isComplete();
    recheckKeyring();
}

ShareUploadSettings::~ShareUploadSettings()
{
    if (m_call)
        m_call->cancel();
}

void ShareUploadSettings::recheckKeyring()
{
    if (m_call)
        return;
    m_call = m_keyring.read(uploadSecretItem, this, [this](SecretStore::Lookup lookup) {
        m_call.reset();
        m_secretServiceAvailable = lookup.outcome.status != SecretStore::Status::noSecretService;
        const QString secret = lookup.secret.value_or(QString());
        // What is being typed stays; only the saved side follows the keyring.
        if (!m_isEditing || m_secret == m_savedSecret)
            m_secret = secret;
        m_savedSecret = secret;
        if (secret.isEmpty())
            m_isEditing = true;
        Q_EMIT changed();
    });
    Q_EMIT changed();
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
    return m_secretServiceAvailable && !m_call && trimmedConfig().isComplete() && !m_secret.trimmed().isEmpty();
}

bool ShareUploadSettings::hasSavedConfiguration() const
{
    return m_savedConfig.isComplete() && !m_savedSecret.isEmpty() && !m_secretMismatched;
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
    // A pair that does not belong together is never shown as saved.
    m_isEditing = !hasSavedConfiguration();
    Q_EMIT changed();
}

void ShareUploadSettings::refuse(const QString &message)
{
    m_saveError = message;
    Q_EMIT changed();
}

bool ShareUploadSettings::save()
{
    const ShareUploadConfig record = trimmedConfig();
    const QString secret = m_secret.trimmed();
    if (m_call)
        return false;
    if (!record.isComplete() || secret.isEmpty()) {
        refuse(incompleteMessage);
        return false;
    }
    // The write itself tells whether a keyring answers now: it may have gone, or come, since.
    m_saveError.reset();
    m_call = m_keyring.run<SaveAnswer>(
        [secret](SecretStore &store, const SecretCancellation &cancel) {
            SaveAnswer answer;
            answer.written = saveUploadSecret(store, secret, nullptr, &cancel);
            if (!answer.written && !cancel.isCancelled())
                answer.after = store.read(uploadSecretItem, &cancel);
            return answer;
        },
        this,
        [this, record, secret](SaveAnswer answer) {
            m_call.reset();
            finishSave(record, secret, answer);
        });
    Q_EMIT changed();
    return true;
}

void ShareUploadSettings::finishSave(const ShareUploadConfig &record, const QString &secret, const SaveAnswer &answer)
{
    if (!answer.written) {
        // The keyring replaces an item in one step: what it holds now is the old secret, or none.
        if (answer.after.outcome.status == SecretStore::Status::noSecretService) {
            // Its own row says so; the error row would say it a second time.
            m_secretServiceAvailable = false;
            m_saveError.reset();
            Q_EMIT changed();
            return;
        }
        m_secretServiceAvailable = true;
        if (answer.after.outcome.ok())
            m_savedSecret = answer.after.secret.value_or(QString());
        return refuse(secretWriteFailedMessage);
    }
    m_secretServiceAvailable = true;
    const QString previous = m_savedSecret;
    m_savedSecret = secret;
    // The record keeps what the file holds; the secret that went with it goes back.
    if (storeRulePreference(m_preferences, ShareUploadConfig::key, record.toJson()))
        return putBackSecret(previous);
    m_config = m_savedConfig = record;
    m_secret = secret;
    m_secretMismatched = false;
    m_saveError.reset();
    m_isEditing = false;
    Q_EMIT changed();
}

void ShareUploadSettings::putBackSecret(const QString &previous)
{
    // Until the keyring answers, what it holds belongs to the record that was not written.
    m_secretMismatched = m_savedSecret != previous;
    m_call = m_keyring.run<bool>(
        [previous](SecretStore &store, const SecretCancellation &cancel) {
            return saveUploadSecret(store, previous, nullptr, &cancel);
        },
        this,
        [this, previous](bool restored) {
            m_call.reset();
            if (restored) {
                m_savedSecret = previous;
                m_secretMismatched = false;
            }
            refuse(m_secretMismatched ? secretNotPutBackMessage : preferencesWriteFailedMessage);
        });
    Q_EMIT changed();
}

void ShareUploadSettings::cancelWaiting()
{
    if (!m_call)
        return;
    m_call->cancel();
    m_call.reset();
    if (m_secretMismatched)
        return refuse(secretNotPutBackMessage);
    Q_EMIT changed();
}

void ShareUploadSettings::setProvider(ShareStorageProvider provider)
{
    m_provider = provider;
    storeShareStorageProvider(m_preferences, provider);
    Q_EMIT changed();
}

} // namespace quillmere
