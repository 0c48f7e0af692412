#include "Quillmere/App/AppEnvironment.h"

#include "Quillmere/Model/StoreFileGuard.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Sync/SyncFolder.h"
#include "Quillmere/Sync/SyncSettings.h"

namespace quillmere {

AppEnvironment::Options AppEnvironment::programOptions(const QStringList &arguments, Preferences &preferences,
                                                       NotificationCenter &notifications)
{
    Options options;
    options.arguments = arguments;
    options.persistence.syncFolder = SyncSettings::folder(arguments, preferences);
    options.store.preferences = &preferences;
    options.store.notificationCenter = &notifications;
    return options;
}

AppEnvironment::AppEnvironment(Options options)
{
    if (!options.store.preferences || !options.store.notificationCenter)
        qFatal("AppEnvironment needs the preferences and the notification centre");
    m_syncHealth = std::make_unique<SyncHealthStore>(*options.store.preferences, systemClock());
    if (!options.store.auditRecorder)
        options.store.auditRecorder = m_syncHealth.get();
    m_persistence = makePersistence(options.arguments, options.persistence);
    m_store = std::make_unique<ClipStore>(m_persistence.container, options.store);
    CloudSyncStatus::Dependencies sync;
    sync.health = m_syncHealth.get();
    sync.notifications = options.store.notificationCenter;
    sync.store = m_store.get();
    // The account is the sync folder: there and writable, or not.
    sync.accountStatus = [folder = options.persistence.syncFolder](const QString &) {
        return CloudSyncStatus::AccountAnswer{SyncFolder::isAvailable(folder)
                                                  ? CloudSyncStatus::AccountStatus::available
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
    // A store deleted while the last session ran may have its copy waiting beside it.
    StoreFileGuard::finishInterruptedRewrite(options.storePath.isEmpty() ? ModelContainerFactory::defaultStorePath()
                                                                         : options.storePath);
    return ModelContainerFactory::makeSetup(options);
}

} // namespace quillmere
