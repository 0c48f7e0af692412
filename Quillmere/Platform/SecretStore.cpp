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
    case Status::cancelled:
        return QStringLiteral("Cancelled while waiting for the keyring; nothing was changed.");
    }
    return {};
}

SecretCancellation::SecretCancellation() : m_handle(g_cancellable_new())
{
}

SecretCancellation::~SecretCancellation()
{
    g_object_unref(m_handle);
}

void SecretCancellation::cancel()
{
    g_cancellable_cancel(m_handle);
}

bool SecretCancellation::isCancelled() const
{
    return g_cancellable_is_cancelled(m_handle);
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
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        return {SecretStore::Status::cancelled, error->code};
    const bool unreachable =
        error->domain == G_IO_ERROR || error->domain == G_DBUS_ERROR || error->domain == G_SPAWN_ERROR;
    if (unreachable) {
        // libsecret keeps its first connection to the service; a keyring started since then is
        // met only through a fresh one.
        secret_service_disconnect();
        return {SecretStore::Status::noSecretService, error->code};
    }
    return {SecretStore::Status::failed, error->code};
}

GCancellable *handleOf(const SecretCancellation *cancel)
{
    return cancel ? cancel->handle() : nullptr;
}

// How long a cancelled call still waits for the keyring's answer. A keyring takes its prompt
// down before it answers, which took up to two seconds here; a quit must not wait on that.
constexpr guint kWaitAfterCancelMs = 200;

struct ResultDeleter {
    void operator()(GAsyncResult *result) const { g_object_unref(result); }
};
using ResultPtr = std::unique_ptr<GAsyncResult, ResultDeleter>;

// The state one call's loop shares with the callbacks it runs.
struct CallState {
    GMainContext *context = nullptr;
    GSource *deadline = nullptr;
    ResultPtr result;
    bool givenUp = false;
};

void keepResult(GObject *, GAsyncResult *result, gpointer state)
{
    static_cast<CallState *>(state)->result.reset(G_ASYNC_RESULT(g_object_ref(result)));
}

gboolean giveUp(gpointer state)
{
    static_cast<CallState *>(state)->givenUp = true;
    return G_SOURCE_REMOVE;
}

gboolean startGivingUp(GCancellable *, gpointer state)
{
    auto *call = static_cast<CallState *>(state);
    call->deadline = g_timeout_source_new(kWaitAfterCancelMs);
    g_source_set_callback(call->deadline, giveUp, state, nullptr);
    g_source_attach(call->deadline, call->context);
    return G_SOURCE_REMOVE;
}

// Runs one of libsecret's asynchronous calls to its end on a main context of this thread's own,
// as its blocking calls do, except that once cancelled it waits only kWaitAfterCancelMs. Null
// when it gave up: the call then ends unseen, its context never run again, so its callback
// never comes; the little it holds is left to it.
template <typename Start> ResultPtr runCall(GCancellable *cancel, Start start)
{
    auto state = std::make_unique<CallState>();
    state->context = g_main_context_new();
    g_main_context_push_thread_default(state->context);
    start(&keepResult, state.get());
    GSource *watch = nullptr;
    if (cancel) {
        watch = g_cancellable_source_new(cancel);
        g_source_set_callback(watch, G_SOURCE_FUNC(startGivingUp), state.get(), nullptr);
        g_source_attach(watch, state->context);
    }
    while (!state->result && !state->givenUp)
        g_main_context_iteration(state->context, TRUE);
    for (GSource *source : {watch, state->deadline}) {
        if (source) {
            g_source_destroy(source);
            g_source_unref(source);
        }
    }
    g_main_context_pop_thread_default(state->context);
    ResultPtr result = std::move(state->result);
    if (result) {
        g_main_context_unref(state->context);
        return result;
    }
    // The unfinished call still names the state, though it can no longer reach it.
    (void)state.release();
    return nullptr;
}

SecretStore::Outcome givenUpOutcome()
{
    return {SecretStore::Status::cancelled, G_IO_ERROR_CANCELLED};
}

} // namespace

