#include "Quillmere/Settings/ShareUploadSection.h"

#include "Quillmere/Settings/Glyphs.h"
#include "Quillmere/Settings/SettingsPalette.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QTimer>

namespace quillmere {

namespace P = SettingsPalette;

namespace {

class Fill : public QWidget {
public:
    Fill(QColor colour, QWidget *parent) : QWidget(parent), m_colour(colour) {}

protected:
    void paintEvent(QPaintEvent *) override { QPainter(this).fillRect(rect(), m_colour); }

private:
    QColor m_colour;
};

// The fill under every field row and the status bar.
class RowFill : public Fill {
public:
    explicit RowFill(QWidget *parent) : Fill(P::withOpacity(P::raisedBackground(), 0.45), parent) {}
};

// Text cut in the middle to at most `lines` lines, so that both ends of a long value stay in
// view. text() keeps the whole text.
class MiddleElidedLabel : public QLabel {
public:
    MiddleElidedLabel(int lines, QWidget *parent) : QLabel(parent), m_lines(lines)
    {
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    }
    QSize sizeHint() const override { return {80, m_lines * fontMetrics().lineSpacing()}; }
    QSize minimumSizeHint() const override { return {20, sizeHint().height()}; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setPen(palette().color(QPalette::WindowText));
        const QFontMetrics fm = fontMetrics();
        // Wrapping anywhere loses up to one character per line; leave room for it.
        const int budget = m_lines * width() - (m_lines - 1) * fm.maxWidth();
        p.drawText(rect(), Qt::AlignLeft | Qt::AlignTop | Qt::TextWrapAnywhere,
                   fm.elidedText(text(), Qt::ElideMiddle, std::max(budget, 10)));
    }

private:
    int m_lines;
};

// A small indeterminate progress indicator.
class BusySpinner : public QWidget {
public:
    explicit BusySpinner(QWidget *parent) : QWidget(parent)
    {
        setFixedSize(14, 14);
        m_timer.setInterval(40);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            m_angle = (m_angle + 24) % 360;
            update();
        });
    }

protected:
    void showEvent(QShowEvent *) override { m_timer.start(); }
    void hideEvent(QHideEvent *) override { m_timer.stop(); }
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF box = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
        p.setPen(QPen(P::white(0.15), 2));
        p.drawEllipse(box);
        p.setPen(QPen(P::secondaryText(), 2, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(box, -m_angle * 16, 100 * 16);
    }

private:
    QTimer m_timer;
    int m_angle = 0;
};

struct FieldSpec {
    ShareUploadSettings::Field field;
    QString label;
    QString placeholder;
};

const QList<FieldSpec> &fieldSpecs()
{
    using F = ShareUploadSettings::Field;
    static const QList<FieldSpec> specs{
        {F::endpointHost, QStringLiteral("Endpoint host"), QStringLiteral("bucket.s3.example.com")},
        {F::region, QStringLiteral("Region"), QStringLiteral("auto")},
        {F::keyPrefix, QStringLiteral("Key prefix"), QStringLiteral("captures/")},
        {F::publicBaseURL, QStringLiteral("Public base URL"), QStringLiteral("https://share.example.com")},
        {F::accessKeyID, QStringLiteral("Access key ID"), QStringLiteral("AKID…")},
        {F::secret, QStringLiteral("Secret access key"), QStringLiteral("stored in the keyring")},
    };
    return specs;
}

} // namespace

