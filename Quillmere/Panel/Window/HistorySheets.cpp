#include "Quillmere/Panel/Window/HistorySheets.h"

#include "Quillmere/Panel/HistoryViewModel.h"
#include "Quillmere/Panel/Menus/HistoryActions.h"
#include "Quillmere/Platform/Widgets/DialogTitle.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillmere {
namespace {

QLabel *makeErrorLabel(QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setStyleSheet(QStringLiteral("color: #ff453a;"));
    label->setWordWrap(true);
    label->hide();
    return label;
}

QDialogButtonBox *buttons(QDialog *dialog, const QString &actionTitle, const std::function<void()> &action)
{
    auto *box = new QDialogButtonBox(dialog);
    box->addButton(QDialogButtonBox::Cancel);
    QPushButton *commit = box->addButton(actionTitle, QDialogButtonBox::AcceptRole);
    commit->setDefault(true);
    // The action decides whether the dialog closes, so accepted() is not wired to accept().
    QObject::connect(commit, &QPushButton::clicked, dialog, action);
    QObject::connect(box, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return box;
}

} // namespace

// ---- ClipTextSheet ----------------------------------------------------------------------------

ClipTextSheet::ClipTextSheet(const QString &title, const QString &text, const QString &actionTitle, bool multiline,
                             QWidget *parent)
    : QDialog(parent), m_error(makeErrorLabel(this))
{
    setWindowTitle(title);
    auto *column = new QVBoxLayout(this);
    auto *heading = new QLabel(title, this);
    heading->setStyleSheet(QStringLiteral("font-weight: 600;"));
    column->addWidget(heading);
    if (multiline) {
        m_multi = new QPlainTextEdit(text, this);
        m_multi->setMinimumSize(420, 180);
        connect(m_multi, &QPlainTextEdit::textChanged, this, [this] {
            if (onTextChanged)
                onTextChanged(m_multi->toPlainText());
        });
        column->addWidget(m_multi);
    } else {
        m_line = new QLineEdit(text, this);
        m_line->setMinimumWidth(320);
        connect(m_line, &QLineEdit::textChanged, this, [this](const QString &t) {
            if (onTextChanged)
                onTextChanged(t);
        });
        connect(m_line, &QLineEdit::returnPressed, this, &ClipTextSheet::commit);
        column->addWidget(m_line);
    }
    column->addWidget(m_error);
    auto *box = buttons(this, actionTitle, [this] { commit(); });
    m_commit = nullptr;
    for (QAbstractButton *b : box->buttons())
        if (box->buttonRole(b) == QDialogButtonBox::AcceptRole)
            m_commit = static_cast<QPushButton *>(b);
    column->addWidget(box);
}

QString ClipTextSheet::text() const
{
    return m_multi ? m_multi->toPlainText() : m_line->text();
}

void ClipTextSheet::setText(const QString &text)
{
    if (m_multi)
        m_multi->setPlainText(text);
    else
        m_line->setText(text);
}

void ClipTextSheet::commit()
{
    if (onCommit && !onCommit()) {
        m_error->setText(QStringLiteral("The change could not be saved."));
        m_error->show();
        return;
    }
    accept();
}

// ---- ManualNoteSheet --------------------------------------------------------------------------

ManualNoteSheet::ManualNoteSheet(QWidget *parent)
    : QDialog(parent), m_title(new QLineEdit(this)), m_text(new QPlainTextEdit(this))
{
    setWindowTitle(QStringLiteral("New Note"));
    auto *form = new QFormLayout(this);
    m_title->setPlaceholderText(QStringLiteral("Optional"));
    m_text->setMinimumSize(420, 180);
    form->addRow(QStringLiteral("Title"), m_title);
    form->addRow(QStringLiteral("Note"), m_text);
    form->addRow(buttons(this, QStringLiteral("Save"), [this] { save(); }));
}

void ManualNoteSheet::save()
{
    // A refused note keeps what was typed; the reason comes as an alert.
    if (onSave && !onSave(m_title->text(), m_text->toPlainText()))
        return;
    accept();
}

// ---- PinboardLockSetupSheet -------------------------------------------------------------------

PinboardLockSetupSheet::PinboardLockSetupSheet(const QString &boardName, QWidget *parent)
    : QDialog(parent), m_password(new QLineEdit(this)), m_confirmation(new QLineEdit(this)),
      m_error(makeErrorLabel(this))
{
    setWindowTitle(QStringLiteral("Lock Page"));
    auto *form = new QFormLayout(this);
    form->addRow(new QLabel(QStringLiteral("Choose a password for \u201c%1\u201d.").arg(boardName), this));
    m_password->setEchoMode(QLineEdit::Password);
    m_confirmation->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("Password"), m_password);
    form->addRow(QStringLiteral("Confirm"), m_confirmation);
    form->addRow(m_error);
    form->addRow(buttons(this, QStringLiteral("Lock Page"), [this] { save(); }));
    connect(m_confirmation, &QLineEdit::returnPressed, this, &PinboardLockSetupSheet::save);
}

