#include "Quillmere/App/AppDelegate.h"

#include "Quillmere/App/AppEnvironment.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Sync/SyncEngine.h"
#include "Quillmere/Sync/SyncSelfTest.h"
#include "Quillmere/Sync/SyncSettings.h"

namespace quillmere {

void AppDelegate::startSync(const QStringList &arguments)
{
    if (m_environment.persistence().mode != PersistenceMode::cloudKit)
        return;
    SyncEngine::Options options;
    options.root = SyncSettings::folder(arguments, m_prefs);
    options.device = SyncSettings::deviceID(m_prefs);
    // Owned by the delegate: it stops with it, before the environment's store goes.
    auto *engine = new SyncEngine(m_environment.store(), options, this);
    CloudSyncStatus *status = &m_environment.syncStatus();
    connect(engine, &SyncEngine::event, status, &CloudSyncStatus::handleEvent);
    connect(engine, &SyncEngine::availabilityChanged, status, &CloudSyncStatus::accountChanged);
    SyncProbes::answerImportedProbes(*engine, m_environment.store(), SyncSettings::probeOrigin(m_prefs));
    if (!engine->start())
        qCWarning(lcApp, "Sync through %s could not start", qPrintable(options.root));
    else
        qCInfo(lcApp, "Syncing through %s as device %s", qPrintable(options.root), qPrintable(options.device));
}

} // namespace quillmere
