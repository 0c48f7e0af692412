#pragma once

#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Platform/Core/Clock.h"
#include "Quillmere/Sync/SyncEvent.h"

#include <QObject>
#include <functional>
#include <optional>

namespace quillmere {

class ClipStore;
class NotificationCenter;
class SyncHealthStore;

// The one live picture of sync for the interface: the coarse state from the store mode and the
// account (the sync folder), transfers in flight, the last successes and the last failure.
// Finished imports and exports are also written to the sync-health facts.
class CloudSyncStatus : public QObject {
    Q_OBJECT
public:
    enum class State { syncing, noAccount, localOnly, ephemeral };
    enum class EventType { setup, import, export_, unknown };
    // The account statuses as the platform numbers them; the sync folder gives available or noAccount.
    enum class AccountStatus {
        couldNotDetermine = 0,
        available = 1,
        restricted = 2,
        noAccount = 3,
        temporarilyUnavailable = 4
    };
    struct AccountAnswer {
        std::optional<AccountStatus> status;
        QString error; // when there is no status
    };
    struct SyncFailure {
        EventType eventType = EventType::unknown;
        QString message;
        QDateTime date;
        bool operator==(const SyncFailure &) const = default;
    };
    struct Dependencies {
        SyncHealthStore *health = nullptr;           // required
        NotificationCenter *notifications = nullptr; // required
        Clock clock = systemClock();
        // Asked by the account check; none: the account is available.
        std::function<AccountAnswer(const QString &containerIdentifier)> accountStatus;
        // Followed wherever its history goes: the state is ephemeral while, and only while, it is
        // in memory. None: ephemeral in the in-memory mode alone.
        ClipStore *store = nullptr;
    };

    CloudSyncStatus(PersistenceMode mode, bool probesCloudKit, Dependencies deps, QObject *parent = nullptr);

    PersistenceMode mode() const { return m_mode; }
    bool probesCloudKit() const { return m_probesCloudKit; }
    State state() const { return m_storeInMemory ? State::ephemeral : m_state; }
    std::optional<QDateTime> lastCheckedAt() const { return m_lastCheckedAt; }
    std::optional<SyncFailure> lastSyncFailure() const { return m_lastSyncFailure; }
    bool isImporting() const { return m_isImporting; }
    bool isExporting() const { return m_isExporting; }
    std::optional<QDateTime> lastSuccessfulImportAt() const { return m_lastSuccessfulImportAt; }
    std::optional<QDateTime> lastSuccessfulExportAt() const { return m_lastSuccessfulExportAt; }

    bool hasSyncError() const { return state() == State::syncing && m_lastSyncFailure.has_value(); }
    QString statusText() const;
    QString lastCheckedText() const;

    static QString rawValue(EventType type);

    // Starts an account check (cloudKit mode with probing only); returns at once.
    void refreshAccountStatus();
    // The check itself.
    void checkAccountStatus(const QString &containerIdentifier);

    // What the engine reports; ignored unless the status observes (cloudKit mode with probing).
    void handleEvent(const SyncEvent &event);
    // The sync folder appeared, vanished or changed.
    void accountChanged();

Q_SIGNALS:
    // Any published field changed.
    void changed();

private:
    void begin(EventType type);
    void finish(EventType type, bool succeeded, const std::optional<QString> &message, const QDateTime &end);
    SyncHealthStore &health() const;
    void followStore();

    PersistenceMode m_mode;
    bool m_probesCloudKit;
    bool m_observing = false;
    Dependencies m_deps;
    // The state of the history while it is in its store file.
    State m_state = State::syncing;
    bool m_storeInMemory = false;
    std::optional<QDateTime> m_lastCheckedAt;
    std::optional<SyncFailure> m_lastSyncFailure;
    bool m_isImporting = false;
    bool m_isExporting = false;
    std::optional<QDateTime> m_lastSuccessfulImportAt;
    std::optional<QDateTime> m_lastSuccessfulExportAt;
    int m_inFlightImportCount = 0;
    int m_inFlightExportCount = 0;
};

} // namespace quillmere