QString PinboardLockSetupSheet::errorText() const
{
    return m_error->isVisible() || !m_error->isHidden() ? m_error->text() : QString();
}

void PinboardLockSetupSheet::showError(const QString &text)
{
    m_error->setText(text);
    m_error->setVisible(!text.isEmpty());
}

void PinboardLockSetupSheet::save()
{
    const QString password = m_password->text();
    if (password.size() < minimumLength)
        return showError(QStringLiteral("Use at least 4 characters."));
    if (password != m_confirmation->text())
        return showError(QStringLiteral("The passwords do not match."));
    const QString error = onSave ? onSave(password) : QString();
    if (!error.isEmpty())
        return showError(error);
    accept();
}

// ---- PinboardUnlockSheet ----------------------------------------------------------------------

PinboardUnlockSheet::PinboardUnlockSheet(const QString &title, const QString &actionTitle, const QString &boardName,
                                         QWidget *parent)
    : QDialog(parent), m_password(new QLineEdit(this)), m_error(makeErrorLabel(this))
{
    setWindowTitle(title);
    auto *form = new QFormLayout(this);
    auto *heading = new QLabel(QStringLiteral("%1 \u2014 %2").arg(title, boardName), this);
    heading->setStyleSheet(QStringLiteral("font-weight: 600;"));
    form->addRow(heading);
    m_password->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("Password"), m_password);
    form->addRow(m_error);
    form->addRow(buttons(this, actionTitle, [this] { submit(); }));
    connect(m_password, &QLineEdit::returnPressed, this, &PinboardUnlockSheet::submit);
    connect(m_password, &QLineEdit::textEdited, m_error, &QLabel::hide);
}

QString PinboardUnlockSheet::errorText() const
{
    return m_error->isHidden() ? QString() : m_error->text();
}

void PinboardUnlockSheet::submit()
{
    if (onSubmit && onSubmit(m_password->text())) {
        accept();
        return;
    }
    m_error->setText(QStringLiteral("Wrong password."));
    m_error->show();
    m_password->clear();
}

// ---- HistoryDialogs ---------------------------------------------------------------------------

HistoryDialogs::HistoryDialogs(HistoryViewModel &model, HistoryActions &actions, QWidget *host)
    : QObject(host), m_model(model), m_actions(actions), m_host(host)
{
    connect(&m_model, &HistoryViewModel::changed, this, &HistoryDialogs::refresh);
}

HistoryDialogs::~HistoryDialogs() = default;

QDialog *HistoryDialogs::current() const
{
    // Alerts come over the sheet they report on.
    for (QDialog *d :
         std::initializer_list<QDialog *>{m_addError, m_clear, m_note, m_lockSetup, m_removeLock, m_rename, m_edit})
        if (d)
            return d;
    return nullptr;
}

template <typename T>
void HistoryDialogs::follow(QPointer<T> &dialog, bool wanted, const std::function<T *()> &make,
                            std::function<void()> dismissed)
{
    if (wanted && !dialog) {
        T *made = make();
        DialogTitle::fit(made);
        made->setAttribute(Qt::WA_DeleteOnClose);
        made->setWindowModality(Qt::WindowModal);
        connect(made, &QDialog::finished, this, [this, dismissed] {
            if (!m_refreshing)
                dismissed();
        });
        dialog = made;
        made->open();
    } else if (!wanted && dialog) {
        m_refreshing = true;
        T *closing = dialog;
        dialog = nullptr;
        closing->close();
        m_refreshing = false;
    }
}

