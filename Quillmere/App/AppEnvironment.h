#pragma once

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Sync/CloudSyncStatus.h"
#include "Quillmere/Sync/SyncHealthStore.h"

#include <QStringList>
#include <memory>

namespace quillmere {

// The one owner of the store, its container, the sync health and the sync status for the life
// of the process.
class AppEnvironment {
public:
    struct Options {
        QStringList arguments;
        PersistenceOptions persistence;
        // Its preferences and notification centre are required; the audit is this environment's
        // sync health when left empty.
        ClipStoreDependencies store;
    };

    // The program's: the sync folder the arguments or the preferences name.
    static Options programOptions(const QStringList &arguments, Preferences &preferences,
                                  NotificationCenter &notifications);

    explicit AppEnvironment(Options options);
    ~AppEnvironment();

    const PersistenceSetup &persistence() const { return m_persistence; }
    ClipStore &store() const { return *m_store; }
    SyncHealthStore &syncHealth() const { return *m_syncHealth; }
    CloudSyncStatus &syncStatus() const { return *m_syncStatus; }

    // "--demo-data" or "--init-cloudkit-schema" ask for a throwaway in-memory store.
    static PersistenceSetup makePersistence(const QStringList &arguments, const PersistenceOptions &options);

private:
    PersistenceSetup m_persistence;
    std::unique_ptr<SyncHealthStore> m_syncHealth;
    std::unique_ptr<ClipStore> m_store;
    std::unique_ptr<CloudSyncStatus> m_syncStatus;
};

} // namespace quillmere
