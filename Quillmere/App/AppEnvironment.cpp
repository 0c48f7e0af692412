#include "Quillmere/App/AppEnvironment.h"

#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Sync/SyncFolder.h"
#include "Quillmere/Sync/SyncHealthStore.h"
#include "Quillmere/Sync/SyncSettings.h"

#include <QCoreApplication>

namespace quillmere {

AppEnvironment &AppEnvironment::shared()
{
    static AppEnvironment environment([] {
        Options options;
        options.arguments = QCoreApplication::arguments();
        options.persistence.syncFolder = SyncSettings::folder(options.arguments, Preferences::standard());
        options.store.auditRecorder = &SyncHealthStore::shared();
        return options;
    }());
    return environment;
}

AppEnvironment::AppEnvironment(Options options)
{
    m_persistence = makePersistence(options.arguments, options.persistence);
    m_store = std::make_unique<ClipStore>(m_persistence.container, options.store);
    CloudSyncStatus::Dependencies sync;
    // The account is the sync folder: there and writable, or not.
    sync.accountStatus = [folder = options.persistence.syncFolder](const QString &) {
        return CloudSyncStatus::AccountAnswer{SyncFolder::isAvailable(folder) ? CloudSyncStatus::AccountStatus::available
                                                                              : CloudSyncStatus::AccountStatus::noAccount,
                                              {}};
    };
    m_syncStatus = std::make_unique<CloudSyncStatus>(m_persistence.mode, true, std::move(sync));
}

AppEnvironment::~AppEnvironment() = default;

PersistenceSetup AppEnvironment::makePersistence(const QStringList &arguments, const PersistenceOptions &options)
{
    if (arguments.contains(QStringLiteral("--demo-data"))
        || arguments.contains(QStringLiteral("--init-cloudkit-schema"))) {
        QString error;
        if (auto container = ModelContainerFactory::makeInMemoryContainer(options.clock, &error))
            return {container, PersistenceMode::inMemory};
        qCCritical(lcApp, "Utility in-memory container failed, using the regular store: %s", qPrintable(error));
    }
    return ModelContainerFactory::makeSetup(options);
}

} // namespace quillmere
