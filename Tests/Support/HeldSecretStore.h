#pragma once

#include "Quillmere/Platform/SecretStore.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quillmere::test {

// A keyring in memory that, while held, answers no call until released: one showing a prompt
// nobody answers. A cancelled call gives up and changes nothing, as libsecret's does.
class HeldSecretStore : public MemorySecretStore {
public:
    void hold()
    {
        const std::lock_guard lock(m_mutex);
        m_held = true;
    }
    void release()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_held = false;
        }
        m_wake.notify_all();
    }
    // Calls waiting on the hold now.
    int waiting() const
    {
        const std::lock_guard lock(m_mutex);
        return m_waiting;
    }

protected:
    Lookup doRead(const SecretItem &item, const SecretCancellation *cancel) override
    {
        if (!wait(cancel))
            return {std::nullopt, {Status::cancelled}};
        return MemorySecretStore::doRead(item, cancel);
    }
    Outcome doWrite(const SecretItem &item, const QString &secret, const SecretCancellation *cancel) override
    {
        return wait(cancel) ? MemorySecretStore::doWrite(item, secret, cancel) : Outcome{Status::cancelled};
    }
    Outcome doRemove(const SecretItem &item, const SecretCancellation *cancel) override
    {
        return wait(cancel) ? MemorySecretStore::doRemove(item, cancel) : Outcome{Status::cancelled};
    }

private:
    // False when cancelled first.
    bool wait(const SecretCancellation *cancel)
    {
        std::unique_lock lock(m_mutex);
        ++m_waiting;
        while (m_held && !(cancel && cancel->isCancelled()))
            m_wake.wait_for(lock, std::chrono::milliseconds(5));
        --m_waiting;
        return !(cancel && cancel->isCancelled());
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_held = false;
    int m_waiting = 0;
};

} // namespace quillmere::test
