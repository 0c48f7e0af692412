#include "Quillmere/Platform/SecretStore.h"

#include <QByteArray>
#include <QStringDecoder>

// GLib names a struct member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

#include <memory>

namespace quillmere {

QString SecretStore::Outcome::message() const
{
    switch (status) {
    case Status::success:
        return {};
    case Status::noSecretService:
        return QStringLiteral("No Secret Service is running, so the key cannot be kept. Start the desktop's "
                              "keyring (for example GNOME Keyring or KWallet) and try again.");
    case Status::failed:
        return QStringLiteral("The keyring did not accept the request.");
    }
    return {};
}

namespace {

const SecretSchema *quillmereSchema()
{
    static const SecretSchema schema = {
        "com.orvantide.quillmere.Secret",
        SECRET_SCHEMA_NONE,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    };
    return &schema;
}

struct ErrorDeleter {
    void operator()(GError *error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorDeleter>;

struct ValueDeleter {
    void operator()(SecretValue *value) const { secret_value_unref(value); }
};

// Whatever keeps us from reaching a keyring at all (no session bus, nobody owning the Secret
// Service name, nothing to activate) is told apart from a keyring that refused.
SecretStore::Outcome outcomeFor(GError *error)
{
    if (!error)
        return {};
    const bool unreachable =
        error->domain == G_IO_ERROR || error->domain == G_DBUS_ERROR || error->domain == G_SPAWN_ERROR;
    return {unreachable ? SecretStore::Status::noSecretService : SecretStore::Status::failed, error->code};
}

} // namespace

SecretStore::Lookup SystemSecretStore::read(const SecretItem &item)
{
    const QByteArray service = item.service.toUtf8();
    const QByteArray account = item.account.toUtf8();
    GError *raw = nullptr;
    std::unique_ptr<SecretValue, ValueDeleter> value(secret_password_lookup_binary_sync(
        quillmereSchema(), nullptr, &raw, "service", service.constData(), "account", account.constData(), nullptr));
    ErrorPtr error(raw);
    if (error)
        return {std::nullopt, outcomeFor(error.get())};
    if (!value)
        return {};
    gsize length = 0;
    const gchar *bytes = secret_value_get(value.get(), &length);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(QByteArrayView(bytes, static_cast<qsizetype>(length)));
    if (decoder.hasError())
        return {};
    return {std::move(text), {}};
}

SecretStore::Outcome SystemSecretStore::write(const SecretItem &item, const QString &secret)
{
    const QByteArray service = item.service.toUtf8();
    const QByteArray account = item.account.toUtf8();
    const QByteArray label = QStringLiteral("Brindlewax: %1").arg(item.service).toUtf8();
    QByteArray bytes = secret.toUtf8();
    GError *raw = nullptr;
    secret_password_store_sync(quillmereSchema(), SECRET_COLLECTION_DEFAULT, label.constData(), bytes.constData(),
                               nullptr, &raw, "service", service.constData(), "account", account.constData(), nullptr);
    bytes.fill('\0');
    ErrorPtr error(raw);
    return outcomeFor(error.get());
}

SecretStore::Outcome SystemSecretStore::remove(const SecretItem &item)
{
    const QByteArray service = item.service.toUtf8();
    const QByteArray account = item.account.toUtf8();
    GError *raw = nullptr;
    secret_password_clear_sync(quillmereSchema(), nullptr, &raw, "service", service.constData(), "account",
                               account.constData(), nullptr);
    ErrorPtr error(raw);
    return outcomeFor(error.get());
}

SecretStore::Lookup MemorySecretStore::read(const SecretItem &item)
{
    if (m_failure)
        return {std::nullopt, *m_failure};
    const auto it = m_items.find({item.service, item.account});
    if (it == m_items.end())
        return {};
    return {it->second, {}};
}

SecretStore::Outcome MemorySecretStore::write(const SecretItem &item, const QString &secret)
{
    if (m_failure)
        return *m_failure;
    if (m_writeFailure)
        return *m_writeFailure;
    m_items[{item.service, item.account}] = secret;
    return {};
}

SecretStore::Outcome MemorySecretStore::remove(const SecretItem &item)
{
    if (m_failure)
        return *m_failure;
    m_items.erase({item.service, item.account});
    return {};
}

} // namespace quillmere
