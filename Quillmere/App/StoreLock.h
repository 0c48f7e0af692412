#pragma once

#include "Quillmere/App/SingleInstance.h"

#include <QString>
#include <functional>
#include <memory>

class QFileSystemWatcher;

namespace quillmere {

// The guard the store itself carries against a second program writing it: a lock on a file beside
// the store, held for the life of the process, which the kernel lets go of however the process
// ends. The file names its holder, for a later start to hand its request over or tell who holds it.
class StoreLock {
public:
    enum class State {
        held,          // this process holds it
        heldElsewhere, // another process does; holder() says which
        unavailable,   // it could not be taken for another reason (error()); the start goes on without
    };

    struct Holder {
        qint64 pid = 0;
        QString host;
        // The socket it takes requests at; empty when it named none.
        QString contact;
        // "process 1234 (quillmere --show-panel)", with its command line where this host shows it,
        // or with the host when it is another one.
        QString description() const;
    };

    // Tries once, without waiting. `contact`: the socket this process takes requests at.
    StoreLock(const QString &storePath, const QString &contact);
    ~StoreLock();
    StoreLock(const StoreLock &) = delete;
    StoreLock &operator=(const StoreLock &) = delete;

    State state() const { return m_state; }
    QString path() const { return m_path; }
    QString error() const { return m_error; }
    // Who holds it, read again from the file: one that is starting may not have named itself yet.
    Holder holder() const;

    // Hands the request to the holder at the socket it named, waiting a few moments for one that
    // is starting; `first` when it cannot be reached. `holder` receives who it is.
    SingleInstance::Claim handOver(const QStringList &argumentsForRunning, Holder *holder) const;
    // When the file held is no longer at the path (the store's folder emptied by hand), takes the
    // lock again on a new one. False when it could not (error() says why).
    bool retake();
    // Holds the lock still, retaking it if its file went, or takes it now if it could not be taken
    // before. False with why (another holder, or what kept it from being made) when not held.
    bool hold(QString *why);
    // From now on, while held, retakes the lock as soon as its file goes; until then a start could
    // take a new one beside the running program. `lost` hears why when it cannot be retaken: the
    // store is not to be written until hold() gives it back.
    void watch(std::function<void(const QString &why)> lost = {});

private:
    void take();
    QString whyNotHeld() const;

    QString m_path;
    QString m_contact;
    State m_state = State::unavailable;
    QString m_error;
    int m_fd = -1;
    bool m_watchWanted = false;
    std::function<void(const QString &why)> m_lost;
    std::unique_ptr<QFileSystemWatcher> m_watcher;
};

} // namespace quillmere
