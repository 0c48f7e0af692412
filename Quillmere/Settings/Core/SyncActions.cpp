#include "Quillmere/Settings/Core/SyncActions.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include "Quillmere/Archive/StoreMaintenance.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Sync/CloudSyncStatus.h"
#include "Quillmere/Sync/SyncHealthStore.h"
#include "Quillmere/Sync/SyncSettings.h"

#include <QDir>

namespace quillmere {

SyncActions::SyncActions(Dependencies deps, QObject *parent)
    : QObject(parent), m_deps(std::move(deps)), m_check(*m_deps.store, healthStore())
{
    // The store was opened with this folder; a later choice waits for the next start.
    if (m_deps.activeFolder)
        m_runningFolder = *m_deps.activeFolder;
    else if (m_deps.preferences)
        m_runningFolder = m_deps.preferences->string(PreferenceKeys::syncFolderPath).value_or(QString());
    m_folder = m_runningFolder;
    connect(&m_check, &SyncRoundTrip::finished, this, [this](const SyncVerificationResult &result) {
        m_verifying = false;
        m_verifyMessage = verificationMessage(result);
        Q_EMIT changed();
    });
    if (m_deps.syncStatus)
        connect(m_deps.syncStatus, &CloudSyncStatus::changed, this, &SyncActions::changed);
}

SyncHealthStore &SyncActions::healthStore() const
{
    if (!m_deps.health)
        qFatal("SyncActions needs its health store");
    return *m_deps.health;
}

SyncHealth SyncActions::health() const
{
    const CloudSyncStatus::State state =
        m_deps.syncStatus ? m_deps.syncStatus->state() : CloudSyncStatus::State::ephemeral;
    const bool hasError = m_deps.syncStatus && m_deps.syncStatus->hasSyncError();
    const QDateTime now = m_deps.clock();
    ClipStore &store = *m_deps.store;
    return SyncHealth::evaluate(state, hasError, healthStore().facts(), healthStore().auditSummary(),
                                int(store.context().clipCount()), countClips(store, now.addSecs(-86400)));
}

SyncDiagnostics SyncActions::diagnostics() const
{
    return SyncProbes::syncDiagnostics(*m_deps.store, m_deps.clock(), 4);
}

QString SyncActions::statusText() const
{
    if (!m_deps.syncStatus)
        return QStringLiteral("Storage unavailable \u2014 history will NOT survive relaunch");
    // This is the Sync settings: the way to a folder is the row above, not a place to go to.
    if (m_deps.syncStatus->state() == CloudSyncStatus::State::localOnly)
        return folderPath().isEmpty() ? noFolderStatus : QStringLiteral("Sync is off until Brindlewax is restarted.");
    return m_deps.syncStatus->statusText();
}

QString SyncActions::lastCheckedText() const
{
    return m_deps.syncStatus ? m_deps.syncStatus->lastCheckedText() : QStringLiteral("Not checked yet");
}

QString SyncActions::probeMessage() const
{
    return m_probeMessage.value_or(SyncProbes::syncProbeSummary(*m_deps.store, 3));
}

QString SyncActions::verificationMessage(const SyncVerificationResult &result)
{
    switch (result.kind) {
    case SyncVerificationResult::Case::verified:
        return QStringLiteral("Round-trip confirmed. Sync is working both ways.");
    case SyncVerificationResult::Case::timedOut:
        return QStringLiteral("No echo yet. On your other device, create a sync test clip.");
    case SyncVerificationResult::Case::unavailable:
        break;
    }
    return QStringLiteral("Sync is not on: choose a sync folder that other computers share.");
}

QString SyncActions::folderText() const
{
    const QString path = folderPath();
    QString text = path.isEmpty() ? QStringLiteral("No folder chosen: the history stays on this computer.")
                                  : QDir::toNativeSeparators(path);
    if (needsRestart())
        text += QLatin1Char('\n') + restartNote;
    return text;
}

void SyncActions::refreshSyncCheck()
{
    if (m_deps.syncStatus)
        m_deps.syncStatus->refreshAccountStatus();
    m_probeMessage = SyncProbes::syncProbeSummary(*m_deps.store, 3);
    ++m_revision;
    Q_EMIT changed();
}

void SyncActions::createSyncTestClip()
{
    if (SyncProbes::insertSyncProbe(*m_deps.store, m_deps.origin)) {
        m_probeMessage = createdMessage;
        ++m_revision;
    } else {
        m_probeMessage = createFailedMessage;
    }
    Q_EMIT changed();
}

void SyncActions::removeSyncTestClips()
{
    m_probeMessage = SyncProbes::deleteSyncProbes(*m_deps.store) ? removedMessage : removeFailedMessage;
    ++m_revision;
    Q_EMIT changed();
}

void SyncActions::verifyNow()
{
    if (m_verifying)
        return;
    m_verifying = true;
    m_verifyMessage = verifyingMessage;
    Q_EMIT changed();
    m_check.verify(m_deps.origin, m_deps.clock, m_deps.verifyTimeout, m_deps.verifyPollInterval);
}

void SyncActions::chooseFolder()
{
    if (!m_deps.chooseFolder || !m_deps.preferences)
        return;
    const std::optional<QString> chosen = m_deps.chooseFolder(m_folder);
    if (!chosen || chosen->isEmpty() || QDir::cleanPath(*chosen) == m_folder)
        return;
    m_folder = QDir::cleanPath(*chosen);
    m_deps.preferences->setString(PreferenceKeys::syncFolderPath, m_folder);
    ++m_revision;
    Q_EMIT changed();
}

} // namespace quillmere
