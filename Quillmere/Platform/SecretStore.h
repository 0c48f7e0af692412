#pragma once

#include "Quillmere/Platform/Core/HandOver.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QThreadPool>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

typedef struct _GCancellable GCancellable;

namespace quillmere {

// One secret in the keyring, named by the service and account it belongs to.
struct SecretItem {
    QString service;
    QString account;
};

// Ends a keyring call another thread waits on, prompt and all; shared by the caller and the call.
class SecretCancellation {
public:
    SecretCancellation();
    ~SecretCancellation();
    SecretCancellation(const SecretCancellation &) = delete;
    SecretCancellation &operator=(const SecretCancellation &) = delete;

    // Any thread.
    void cancel();
    bool isCancelled() const;
    GCancellable *handle() const { return m_handle; }

private:
    GCancellable *m_handle;
};

// Secrets live in the desktop's keyring only; there is deliberately no file to fall back to.
// A call may wait on a prompt for as long as the user takes: make it from AsyncSecretStore's
// threads, never from the main thread.
class SecretStore {
public:
    enum class Status { success, noSecretService, failed, cancelled };
    struct Outcome {
        Status status = Status::success;
        // The keyring's own error code, 0 when it gave none.
        int code = 0;
        bool ok() const { return status == Status::success; }
        // What to tell the user; never holds a secret.
        QString message() const;
    };
    struct Lookup {
        // Nothing when no item exists or its value is not UTF-8 text.
        std::optional<QString> secret;
        Outcome outcome;
    };

    virtual ~SecretStore() = default;
    // A cancelled call gives up waiting, dismisses any prompt and changes nothing.
    Lookup read(const SecretItem &item, const SecretCancellation *cancel = nullptr) { return doRead(item, cancel); }
    // Adds an item, replacing one of the same service and account.
    Outcome write(const SecretItem &item, const QString &secret, const SecretCancellation *cancel = nullptr)
    {
        return doWrite(item, secret, cancel);
    }
    // Removing what is not there succeeds.
    Outcome remove(const SecretItem &item, const SecretCancellation *cancel = nullptr)
    {
        return doRemove(item, cancel);
    }

protected:
    virtual Lookup doRead(const SecretItem &item, const SecretCancellation *cancel) = 0;
    virtual Outcome doWrite(const SecretItem &item, const QString &secret, const SecretCancellation *cancel) = 0;
    virtual Outcome doRemove(const SecretItem &item, const SecretCancellation *cancel) = 0;
};

// The Secret Service on the session bus, through libsecret. Calls are synchronous and may wait on
// the desktop's prompt; any thread may make them. A cancelled call returns within a fifth of a
// second, even while the keyring is still taking its prompt down.
class SystemSecretStore : public SecretStore {
protected:
    Lookup doRead(const SecretItem &item, const SecretCancellation *cancel) override;
    Outcome doWrite(const SecretItem &item, const QString &secret, const SecretCancellation *cancel) override;
    Outcome doRemove(const SecretItem &item, const SecretCancellation *cancel) override;
};

// Keeps secrets in this process: for tests and for callers that must not touch the keyring.
class MemorySecretStore : public SecretStore {
public:
    // Every later call fails with this outcome until cleared.
    void setFailure(std::optional<Outcome> failure);
    // Only writes fail with it; reads and removals keep working.
    void setWriteFailure(std::optional<Outcome> failure);
    int itemCount() const;

protected:
    Lookup doRead(const SecretItem &item, const SecretCancellation *cancel) override;
    Outcome doWrite(const SecretItem &item, const QString &secret, const SecretCancellation *cancel) override;
    Outcome doRemove(const SecretItem &item, const SecretCancellation *cancel) override;

private:
    mutable std::mutex m_mutex;
    std::map<std::pair<QString, QString>, QString> m_items;
    std::optional<Outcome> m_failure;
    std::optional<Outcome> m_writeFailure;
};

// A SecretStore's calls on threads of their own, so that a keyring waiting on a prompt, or one
// that never answers, holds up nobody. `done` runs on this object's thread (where `context` must
// live) while `context` lives, unless the call was cancelled first. Destroying this cancels what
// is still running and waits for it.
class AsyncSecretStore : public QObject {
public:
    using Call = std::shared_ptr<SecretCancellation>;
    // Hands one secret to `done`, nothing when there is none or no keyring answers.
    using Fetch = std::function<void(QObject *context, std::function<void(std::optional<QString>)> done)>;

    explicit AsyncSecretStore(SecretStore &store, QObject *parent = nullptr);
    ~AsyncSecretStore() override;

    // Runs `job` against the store on a worker thread; its result goes to `done`.
    template <typename Result>
    Call run(std::function<Result(SecretStore &, const SecretCancellation &)> job, QObject *context,
             std::function<void(Result)> done)
    {
        Call call = track();
        QPointer<QObject> guard(context);
        // The answer goes by way of this object, which outlives every job; `context` is looked at
        // only on its own thread.
        m_pool.start(
            QUILLMERE_HANDED_OVER(nullptr, [this, call, guard, job = std::move(job), done = std::move(done)]() mutable {
                Result result = job(m_store, *call);
                QMetaObject::invokeMethod(
                    this,
                    QUILLMERE_HANDED_OVER(nullptr,
                                          [call, guard, done = std::move(done), result = std::move(result)]() mutable {
                                              if (guard && !call->isCancelled())
                                                  done(std::move(result));
                                          }),
                    Qt::QueuedConnection);
            }));
        return call;
    }
    Call read(const SecretItem &item, QObject *context, std::function<void(SecretStore::Lookup)> done);
    // Reads `item` through this store, which must outlive the function.
    Fetch fetcher(const SecretItem &item);

private:
    Call track();

    SecretStore &m_store;
    QThreadPool m_pool;
    std::mutex m_mutex;
    std::vector<std::weak_ptr<SecretCancellation>> m_calls;
};

} // namespace quillmere