ShareUploadSection::ShareUploadSection(Preferences &preferences, AsyncSecretStore &keyring, bool managedServiceBuilt,
                                       QWidget *parent)
    : SettingsSection(QStringLiteral("Share links (advanced)"), QStringLiteral("link"), parent),
      m_settings(std::make_unique<ShareUploadSettings>(preferences, keyring, managedServiceBuilt))
{
    QVBoxLayout *rows = content();

    m_destination = new MenuPicker(160, this);
    QList<std::pair<QString, QVariant>> destinations;
    for (ShareStorageProvider provider : allShareStorageProviders(managedServiceBuilt))
        destinations.append({menuLabel(provider), rawValue(provider)});
    m_destination->setEntries(destinations);
    connect(m_destination, &MenuPicker::picked, this, [this](const QVariant &value) {
        if (const auto provider = shareStorageProviderFromRaw(value.toString()))
            m_settings->setProvider(*provider);
    });
    m_destinationRow = new SettingsRow(QStringLiteral("Upload destination"), {}, {}, m_destination, this);
    rows->addWidget(m_destinationRow);
    auto *destinationDivider = new SettingsDivider(this);
    rows->addWidget(destinationDivider);
    // A choice of one is no choice.
    m_destinationRow->setVisible(managedServiceBuilt);
    destinationDivider->setVisible(managedServiceBuilt);

    bool first = true;
    for (const FieldSpec &entry : fieldSpecs()) {
        if (!first)
            rows->addWidget(new SettingsDivider(this));
        first = false;

        auto *editRow = new RowFill(this);
        auto *line = new QHBoxLayout(editRow);
        line->setContentsMargins(14, 10, 14, 10);
        line->setSpacing(12);
        QLabel *label = makeLabel(entry.label, 12.5, QFont::Medium, P::secondaryText(), false, editRow);
        label->setFixedWidth(130);
        line->addWidget(label, 0, Qt::AlignVCenter);
        auto *editor = new QLineEdit(editRow);
        editor->setFrame(false);
        editor->setFont(P::font(12.5));
        editor->setPlaceholderText(entry.placeholder);
        editor->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; color: rgba(255,255,255,235); }"));
        if (entry.field == Field::secret)
            editor->setEchoMode(QLineEdit::Password);
        // Return lets go of the field and does nothing else.
        connect(editor, &QLineEdit::returnPressed, editor, [editor] { editor->clearFocus(); });
        const Field field = entry.field;
        connect(editor, &QLineEdit::textEdited, this,
                [this, field](const QString &text) { m_settings->setField(field, text); });
        line->addWidget(editor, 1);
        m_editors[field] = editor;
        m_editorRows[field] = editRow;
        rows->addWidget(editRow);

        auto *showRow = new RowFill(this);
        auto *stack = new QVBoxLayout(showRow);
        stack->setContentsMargins(14, 9, 14, 9);
        stack->setSpacing(4);
        stack->addWidget(makeLabel(entry.label, 10.5, QFont::DemiBold, P::tertiaryText(), false, showRow));
        auto *value = new MiddleElidedLabel(1, showRow);
        value->setFont(P::font(12.5, QFont::Medium, true));
        setLabelColour(value, P::primaryText());
        stack->addWidget(value);
        m_readOnly[field] = {showRow, value};
        rows->addWidget(showRow);
    }

    m_noServiceDivider = new SettingsDivider(this);
    rows->addWidget(m_noServiceDivider);
    m_noService = new MessageRow(ShareUploadSettings::noSecretServiceMessage,
                                 QStringLiteral("exclamationmark.triangle.fill"), MessageRow::Role::warning, this);
    rows->addWidget(m_noService);
    m_errorDivider = new SettingsDivider(this);
    rows->addWidget(m_errorDivider);
    m_error = new MessageRow({}, QStringLiteral("exclamationmark.triangle.fill"), MessageRow::Role::info, this);
    rows->addWidget(m_error);
    rows->addWidget(new SettingsDivider(this));
    rows->addWidget(new MessageRow(QStringLiteral("Click Upload to send a capture. Its public link is copied "
                                                  "automatically with a distinct completion sound."),
                                   QStringLiteral("hand.raised.fill"), MessageRow::Role::info, this));
    rows->addWidget(new SettingsDivider(this));

    auto *bar = new RowFill(this);
    auto *status = new QHBoxLayout(bar);
    status->setContentsMargins(14, 10, 14, 10);
    status->setSpacing(10);
    m_lock = new GlyphView(QStringLiteral("lock.fill"), 12, P::success(), {16, 16}, bar);
    status->addWidget(m_lock, 0, Qt::AlignVCenter);
    m_statusText = makeLabel({}, 12.5, QFont::DemiBold, P::primaryText(), false, bar);
    status->addWidget(m_statusText, 0, Qt::AlignVCenter);
    status->addStretch(1);
    m_cancel = new SettingsButton(QStringLiteral("Cancel"), SettingsButton::Kind::normal, bar);
    m_save = new SettingsButton(QStringLiteral("Save"), SettingsButton::Kind::prominent, bar);
    m_edit = new SettingsButton(QStringLiteral("Edit"), SettingsButton::Kind::normal, bar);
    m_stopWaiting = new SettingsButton(QStringLiteral("Cancel"), SettingsButton::Kind::normal, bar);
    m_stopWaiting->setAccessibleName(QStringLiteral("Stop waiting for the keyring"));
    for (SettingsButton *button : {m_stopWaiting, m_cancel, m_save, m_edit})
        status->addWidget(button, 0, Qt::AlignVCenter);
    auto dropFocus = [this] {
        if (QWidget *focused = focusWidget(); focused && isAncestorOf(focused))
            focused->clearFocus();
    };
    connect(m_edit, &QAbstractButton::clicked, this, [this] { m_settings->beginEditing(); });
    connect(m_stopWaiting, &QAbstractButton::clicked, this, [this] { m_settings->cancelWaiting(); });
    connect(m_cancel, &QAbstractButton::clicked, this, [this, dropFocus] {
        dropFocus();
        m_settings->cancelEditing();
    });
    connect(m_save, &QAbstractButton::clicked, this, [this, dropFocus] {
        dropFocus();
        m_settings->save();
    });
    rows->addWidget(bar);

    connect(m_settings.get(), &ShareUploadSettings::changed, this, &ShareUploadSection::refresh);
    refresh();
}

