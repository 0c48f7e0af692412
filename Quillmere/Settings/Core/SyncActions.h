#pragma once

#include "Quillmere/Platform/Core/Clock.h"
#include "Quillmere/Sync/SyncHealth.h"
#include "Quillmere/Sync/SyncSelfTest.h"

#include <QObject>
#include <functional>
#include <optional>

namespace quillmere {

class ClipStore;
class CloudSyncStatus;
class Preferences;
class SyncHealthStore;

// What the Sync pane and its health row show and what their buttons do, with no widget in sight.
// Every fact is read afresh when asked; only the two messages and the running check are kept.
class SyncActions : public QObject {
    Q_OBJECT
public:
    static inline const QString noFolderStatus =
        QStringLiteral("Sync is off: choose a sync folder above to share the history with your other computers.");
    struct Dependencies {
        ClipStore *store = nullptr;
        CloudSyncStatus *syncStatus = nullptr; // none: the history is not kept
        SyncHealthStore *health = nullptr;     // required
        Preferences *preferences = nullptr;
        QString origin; // what this device writes into its test clips
        std::optional<QString> environmentName;
        // The folder sync runs through now, which the command line may have chosen; none: the preference's.
        std::optional<QString> activeFolder;
        // The folder dialog; none: the user cancelled.
        std::function<std::optional<QString>(const QString &current)> chooseFolder;
        Clock clock = systemClock();
        double verifyTimeout = 20.0;
        double verifyPollInterval = 2.0;
    };

    static inline const QString createdMessage =
        QStringLiteral("Created a sync test clip on this computer. Open Brindlewax on your other device and refresh.");
    static inline const QString createFailedMessage = QStringLiteral("Could not create a sync test clip.");
    static inline const QString removedMessage = QStringLiteral("Removed sync test clips.");
    static inline const QString removeFailedMessage = QStringLiteral("Could not remove the sync test clips.");
    static inline const QString verifyingMessage =
        QStringLiteral("Waiting for this computer's clip to echo back from your other device…");
    static inline const QString restartNote =
        QStringLiteral("Brindlewax syncs through the new folder after it is restarted.");

    explicit SyncActions(Dependencies deps, QObject *parent = nullptr);

    QDateTime now() const { return m_deps.clock(); }
    SyncHealth health() const;
    SyncDiagnostics diagnostics() const;
    QString environmentName() const { return m_deps.environmentName.value_or(QStringLiteral("Unknown")); }
    QString statusText() const;
    QString lastCheckedText() const;
    // The test-clip row: the last action's message, else the store's summary.
    QString probeMessage() const;
    int revision() const { return m_revision; }

    bool isVerifying() const { return m_verifying; }
    const std::optional<QString> &verifyMessage() const { return m_verifyMessage; }
    static QString verificationMessage(const SyncVerificationResult &result);

    // The folder in use, or the one just chosen; empty when there is none.
    QString folderPath() const { return m_folder; }
    // A folder was chosen that the running sync does not use.
    bool needsRestart() const { return m_folder != m_runningFolder; }
    QString folderText() const;

    void refreshSyncCheck();
    void createSyncTestClip();
    void removeSyncTestClips();
    void verifyNow();
    void chooseFolder();

Q_SIGNALS:
    void changed();

private:
    SyncHealthStore &healthStore() const;

    Dependencies m_deps;
    SyncRoundTrip m_check;
    QString m_runningFolder;
    QString m_folder;
    std::optional<QString> m_probeMessage;
    std::optional<QString> m_verifyMessage;
    bool m_verifying = false;
    int m_revision = 0;
};

} // namespace quillmere
