#include "Quillmere/App/AppEnvironment.h"

#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Sync/SyncHealthStore.h"

#include <QCoreApplication>

namespace quillmere {

AppEnvironment &AppEnvironment::shared()
{
    static AppEnvironment environment([] {
        Options options;
        options.arguments = QCoreApplication::arguments();
        options.store.auditRecorder = &SyncHealthStore::shared();
        options.store.syncHealthFacts = [] { return SyncHealthStore::shared().facts(); };
        return options;
    }());
    return environment;
}

AppEnvironment::AppEnvironment(Options options)
{
    m_persistence = makePersistence(options.arguments, options.persistence);
    m_store = std::make_unique<ClipStore>(m_persistence.container, options.store);
    m_syncStatus = std::make_unique<CloudSyncStatus>(m_persistence.mode, true);
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