void ShareUploadSection::showEvent(QShowEvent *event)
{
    SettingsSection::showEvent(event);
    // Built with the pane, which asked already; a window shown again asks again.
    if (m_shownOnce)
        m_settings->recheckKeyring();
    m_shownOnce = true;
}

QString ShareUploadSection::shownValue(Field field) const
{
    return m_readOnly.at(field).value->text();
}

void ShareUploadSection::refresh()
{
    const ShareUploadSettings &s = *m_settings;
    const ShareStorageProvider provider = s.provider();
    m_destination->select(rawValue(provider));
    m_destinationRow->setSubtitle(destinationSubtitle(provider));
    m_destinationRow->setSystemImage(symbolName(provider));

    const bool editing = s.isEditing();
    for (const FieldSpec &entry : fieldSpecs()) {
        QLineEdit *editor = m_editors[entry.field];
        // Only text that differs is put back, so typing keeps its cursor.
        if (editor->text() != s.field(entry.field))
            editor->setText(s.field(entry.field));
        m_editorRows[entry.field]->setVisible(editing);
        const ReadOnlyRow &shown = m_readOnly[entry.field];
        const bool secret = entry.field == Field::secret;
        shown.value->setText(secret ? secretBullets : s.savedField(entry.field));
        const QString detail = secret ? QStringLiteral("Stored securely in the keyring") : s.savedField(entry.field);
        shown.value->setToolTip(detail);
        shown.value->setAccessibleName(entry.label + QStringLiteral(": ") + detail);
        shown.row->setVisible(!editing);
    }

    const bool noService = !s.isSecretServiceAvailable();
    m_noService->setVisible(noService);
    m_noServiceDivider->setVisible(noService);
    const bool failed = s.saveError().has_value();
    m_error->setMessage(s.saveError().value_or(QString()));
    m_error->setVisible(failed);
    m_errorDivider->setVisible(failed);

    const bool waiting = s.isWaitingForKeyring();
    m_lock->setName(editing || waiting ? QStringLiteral("lock.open") : QStringLiteral("lock.fill"));
    m_lock->setColour(editing || waiting ? P::secondaryText() : P::success());
    m_statusText->setText(waiting       ? ShareUploadSettings::waitingMessage
                              : editing ? QStringLiteral("Editing configuration")
                                        : QStringLiteral("Saved securely"));
    m_stopWaiting->setVisible(waiting);
    m_cancel->setVisible(!waiting && editing && s.hasSavedConfiguration());
    m_save->setVisible(!waiting && editing);
    m_save->setEnabled(s.canSave());
    m_edit->setVisible(!waiting && !editing);
}

