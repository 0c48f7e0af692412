#pragma once

#include "Quillmere/Model/Records.h"
#include "Quillmere/Settings/Core/Achievements.h"
#include "Quillmere/Settings/Core/LoginItem.h"
#include "Quillmere/Settings/Core/RuleEditors.h"
#include "Quillmere/Settings/Core/SettingsPane.h"
#include "Quillmere/Settings/Core/SystemAccess.h"

#include <QObject>
#include <QTimer>
#include <optional>
#include <vector>

namespace quillmere {

class ClipStore;
class CloudSyncStatus;
class Preferences;

enum class PillStyle { success, warning, danger, accent, neutral };

struct SyncBadge {
    QString title;
    QString systemImage;
    PillStyle style = PillStyle::neutral;
};

// The state every settings pane shares and what their controls do, with no widget in sight:
// switches and pickers write through at once, the two rule editors wait for their save.
class SettingsViewModel : public QObject {
    Q_OBJECT
public:
    struct Dependencies {
        Preferences *preferences = nullptr;
        ClipStore *store = nullptr;
        CloudSyncStatus *syncStatus = nullptr; // none: the badge says the history is not kept
        SettingsPaneRequests *paneRequests = nullptr;
        LoginItem loginItem;
        SystemAccess access;
        std::optional<QString> shortVersion;
        std::optional<QString> buildVersion;
    };

    static inline const QList<qint64> &historyLimitOptions = AppSettings::offeredHistoryLimits;
    static constexpr int statusRefreshIntervalMs = 2000;

    explicit SettingsViewModel(Dependencies deps, QObject *parent = nullptr);
    ~SettingsViewModel() override;

    ClipStore &store() const { return *m_deps.store; }
    Preferences &preferences() const { return *m_deps.preferences; }
    CloudSyncStatus *syncStatus() const { return m_deps.syncStatus; }

    // ---- Window --------------------------------------------------------------------------
    SettingsPane selectedPane() const { return m_selectedPane; }
    void selectPane(SettingsPane pane);
    // The appear step: the waiting pane request, system status, the open-Page repair, both rule
    // editors. Discards unsaved editor text.
    void loadSettingsState();
    void applyPendingPaneRequest();
    void refreshSystemStatus();
    // The 2-second refresh runs while the window is on screen.
    void setStatusRefreshActive(bool active);
    bool isStatusRefreshActive() const { return m_statusRefresh.isActive(); }
    int settingsRevision() const { return m_settingsRevision; }
    // Something was imported into the store: views built on the old history rebuild.
    void noteImport() { ++m_settingsRevision; }
    SyncBadge syncBadge() const;

    // ---- General -------------------------------------------------------------------------
    bool isCapturePaused() const;
    void setCapturePaused(bool value);
    bool isCopySoundEnabled() const;
    void setCopySoundEnabled(bool value);
    bool autoExpireSensitiveClips() const;
    void setAutoExpireSensitiveClips(bool value);

    // Stored texts as they are, and as the pickers read them (unknown texts read as the default).
    QString panelOpenBehaviorRawValue() const;
    QString panelOpenPageID() const;
    QString panelWidthModeRawValue() const;
    QString panelWidthSelection() const;
    QString panelOpenSelection() const;
    // The stored Page when it names one, else the first Page, else empty. Never writes.
    QString defaultPageSelection() const;
    void setPanelWidthMode(const QString &raw);
    void setPanelOpenBehavior(const QString &raw);
    void setPanelOpenPageID(const QString &pageID);
    // Repairs an unknown behaviour and a Page id that names no Page, and writes the repair back.
    void normalizePanelOpenSelection();

    std::vector<PageRef> pages() const;
    qint64 historyLimit() const;
    void setHistoryLimit(qint64 limit);
    // No limit was ever chosen, so nothing is pruned.
    bool showsPruningNote() const;

    bool launchAtLogin() const { return m_loginItemStatus == LoginItem::Status::enabled; }
    LoginItem::Status loginItemStatus() const { return m_loginItemStatus; }
    const std::optional<QString> &launchAtLoginError() const { return m_launchAtLoginError; }
    void setLaunchAtLogin(bool value);

    // ---- Permissions ---------------------------------------------------------------------
    ScreenCapturePermissionState screenCapturePermissionState() const { return m_screenCapture; }
    bool isAccessibilityTrusted() const { return m_accessibilityTrusted; }
    std::optional<PasteboardAccessState> pasteboardAccess() const { return m_pasteboardAccess; }
    // What the desktop said when asked for a settings page it does not have.
    const std::optional<QString> &permissionNote() const { return m_permissionNote; }
    void requestScreenCaptureAccess();
    void requestAccessibilityTrust();
    void openClipboardSettings();

    // ---- Privacy and Automation ----------------------------------------------------------
    PrivacyRulesEditor &privacyRules() { return m_privacy; }
    AutoPageRulesEditor &autoPageRules() { return m_autoPages; }
    void loadPrivacyRules();
    void savePrivacyRules();
    void loadAutoPageRules();
    void saveAutoPageRules();
    std::vector<QUuid> pageIdentifiers() const;

    // ---- The window's confirmation and alerts, asked for by the panes -----------------------
    bool isShowingClearConfirmation() const { return m_showingClearConfirmation; }
    void askToClearHistory();
    // "Clear Unsaved History" clears; "Cancel" does nothing more than close.
    void answerClearConfirmation(bool clear);
    bool isShowingBackupResult() const { return m_showingBackupResult; }
    const std::optional<QString> &backupResultMessage() const { return m_backupResultMessage; }
    void showBackupResult(const QString &message);
    void dismissBackupResult();
    bool isShowingBackupError() const { return m_showingBackupError; }
    const std::optional<QString> &backupErrorMessage() const { return m_backupErrorMessage; }
    void showBackupError(const QString &message);
    void dismissBackupError();

    // ---- Progress and About --------------------------------------------------------------
    std::vector<ClipAchievement> achievements() const;
    QString versionText() const;
    static QString versionText(const std::optional<QString> &shortVersion, const std::optional<QString> &build);

Q_SIGNALS:
    void selectedPaneChanged(SettingsPane pane);
    void generalChanged();
    void permissionsChanged();
    void privacyRulesChanged();
    // The editors were reloaded or saved (not on typing).
    void autoPageRulesChanged();
    // Clips or Pages changed in the store.
    void historyChanged();
    void alertsChanged();

private:
    void storeDidSave();
    void preferenceChanged(const QString &key);
    ScreenCapturePermissionState deriveScreenCaptureState() const;
    bool setIfChanged(bool &field, bool value);

    Dependencies m_deps;
    SettingsPane m_selectedPane = SettingsPane::general;
    LoginItem::Status m_loginItemStatus = LoginItem::Status::notRegistered;
    std::optional<QString> m_launchAtLoginError;
    ScreenCapturePermissionState m_screenCapture = ScreenCapturePermissionState::firstUse;
    bool m_accessibilityTrusted = false;
    std::optional<PasteboardAccessState> m_pasteboardAccess;
    std::optional<QString> m_permissionNote;
    PrivacyRulesEditor m_privacy;
    AutoPageRulesEditor m_autoPages;
    std::vector<QUuid> m_knownPageIDs;
    int m_settingsRevision = 0;
    bool m_showingClearConfirmation = false;
    bool m_showingBackupResult = false;
    bool m_showingBackupError = false;
    std::optional<QString> m_backupResultMessage;
    std::optional<QString> m_backupErrorMessage;
    QTimer m_statusRefresh;
};

} // namespace quillmere
