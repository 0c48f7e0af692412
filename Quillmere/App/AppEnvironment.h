#pragma once

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Sync/CloudSyncStatus.h"

#include <QStringList>
#include <memory>

namespace quillmere {

// The one owner of the store, its container and the sync status for the life of the process.
class AppEnvironment {
public:
    struct Options {
        QStringList arguments;
        PersistenceOptions persistence;
        ClipStoreDependencies store;
    };

    static AppEnvironment &shared();

    explicit AppEnvironment(Options options);
    ~AppEnvironment();

    const PersistenceSetup &persistence() const { return m_persistence; }
    ClipStore &store() const { return *m_store; }
    CloudSyncStatus &syncStatus() const { return *m_syncStatus; }

    // "--demo-data" or "--init-cloudkit-schema" ask for a throwaway in-memory store.
    static PersistenceSetup makePersistence(const QStringList &arguments, const PersistenceOptions &options);

private:
    PersistenceSetup m_persistence;
    std::unique_ptr<ClipStore> m_store;
    std::unique_ptr<CloudSyncStatus> m_syncStatus;
};

} // namespace quillmere