// ---- The managed service -------------------------------------------------------------------------

ManagedCloudSetupView::ManagedCloudSetupView(ManagedCloudSetup::Dependencies deps, QWidget *parent)
    : SettingsSection(QStringLiteral("Brindlewax Cloud"), QStringLiteral("cloud.fill"), parent),
      m_setup(std::make_unique<ManagedCloudSetup>(std::move(deps)))
{
    content()->addWidget(new SettingsRow(QStringLiteral("Brindlewax Cloud"),
                                         QStringLiteral("Share captures by link from private storage managed for you."),
                                         QStringLiteral("cloud.fill"), nullptr, this));
    // The two actions under the row, where their titles fit beside each other.
    auto *buttons = new Fill(P::rowBackground(), this);
    auto *pair = new QHBoxLayout(buttons);
    pair->setContentsMargins(14, 0, 14, 12);
    pair->setSpacing(8);
    pair->addStretch(1);
    m_use = new SettingsButton(QStringLiteral("Use for Screenshot Links"), SettingsButton::Kind::normal, buttons);
    m_test = new SettingsButton(QStringLiteral("Test Upload"), SettingsButton::Kind::normal, buttons);
    pair->addWidget(m_use);
    pair->addWidget(m_test);
    content()->addWidget(buttons);
    connect(m_use, &QAbstractButton::clicked, m_setup.get(), &ManagedCloudSetup::useForScreenshotLinks);
    connect(m_test, &QAbstractButton::clicked, m_setup.get(), &ManagedCloudSetup::startTestUpload);

    m_statusArea = new Fill(P::rowBackground(), this);
    auto *lines = new QVBoxLayout(m_statusArea);
    lines->setContentsMargins(14, 0, 14, 12);
    lines->setSpacing(8);
    m_confirmation = makeLabel({}, 11.5, QFont::Medium, P::secondaryText(), true, m_statusArea);
    lines->addWidget(m_confirmation);
    m_testing = new QWidget(m_statusArea);
    auto *busy = new QHBoxLayout(m_testing);
    busy->setContentsMargins(0, 0, 0, 0);
    busy->setSpacing(8);
    busy->addWidget(new BusySpinner(m_testing), 0, Qt::AlignVCenter);
    busy->addWidget(makeLabel(QStringLiteral("Uploading a tiny test image…"), 11.5, QFont::Medium, P::secondaryText(),
                              false, m_testing),
                    1, Qt::AlignVCenter);
    lines->addWidget(m_testing);
    auto *success = new MiddleElidedLabel(2, m_statusArea);
    success->setFont(P::font(11.5, QFont::Medium));
    setLabelColour(success, P::success());
    m_success = success;
    lines->addWidget(m_success);
    m_failure =
        new MessageRow({}, QStringLiteral("exclamationmark.triangle.fill"), MessageRow::Role::warning, m_statusArea);
    lines->addWidget(m_failure);
    content()->addWidget(m_statusArea);

    connect(m_setup.get(), &ManagedCloudSetup::changed, this, &ManagedCloudSetupView::refresh);
    refresh();
}

void ManagedCloudSetupView::refresh()
{
    const CloudTestState &state = m_setup->cloudTestState();
    m_confirmation->setText(m_setup->cloudSetupMessage().value_or(QString()));
    m_confirmation->setVisible(m_setup->cloudSetupMessage().has_value());
    m_testing->setVisible(state.kind == CloudTestState::Kind::testing);
    const bool succeeded = state.kind == CloudTestState::Kind::succeeded;
    m_success->setText(succeeded ? QStringLiteral("Test upload worked. Its link is on your clipboard: ")
                               + state.link.toString(QUrl::FullyEncoded)
                                 : QString());
    m_success->setVisible(succeeded);
    m_failure->setMessage(state.message);
    m_failure->setVisible(state.kind == CloudTestState::Kind::failed);
    m_statusArea->setVisible(m_setup->cloudSetupMessage() || state.kind != CloudTestState::Kind::idle);
    m_test->setEnabled(m_setup->canStartTestUpload());
}

} // namespace quillmere
