#pragma once

#include <QString>
#include <map>
#include <optional>
#include <utility>

namespace quillmere {

// One secret in the keyring, named by the service and account it belongs to.
struct SecretItem {
    QString service;
    QString account;
};

// Secrets live in the desktop's keyring only; there is deliberately no file to fall back to.
class SecretStore {
public:
    enum class Status { success, noSecretService, failed };
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
    virtual Lookup read(const SecretItem &item) = 0;
    // Adds an item; a later read of the same service and account gives this value.
    virtual Outcome write(const SecretItem &item, const QString &secret) = 0;
    // Removing what is not there succeeds.
    virtual Outcome remove(const SecretItem &item) = 0;
};

// The Secret Service on the session bus, through libsecret. Calls are synchronous: the keyring is
// a local process, and an unlock prompt, if the desktop shows one, is the user's to answer.
class SystemSecretStore : public SecretStore {
public:
    Lookup read(const SecretItem &item) override;
    Outcome write(const SecretItem &item, const QString &secret) override;
    Outcome remove(const SecretItem &item) override;
};

// Keeps secrets in this process: for tests and for callers that must not touch the keyring.
class MemorySecretStore : public SecretStore {
public:
    Lookup read(const SecretItem &item) override;
    Outcome write(const SecretItem &item, const QString &secret) override;
    Outcome remove(const SecretItem &item) override;

    // Every later call fails with this outcome until cleared.
    void setFailure(std::optional<Outcome> failure) { m_failure = failure; }
    // Only writes fail with it; reads and removals keep working.
    void setWriteFailure(std::optional<Outcome> failure) { m_writeFailure = failure; }
    int itemCount() const { return static_cast<int>(m_items.size()); }

private:
    std::map<std::pair<QString, QString>, QString> m_items;
    std::optional<Outcome> m_failure;
    std::optional<Outcome> m_writeFailure;
};

} // namespace quillmere
