#pragma once

#include "Quillmere/Settings/Core/DataActions.h"
#include "Quillmere/Settings/Core/SettingsViewModel.h"
#include "Quillmere/Settings/Core/ShortcutRecording.h"
#include "Quillmere/Settings/Core/SyncActions.h"
#include "Quillmere/Settings/StorageDashboard.h"

#include "Quillmere/Capture/CaptureShortcuts.h"

#include <QPointer>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>

class QMessageBox;
class QNetworkAccessManager;
class QScrollArea;
class QVBoxLayout;

namespace quillmere {

class NotificationCenter;
class Pasteboard;
class PasteboardWriter;
class SecretStore;
class SidebarItemButton;
class StatusPill;

// The settings window: a sidebar of panes beside a scrolling detail area, in a fixed dark look.
// Each opening runs the appear step again, and the status refresh runs while it is on screen.
class SettingsWindow : public QWidget {
    Q_OBJECT
public:
    struct Dependencies {
        Preferences *preferences = nullptr;
        ClipStore *store = nullptr;
        CloudSyncStatus *syncStatus = nullptr;
        SettingsPaneRequests *paneRequests = nullptr;
        // Whether keys can be sent to other windows (XTest).
        std::function<bool()> pasteKeysAvailable;
        // The hot keys' Carbon-to-keysym table, for shortcut recorders.
        ShortcutRecording::KeysymTable keysyms;
        // Lets go of the program's hot keys while a shortcut recorder waits for keys.
        ShortcutRecording::HotKeySuspension suspendHotKeys;
        std::optional<QString> shortVersion;
        std::optional<QString> buildVersion;
        LoginItem loginItem;
        // Tests answer for the desktop; otherwise the X display does.
        std::optional<SystemAccess> access;
        // The Data pane's file dialogs; none: the desktop's own.
        std::optional<DataActions::Interaction> dataInteraction;
        // The Sync pane's facts and the round trip; see SyncActions (its health store is
        // required). The folder dialog is filled in when left empty.
        SyncActions::Dependencies sync;
        // The Capture pane's. Capture hot keys are registered again on a notice posted here
        // (none: the pane requests' centre; one of the two is required).
        NotificationCenter *center = nullptr;
        // Whether the X server refused an action's shortcut because another program holds it.
        std::function<bool(CaptureAction)> isCaptureShortcutRefused;
        // Where the upload secret and the managed service's token live; none: the desktop's keyring.
        SecretStore *secrets = nullptr;
        // The test upload's link goes here; none: the desktop's clipboard.
        Pasteboard *pasteboard = nullptr;
        QNetworkAccessManager *network = nullptr;
        // The managed service's base URL; none: this build's.
        std::optional<QVariantMap> cloudInfo;
        // Tests only: the managed service over plain http on this machine.
        bool cloudOverLoopbackHttp = false;
    };

    static constexpr int windowWidth = 760;
    static constexpr int windowHeight = 600;

    explicit SettingsWindow(Dependencies deps, QWidget *parent = nullptr);
    ~SettingsWindow() override;

    SettingsViewModel &model() const { return *m_model; }
    DataActions &dataActions() const { return *m_data; }
    SyncActions &syncActions() const { return *m_sync; }
    // The "Stats & Storage" sheet while it is open.
    StorageDashboard *storageDashboard() const { return m_dashboard; }
    const ShortcutRecording::KeysymTable &keysyms() const { return m_keysyms; }
    // Shows the window in front, where the desktop lets it.
    void showAndActivate();

    SidebarItemButton *sidebarButton(SettingsPane pane) const;
    // The pane on display.
    QWidget *detail() const { return m_detail; }
    StatusPill *syncPill() const { return m_syncPill; }
    // The confirmation or alert on screen, if any.
    QMessageBox *openAlert() const;

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QWidget *makeSidebar();
    void showPane(SettingsPane pane);
    void presentAlerts();
    void presentStorageDashboard();
    QMessageBox *makeAlert(const QString &title, const QString &message);

    std::unique_ptr<SettingsViewModel> m_model;
    std::unique_ptr<DataActions> m_data;
    std::unique_ptr<SyncActions> m_sync;
    struct CaptureServices;
    std::unique_ptr<CaptureServices> m_capture;
    QPointer<StorageDashboard> m_dashboard;
    ShortcutRecording::KeysymTable m_keysyms;
    ShortcutRecording::HotKeySuspension m_suspendHotKeys;
    std::map<SettingsPane, SidebarItemButton *> m_sidebarButtons;
    StatusPill *m_syncPill = nullptr;
    QScrollArea *m_scroll = nullptr;
    QVBoxLayout *m_detailColumn = nullptr;
    QPointer<QWidget> m_detail;
    QPointer<QMessageBox> m_clearConfirmation;
    QPointer<QMessageBox> m_resultAlert;
    QPointer<QMessageBox> m_errorAlert;
};

} // namespace quillmere