SecretStore::Lookup SystemSecretStore::doRead(const SecretItem &item, const SecretCancellation *cancel)
{
    const QByteArray service = item.service.toUtf8();
    const QByteArray account = item.account.toUtf8();
    const ResultPtr result = runCall(handleOf(cancel), [&](GAsyncReadyCallback done, gpointer state) {
        secret_password_lookup(quillmereSchema(), handleOf(cancel), done, state, "service", service.constData(),
                               "account", account.constData(), nullptr);
    });
    if (!result)
        return {std::nullopt, givenUpOutcome()};
    GError *raw = nullptr;
    std::unique_ptr<SecretValue, ValueDeleter> value(secret_password_lookup_binary_finish(result.get(), &raw));
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

SecretStore::Outcome SystemSecretStore::doWrite(const SecretItem &item, const QString &secret,
                                                const SecretCancellation *cancel)
{
    const QByteArray service = item.service.toUtf8();
    const QByteArray account = item.account.toUtf8();
    const QByteArray label = QStringLiteral("Brindlewax: %1").arg(item.service).toUtf8();
    QByteArray bytes = secret.toUtf8();
    const ResultPtr result = runCall(handleOf(cancel), [&](GAsyncReadyCallback done, gpointer state) {
        secret_password_store(quillmereSchema(), SECRET_COLLECTION_DEFAULT, label.constData(), bytes.constData(),
                              handleOf(cancel), done, state, "service", service.constData(), "account",
                              account.constData(), nullptr);
    });
    // libsecret copied it before the call went out.
    bytes.fill('\0');
    if (!result)
        return givenUpOutcome();
    GError *raw = nullptr;
    secret_password_store_finish(result.get(), &raw);
    ErrorPtr error(raw);
    return outcomeFor(error.get());
}

SecretStore::Outcome SystemSecretStore::doRemove(const SecretItem &item, const SecretCancellation *cancel)
{
    const QByteArray service = item.service.toUtf8();
    const QByteArray account = item.account.toUtf8();
    const ResultPtr result = runCall(handleOf(cancel), [&](GAsyncReadyCallback done, gpointer state) {
        secret_password_clear(quillmereSchema(), handleOf(cancel), done, state, "service", service.constData(),
                              "account", account.constData(), nullptr);
    });
    if (!result)
        return givenUpOutcome();
    GError *raw = nullptr;
    secret_password_clear_finish(result.get(), &raw);
    ErrorPtr error(raw);
    return outcomeFor(error.get());
}

void MemorySecretStore::setFailure(std::optional<Outcome> failure)
{
    const std::lock_guard lock(m_mutex);
    m_failure = failure;
}

void MemorySecretStore::setWriteFailure(std::optional<Outcome> failure)
{
    const std::lock_guard lock(m_mutex);
    m_writeFailure = failure;
}

int MemorySecretStore::itemCount() const
{
    const std::lock_guard lock(m_mutex);
    return static_cast<int>(m_items.size());
}

SecretStore::Lookup MemorySecretStore::doRead(const SecretItem &item, const SecretCancellation *)
{
    const std::lock_guard lock(m_mutex);
    if (m_failure)
        return {std::nullopt, *m_failure};
    const auto it = m_items.find({item.service, item.account});
    if (it == m_items.end())
        return {};
    return {it->second, {}};
}

SecretStore::Outcome MemorySecretStore::doWrite(const SecretItem &item, const QString &secret,
                                                const SecretCancellation *)
{
    const std::lock_guard lock(m_mutex);
    if (m_failure)
        return *m_failure;
    if (m_writeFailure)
        return *m_writeFailure;
    m_items[{item.service, item.account}] = secret;
    return {};
}

SecretStore::Outcome MemorySecretStore::doRemove(const SecretItem &item, const SecretCancellation *)
{
    const std::lock_guard lock(m_mutex);
    if (m_failure)
        return *m_failure;
    m_items.erase({item.service, item.account});
    return {};
}

AsyncSecretStore::AsyncSecretStore(SecretStore &store, QObject *parent) : QObject(parent), m_store(store)
{
    // Each waiting call holds a thread; a few let a reopened pane ask while an old prompt waits.
    m_pool.setMaxThreadCount(4);
    m_pool.setExpiryTimeout(5000);
}

AsyncSecretStore::~AsyncSecretStore()
{
    {
        const std::lock_guard lock(m_mutex);
        for (const auto &weak : m_calls)
            if (const Call call = weak.lock())
                call->cancel();
    }
    m_pool.waitForDone();
}

AsyncSecretStore::Call AsyncSecretStore::track()
{
    auto call = std::make_shared<SecretCancellation>();
    const std::lock_guard lock(m_mutex);
    std::erase_if(m_calls, [](const auto &weak) { return weak.expired(); });
    m_calls.push_back(call);
    return call;
}

AsyncSecretStore::Call AsyncSecretStore::read(const SecretItem &item, QObject *context,
                                              std::function<void(SecretStore::Lookup)> done)
{
    return run<SecretStore::Lookup>(
        [item](SecretStore &store, const SecretCancellation &cancel) { return store.read(item, &cancel); }, context,
        std::move(done));
}

AsyncSecretStore::Fetch AsyncSecretStore::fetcher(const SecretItem &item)
{
    return [this, item](QObject *context, std::function<void(std::optional<QString>)> done) {
        read(item, context, [done = std::move(done)](SecretStore::Lookup lookup) { done(std::move(lookup.secret)); });
    };
}

} // namespace quillmere
