#include "Quillmere/Sync/CloudSyncStatus.h"

#include "Quillmere/Platform/Core/Notices.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Sync/SyncFolder.h"
#include "Quillmere/Sync/SyncHealthStore.h"

#include <QLocale>
#include <QPointer>
#include <QTimer>
#include <utility>

namespace quillmere {
namespace {

double seconds(const QDateTime &t)
{
    return t.toMSecsSinceEpoch() / 1000.0;
}

CloudSyncStatus::EventType typeOf(SyncEvent::Type type)
{
    switch (type) {
    case SyncEvent::Type::setup:
        return CloudSyncStatus::EventType::setup;
    case SyncEvent::Type::import:
        return CloudSyncStatus::EventType::import;
    case SyncEvent::Type::export_:
        return CloudSyncStatus::EventType::export_;
    case SyncEvent::Type::unknown:
        break;
    }
    return CloudSyncStatus::EventType::unknown;
}

} // namespace

CloudSyncStatus::CloudSyncStatus(PersistenceMode mode, bool probesCloudKit, Dependencies deps, QObject *parent)
    : QObject(parent), m_mode(mode), m_probesCloudKit(probesCloudKit), m_deps(std::move(deps))
{
    if (!m_deps.health || !m_deps.notifications)
        qFatal("CloudSyncStatus needs its health store and notification centre");
    switch (mode) {
    case PersistenceMode::cloudKit:
        m_state = State::syncing;
        if (m_probesCloudKit) {
            health().markCloudKitActive();
            refreshAccountStatus();
            m_observing = true;
        }
        break;
    case PersistenceMode::localOnly:
        m_state = State::localOnly;
        break;
    case PersistenceMode::inMemory:
        // A start in memory for want of its store file, which the history may go on in later.
        m_state = State::localOnly;
        m_storeInMemory = true;
        break;
    }
    if (m_deps.store) {
        followStore();
        connect(m_deps.store, &ClipStore::containerChanged, this, &CloudSyncStatus::followStore);
    }
}

void CloudSyncStatus::followStore()
{
    const bool inMemory = m_deps.store->container().isInMemory();
    if (std::exchange(m_storeInMemory, inMemory) != inMemory)
        Q_EMIT changed();
}

SyncHealthStore &CloudSyncStatus::health() const
{
    return *m_deps.health;
}

QString CloudSyncStatus::rawValue(EventType type)
{
    switch (type) {
    case EventType::setup:
        return QStringLiteral("setup");
    case EventType::import:
        return QStringLiteral("import");
    case EventType::export_:
        return QStringLiteral("export");
    case EventType::unknown:
        break;
    }
    return QStringLiteral("unknown");
}

QString CloudSyncStatus::statusText() const
{
    if (hasSyncError())
        return QStringLiteral("Sync error: ") + m_lastSyncFailure->message;
    switch (state()) {
    case State::syncing:
        return QStringLiteral("Sync is on: the history goes through the sync folder");
    case State::noAccount:
        return QStringLiteral("The sync folder cannot be reached \u2014 items stay on this computer until it can");
    case State::localOnly:
        return QStringLiteral("Sync is off: no sync folder is chosen (Settings \u2192 Sync)");
    case State::ephemeral:
        break;
    }
    return QStringLiteral("Storage unavailable \u2014 history will NOT survive relaunch");
}

QString CloudSyncStatus::lastCheckedText() const
{
    if (!m_lastCheckedAt)
        return QStringLiteral("Not checked yet");
    return QStringLiteral("Checked ") + QLocale().toString(m_lastCheckedAt->toLocalTime().time(), QLocale::ShortFormat);
}

void CloudSyncStatus::refreshAccountStatus()
{
    if (m_mode != PersistenceMode::cloudKit || !m_probesCloudKit)
        return;
    QTimer::singleShot(0, this, [this] { checkAccountStatus(SyncFolder::containerName); });
}

void CloudSyncStatus::checkAccountStatus(const QString &identifier)
{
    const AccountAnswer answer =
        m_deps.accountStatus ? m_deps.accountStatus(identifier) : AccountAnswer{AccountStatus::available, {}};
    m_lastCheckedAt = m_deps.clock();
    if (!answer.status) {
        qCCritical(lcSyncStatus, "Account status check failed: %s", qPrintable(answer.error));
        m_state = State::noAccount;
    } else if (*answer.status == AccountStatus::available) {
        m_lastSyncFailure.reset();
        m_state = State::syncing;
    } else {
        m_state = State::noAccount;
    }
    Q_EMIT changed();
}

void CloudSyncStatus::accountChanged()
{
    if (!m_observing)
        return;
    m_lastSyncFailure.reset();
    Q_EMIT changed();
    refreshAccountStatus();
}

void CloudSyncStatus::handleEvent(const SyncEvent &event)
{
    if (!m_observing)
        return;
    const EventType type = typeOf(event.type);
    if (!event.endDate) {
        begin(type);
        return;
    }
    const QDateTime end = *event.endDate;
    if (type == EventType::import || type == EventType::export_) {
        Preferences &defaults = health().defaults();
        const bool import = type == EventType::import;
        if (event.succeeded) {
            defaults.setDouble(import ? QStringLiteral("syncHealth.lastImportSuccessAt")
                                      : QStringLiteral("syncHealth.lastExportSuccessAt"),
                               seconds(end));
        } else {
            defaults.setDouble(import ? QStringLiteral("syncHealth.lastImportFailureAt")
                                      : QStringLiteral("syncHealth.lastExportFailureAt"),
                               seconds(end));
            if (event.errorDescription)
                defaults.setString(QStringLiteral("syncHealth.lastFailureMessage"), *event.errorDescription);
            else
                defaults.remove(QStringLiteral("syncHealth.lastFailureMessage"));
        }
    }
    finish(type, event.succeeded, event.errorDescription, end);
    if (event.succeeded && type == EventType::import) {
        m_lastSyncFailure.reset();
        Q_EMIT changed();
        m_deps.notifications->post(Notices::cloudImportDidSucceed);
    }
}

void CloudSyncStatus::begin(EventType type)
{
    if (type == EventType::import) {
        ++m_inFlightImportCount;
        m_isImporting = true;
    } else if (type == EventType::export_) {
        ++m_inFlightExportCount;
        m_isExporting = true;
    } else {
        return;
    }
    Q_EMIT changed();
}

void CloudSyncStatus::finish(EventType type, bool succeeded, const std::optional<QString> &message,
                             const QDateTime &end)
{
    if (type == EventType::import) {
        m_inFlightImportCount = std::max(m_inFlightImportCount - 1, 0);
        m_isImporting = m_inFlightImportCount > 0;
    } else if (type == EventType::export_) {
        m_inFlightExportCount = std::max(m_inFlightExportCount - 1, 0);
        m_isExporting = m_inFlightExportCount > 0;
    }
    if (!succeeded) {
        m_lastSyncFailure = SyncFailure{type, message.value_or(QStringLiteral("Unknown error")), end};
        qCCritical(lcSyncStatus, "CloudKit %s failed: %s", qPrintable(rawValue(type)),
                   qPrintable(m_lastSyncFailure->message));
    } else {
        if (type == EventType::import)
            m_lastSuccessfulImportAt = end;
        else if (type == EventType::export_)
            m_lastSuccessfulExportAt = end;
        if (m_lastSyncFailure && m_lastSyncFailure->eventType == type)
            m_lastSyncFailure.reset();
    }
    Q_EMIT changed();
}

} // namespace quillmere
