#pragma once

#include "Quillmere/Settings/SettingsKit.h"

namespace quillmere {

class ShortcutRecorderView;

// The detail content of each pane. Every pane reads and writes the shared view-model and
// follows its signals; none keeps state of its own.

class GeneralPane : public SettingsSection {
    Q_OBJECT
public:
    explicit GeneralPane(SettingsViewModel &model, QWidget *parent = nullptr);
    void refresh();

    SwitchToggle *launchSwitch() const { return m_launch; }
    SwitchToggle *pauseSwitch() const { return m_pause; }
    SwitchToggle *copySoundSwitch() const { return m_copySound; }
    SwitchToggle *autoExpireSwitch() const { return m_autoExpire; }
    MenuPicker *widthPicker() const { return m_width; }
    MenuPicker *openPicker() const { return m_open; }
    MenuPicker *defaultPagePicker() const { return m_defaultPage; }
    MenuPicker *historyPicker() const { return m_history; }
    SettingsRow *launchRow() const { return m_launchRow; }
    SettingsRow *defaultPageRow() const { return m_defaultPageRow; }
    MessageRow *launchErrorRow() const { return m_launchError; }
    MessageRow *pruningNote() const { return m_pruningNote; }

private:
    SettingsViewModel &m_model;
    SettingsRow *m_launchRow;
    SwitchToggle *m_launch;
    MessageRow *m_launchError;
    QWidget *m_launchErrorDivider;
    MenuPicker *m_width;
    MenuPicker *m_open;
    SettingsRow *m_defaultPageRow;
    QWidget *m_defaultPageDivider;
    MenuPicker *m_defaultPage;
    SwitchToggle *m_pause;
    SwitchToggle *m_copySound;
    SwitchToggle *m_autoExpire;
    MenuPicker *m_history;
    MessageRow *m_pruningNote;
    QWidget *m_pruningDivider;
};

class PermissionsPane : public SettingsSection {
    Q_OBJECT
public:
    explicit PermissionsPane(SettingsViewModel &model, QWidget *parent = nullptr);
    void refresh();

    SettingsRow *screenRow() const { return m_screen.row; }
    SettingsRow *accessibilityRow() const { return m_accessibility.row; }
    SettingsRow *clipboardRow() const { return m_clipboard.row; }
    SettingsButton *screenButton() const { return m_screen.button; }
    SettingsButton *accessibilityButton() const { return m_accessibility.button; }
    SettingsButton *clipboardButton() const { return m_clipboard.button; }
    StatusPill *screenPill() const { return m_screen.pill; }
    MessageRow *note() const { return m_note; }

private:
    struct PermissionRow {
        SettingsRow *row = nullptr;
        StatusPill *pill = nullptr;
        SettingsButton *button = nullptr;
    };
    PermissionRow makeRow(const QString &title, const QString &symbol, const QString &pillTitle);

    SettingsViewModel &m_model;
    PermissionRow m_screen;
    PermissionRow m_accessibility;
    PermissionRow m_clipboard;
    QWidget *m_clipboardDivider;
    MessageRow *m_note;
    QWidget *m_noteDivider;
};

class ProgressPane : public SettingsSection {
    Q_OBJECT
public:
    explicit ProgressPane(SettingsViewModel &model, QWidget *parent = nullptr);
    // Recomputed from the store each time it is drawn anew.
    void refresh();
    QString countText() const { return m_count->text(); }
    QList<AchievementRow *> rows() const;

protected:
    void showEvent(QShowEvent *event) override;

private:
    SettingsViewModel &m_model;
    QLabel *m_count;
    AccentProgressBar *m_bar;
    QVBoxLayout *m_rows;
};

SettingsSection *makeAboutPane(SettingsViewModel &model, QWidget *parent = nullptr);

// The panel hot key as this desktop names it.
QString panelHotKeyText();

} // namespace quillmere
