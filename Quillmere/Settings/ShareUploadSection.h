#pragma once

#include "Quillmere/Capture/Upload/ManagedCloudSetup.h"
#include "Quillmere/Settings/Core/ShareUploadSettings.h"
#include "Quillmere/Settings/SettingsKit.h"

#include <QLineEdit>
#include <map>
#include <memory>

namespace quillmere {

class GlyphView;

// The "Share links (advanced)" card: the upload destination, then the own bucket's fields,
// read-only until Edit, with Save and Cancel in the status bar.
class ShareUploadSection : public SettingsSection {
    Q_OBJECT
public:
    using Field = ShareUploadSettings::Field;
    static inline const QString secretBullets = QString(16, QChar(0x2022));

    // Without a managed service in the build, own storage is the only destination and no choice is shown.
    ShareUploadSection(Preferences &preferences, AsyncSecretStore &keyring, bool managedServiceBuilt,
                       QWidget *parent = nullptr);

    ShareUploadSettings &settings() const { return *m_settings; }
    SettingsRow *destinationRow() const { return m_destinationRow; }
    MenuPicker *destinationPicker() const { return m_destination; }
    QLineEdit *editor(Field field) const { return m_editors.at(field); }
    // The value shown read-only.
    QString shownValue(Field field) const;
    QWidget *readOnlyRow(Field field) const { return m_readOnly.at(field).row; }
    MessageRow *errorRow() const { return m_error; }
    MessageRow *noSecretServiceRow() const { return m_noService; }
    QLabel *statusText() const { return m_statusText; }
    SettingsButton *editButton() const { return m_edit; }
    SettingsButton *saveButton() const { return m_save; }
    SettingsButton *cancelButton() const { return m_cancel; }
    // Stops waiting on the keyring; shown only while it is waited on.
    SettingsButton *stopWaitingButton() const { return m_stopWaiting; }

    void refresh();

protected:
    void showEvent(QShowEvent *event) override;

private:
    struct ReadOnlyRow {
        QWidget *row = nullptr;
        QLabel *value = nullptr;
    };

    std::unique_ptr<ShareUploadSettings> m_settings;
    SettingsRow *m_destinationRow;
    MenuPicker *m_destination;
    std::map<Field, QLineEdit *> m_editors;
    std::map<Field, QWidget *> m_editorRows;
    std::map<Field, ReadOnlyRow> m_readOnly;
    QWidget *m_errorDivider;
    MessageRow *m_error;
    QWidget *m_noServiceDivider;
    MessageRow *m_noService;
    GlyphView *m_lock;
    QLabel *m_statusText;
    SettingsButton *m_edit;
    SettingsButton *m_save;
    SettingsButton *m_cancel;
    SettingsButton *m_stopWaiting;
    bool m_shownOnce = false;
};

// The managed service's block: make it the destination, or send a test image through it and
// put the link on the clipboard.
class ManagedCloudSetupView : public SettingsSection {
    Q_OBJECT
public:
    explicit ManagedCloudSetupView(ManagedCloudSetup::Dependencies deps, QWidget *parent = nullptr);

    ManagedCloudSetup &setup() const { return *m_setup; }
    SettingsButton *useButton() const { return m_use; }
    SettingsButton *testButton() const { return m_test; }
    QLabel *confirmationLabel() const { return m_confirmation; }
    QWidget *testingRow() const { return m_testing; }
    QLabel *successLabel() const { return m_success; }
    MessageRow *failureRow() const { return m_failure; }

    void refresh();

private:
    std::unique_ptr<ManagedCloudSetup> m_setup;
    SettingsButton *m_use;
    SettingsButton *m_test;
    QWidget *m_statusArea;
    QLabel *m_confirmation;
    QWidget *m_testing;
    QLabel *m_success;
    MessageRow *m_failure;
};

} // namespace quillmere