void HistoryDialogs::refresh()
{
    const HistoryViewState &state = m_model.state();
    auto pageName = [this](const std::optional<PersistentIdentifier> &id) {
        const PageSnapshot *page = id ? m_model.lists().findPage(*id) : nullptr;
        return page ? page->displayName() : QStringLiteral("Untitled");
    };
    QPointer<HistoryDialogs> self(this);

    follow<ManualNoteSheet>(
        m_note, state.isShowingManualNoteSheet,
        [this] {
            auto *sheet = new ManualNoteSheet(m_host);
            sheet->onSave = [this](const QString &title, const QString &text) {
                return m_actions.saveManualNote(title, text);
            };
            return sheet;
        },
        [this] { m_model.setShowingManualNoteSheet(false); });

    follow<PinboardLockSetupSheet>(
        m_lockSetup, state.lockSetupBoard.has_value(),
        [&] {
            auto *sheet = new PinboardLockSetupSheet(pageName(state.lockSetupBoard), m_host);
            sheet->onSave = [this](const QString &password) { return m_actions.lockPage(password); };
            return sheet;
        },
        [this] { m_model.setLockSetupBoard(std::nullopt); });

    follow<PinboardUnlockSheet>(
        m_removeLock, state.removeLockBoard.has_value(),
        [&] {
            auto *sheet = new PinboardUnlockSheet(QStringLiteral("Remove Page Lock"), QStringLiteral("Remove Lock"),
                                                  pageName(state.removeLockBoard), m_host);
            sheet->onSubmit = [this](const QString &password) { return m_actions.removePageLock(password); };
            return sheet;
        },
        [this] { m_model.setRemoveLockBoard(std::nullopt); });

    follow<ClipTextSheet>(
        m_rename, state.renamingItem.has_value(),
        [&] {
            auto *sheet = new ClipTextSheet(QStringLiteral("Rename Clip"), state.renameText, QStringLiteral("Save"),
                                            false, m_host);
            sheet->onTextChanged = [this](const QString &text) { m_model.setRenameText(text); };
            sheet->onCommit = [this] { return m_actions.commitRename(); };
            return sheet;
        },
        [this] { m_model.setRenamingItem(std::nullopt, m_model.state().renameText); });

    follow<ClipTextSheet>(
        m_edit, state.editingTextItem.has_value(),
        [&] {
            auto *sheet =
                new ClipTextSheet(QStringLiteral("Edit Text"), state.editText, QStringLiteral("Save"), true, m_host);
            sheet->onTextChanged = [this](const QString &text) { m_model.setEditText(text); };
            sheet->onCommit = [this] { return m_actions.commitTextEdit(); };
            return sheet;
        },
        [this] { m_model.setEditingTextItem(std::nullopt, m_model.state().editText); });

    follow<QMessageBox>(
        m_clear, state.isShowingClearConfirmation,
        [this] {
            auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Clear unsaved history?"),
                                        QStringLiteral("Clear unsaved history?"), QMessageBox::NoButton, m_host);
            box->setInformativeText(
                QStringLiteral("Pinned clips and clips saved to pages are kept. This cannot be undone."));
            QPushButton *clear = box->addButton(QStringLiteral("Clear Unsaved History"), QMessageBox::DestructiveRole);
            box->addButton(QMessageBox::Cancel);
            connect(clear, &QPushButton::clicked, this, [this] { m_actions.clearHistory(); });
            return box;
        },
        [this] { m_model.setShowingClearConfirmation(false); });

    follow<QMessageBox>(
        m_addError, state.isShowingManualAddError,
        [&] {
            QWidget *over = m_host;
            for (QDialog *d : std::initializer_list<QDialog *>{m_note, m_lockSetup, m_removeLock, m_rename, m_edit})
                if (d)
                    over = d;
            auto *box = new QMessageBox(QMessageBox::Warning, state.manualAddErrorTitle, state.manualAddErrorTitle,
                                        QMessageBox::NoButton, over);
            box->setInformativeText(state.manualAddErrorMessage);
            box->addButton(QStringLiteral("OK"), QMessageBox::RejectRole);
            return box;
        },
        [this] { m_model.dismissManualAddError(); });
}

} // namespace quillmere
