#pragma once

#include "Quillmere/Settings/SettingsKit.h"

#include <QPlainTextEdit>

namespace quillmere {

// A multi-line pattern editor in the panes' boxed look.
class PatternEditor : public QPlainTextEdit {
    Q_OBJECT
public:
    PatternEditor(int height, QWidget *parent = nullptr);
    // Replaces the text without reporting it as typing.
    void showText(const QString &text);
};

// The capture rules: Ignored Apps and Blocked Content, saved together.
class PrivacyPane : public SettingsSection {
    Q_OBJECT
public:
    explicit PrivacyPane(SettingsViewModel &model, QWidget *parent = nullptr);
    void refresh();

    PatternEditor *appEditor() const { return m_apps; }
    PatternEditor *textEditor() const { return m_texts; }
    SettingsButton *reloadButton() const { return m_reload; }
    SettingsButton *saveButton() const { return m_save; }
    QLabel *messageLabel() const { return m_message; }

private:
    SettingsViewModel &m_model;
    PatternEditor *m_apps;
    PatternEditor *m_texts;
    QLabel *m_message;
    SettingsButton *m_reload;
    SettingsButton *m_save;
};

// The auto-Page rules: one pattern editor per Page.
class AutomationPane : public SettingsSection {
    Q_OBJECT
public:
    explicit AutomationPane(SettingsViewModel &model, QWidget *parent = nullptr);
    // Rebuilds the Page blocks from the editors' current texts.
    void rebuild();

    QList<PatternEditor *> editors() const { return m_editors; }
    QLabel *emptyLabel() const { return m_empty; }
    SettingsButton *reloadButton() const { return m_reload; }
    SettingsButton *saveButton() const { return m_save; }
    QLabel *messageLabel() const { return m_message; }

    // The colour a Page's colour name stands for.
    static QColor pageColour(const QString &name);

private:
    SettingsViewModel &m_model;
    QVBoxLayout *m_blocks;
    QList<PatternEditor *> m_editors;
    QLabel *m_empty;
    QLabel *m_message;
    SettingsButton *m_reload;
    SettingsButton *m_save;
};

} // namespace quillmere
