#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <functional>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace quillmere {

class HistoryActions;
class HistoryViewModel;

// One text to edit and a commit button ("Rename Clip", "Edit Text"). The commit closes the
// sheet only when `onCommit` says the text was saved; otherwise the text stays for another try.
class ClipTextSheet : public QDialog {
    Q_OBJECT
public:
    ClipTextSheet(const QString &title, const QString &text, const QString &actionTitle, bool multiline,
                  QWidget *parent = nullptr);

    std::function<void(const QString &)> onTextChanged;
    std::function<bool()> onCommit;

    QString text() const;
    void setText(const QString &text);
    QLabel *errorLabel() const { return m_error; }
    QPushButton *commitButton() const { return m_commit; }
    void commit();

private:
    QLineEdit *m_line = nullptr;
    QPlainTextEdit *m_multi = nullptr;
    QLabel *m_error;
    QPushButton *m_commit;
};

// A new note: an optional title and the text. "Save" hands both to `onSave`, which says whether
// the sheet may close.
class ManualNoteSheet : public QDialog {
    Q_OBJECT
public:
    explicit ManualNoteSheet(QWidget *parent = nullptr);
    std::function<bool(const QString &title, const QString &text)> onSave;

    QLineEdit *titleField() const { return m_title; }
    QPlainTextEdit *textField() const { return m_text; }
    void save();

private:
    QLineEdit *m_title;
    QPlainTextEdit *m_text;
};

// A password and its confirmation for a Page's new lock. Checks length and match itself, then
// `onSave` gives the store's answer: empty closes, anything else is shown.
class PinboardLockSetupSheet : public QDialog {
    Q_OBJECT
public:
    static constexpr int minimumLength = 4;

    explicit PinboardLockSetupSheet(const QString &boardName, QWidget *parent = nullptr);
    std::function<QString(const QString &password)> onSave;

    QLineEdit *passwordField() const { return m_password; }
    QLineEdit *confirmationField() const { return m_confirmation; }
    QString errorText() const;
    void save();

private:
    void showError(const QString &text);
    QLineEdit *m_password;
    QLineEdit *m_confirmation;
    QLabel *m_error;
};

// A password asked for one Page; "Wrong password." when `onSubmit` refuses it.
class PinboardUnlockSheet : public QDialog {
    Q_OBJECT
public:
    PinboardUnlockSheet(const QString &title, const QString &actionTitle, const QString &boardName,
                        QWidget *parent = nullptr);
    std::function<bool(const QString &password)> onSubmit;

    QLineEdit *passwordField() const { return m_password; }
    QString errorText() const;
    void submit();

private:
    QLineEdit *m_password;
    QLabel *m_error;
};

// Opens and closes the history view's dialogs as its state asks, and clears that state when
// the user closes one. Every dialog is window-modal over the panel.
class HistoryDialogs : public QObject {
    Q_OBJECT
public:
    HistoryDialogs(HistoryViewModel &model, HistoryActions &actions, QWidget *host);
    ~HistoryDialogs() override;

    void refresh();
    QMessageBox *clearConfirmation() const { return m_clear; }
    QMessageBox *addError() const { return m_addError; }
    ManualNoteSheet *noteSheet() const { return m_note; }
    PinboardLockSetupSheet *lockSetupSheet() const { return m_lockSetup; }
    PinboardUnlockSheet *removeLockSheet() const { return m_removeLock; }
    ClipTextSheet *renameSheet() const { return m_rename; }
    ClipTextSheet *editSheet() const { return m_edit; }
    // The dialog in front, if any.
    QDialog *current() const;

private:
    template <typename T>
    void follow(QPointer<T> &dialog, bool wanted, const std::function<T *()> &make, std::function<void()> dismissed);

    HistoryViewModel &m_model;
    HistoryActions &m_actions;
    QWidget *m_host;
    QPointer<QMessageBox> m_clear;
    QPointer<QMessageBox> m_addError;
    QPointer<ManualNoteSheet> m_note;
    QPointer<PinboardLockSetupSheet> m_lockSetup;
    QPointer<PinboardUnlockSheet> m_removeLock;
    QPointer<ClipTextSheet> m_rename;
    QPointer<ClipTextSheet> m_edit;
    bool m_refreshing = false;
};

} // namespace quillmere
