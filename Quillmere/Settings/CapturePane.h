#pragma once

#include "Quillmere/Capture/Upload/ManagedCloudSetup.h"
#include "Quillmere/Settings/Core/CaptureSettingsModel.h"
#include "Quillmere/Settings/Core/ShortcutRecording.h"
#include "Quillmere/Settings/SettingsKit.h"

#include <QWidget>
#include <map>

namespace quillmere {

class AsyncSecretStore;
class ShareUploadSection;
class ManagedCloudSetupView;
class ShortcutRecorderView;

// The Capture page of the settings window: the capture card with a shortcut per action and the
// after-capture choices, a footnote on shortcuts the desktop keeps, the share-upload card and
// the managed service's block.
class CapturePane : public QWidget {
    Q_OBJECT
public:
    struct Dependencies {
        CaptureSettingsModel::Dependencies capture;
        AsyncSecretStore *keyring = nullptr;
        ShortcutRecording::KeysymTable keysyms;
        ShortcutRecording::HotKeySuspension suspendHotKeys;
        ManagedCloudSetup::Dependencies cloud;
    };

    static inline const QString footnote = QStringLiteral(
        "A shortcut your desktop or another program already uses stays with it; its row then says so. Free it in "
        "the desktop's keyboard settings, or choose another.");

    explicit CapturePane(Dependencies deps, QWidget *parent = nullptr);

    CaptureSettingsModel &model() const { return *m_model; }
    SettingsSection *captureCard() const { return m_card; }
    SettingsRow *shortcutRow(CaptureAction action) const { return m_rows.at(action); }
    ShortcutRecorderView *recorder(CaptureAction action) const { return m_recorders.at(action); }
    SettingsRow *afterScreenshotRow() const { return m_afterRow; }
    MenuPicker *outputPicker() const { return m_output; }
    MenuPicker *positionPicker() const { return m_position; }
    SwitchToggle *toastSwitch() const { return m_toast; }
    // Shown only while some actions conflict.
    MessageRow *conflictRow() const { return m_conflict; }
    ShareUploadSection *shareSection() const { return m_share; }
    // Only in a build that has a managed service.
    ManagedCloudSetupView *cloudView() const { return m_cloud; }

    void refresh();

private:
    std::unique_ptr<CaptureSettingsModel> m_model;
    SettingsSection *m_card;
    std::map<CaptureAction, SettingsRow *> m_rows;
    std::map<CaptureAction, ShortcutRecorderView *> m_recorders;
    SettingsRow *m_afterRow;
    MenuPicker *m_output;
    MenuPicker *m_position;
    SwitchToggle *m_toast;
    QWidget *m_conflictDivider;
    MessageRow *m_conflict;
    ShareUploadSection *m_share;
    ManagedCloudSetupView *m_cloud = nullptr;
};

} // namespace quillmere
