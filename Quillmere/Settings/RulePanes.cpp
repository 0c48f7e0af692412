#include "Quillmere/Settings/RulePanes.h"

#include "Quillmere/Settings/SettingsPalette.h"

#include <QHBoxLayout>
#include <QHash>
#include <QPainter>

namespace quillmere {

namespace P = SettingsPalette;

namespace {

// The lighter band the two rule panes sit on inside their card.
class InnerPanel : public QWidget {
public:
    explicit InnerPanel(QWidget *parent) : QWidget(parent)
    {
        m_column = new QVBoxLayout(this);
        m_column->setContentsMargins(14, 14, 14, 14);
        m_column->setSpacing(14);
    }
    QVBoxLayout *column() const { return m_column; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter(this).fillRect(rect(), P::withOpacity(P::raisedBackground(), 0.45));
    }

private:
    QVBoxLayout *m_column;
};

QWidget *paneHeader(const QString &symbol, const QString &heading, const QString &subtitle, const QString &pillSymbol,
                    QWidget *parent)
{
    auto *header = new QWidget(parent);
    auto *row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);
    row->addWidget(new IconBadge(symbol, header), 0, Qt::AlignVCenter);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(3);
    texts->addWidget(makeLabel(heading, 13.5, QFont::DemiBold, P::primaryText(), false, header));
    texts->addWidget(makeLabel(subtitle, 11.5, QFont::Medium, P::secondaryText(), true, header));
    row->addLayout(texts, 1);
    row->addWidget(new StatusPill(QStringLiteral("Local"), pillSymbol, PillStyle::neutral, header), 0,
                   Qt::AlignVCenter);
    return header;
}

QWidget *editorBlock(const QString &heading, const QString &subtitle, PatternEditor *editor, QWidget *parent)
{
    auto *block = new QWidget(parent);
    auto *column = new QVBoxLayout(block);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    column->addWidget(makeLabel(heading, 12.5, QFont::DemiBold, P::primaryText(), false, block));
    column->addWidget(makeLabel(subtitle, 11, QFont::Medium, P::secondaryText(), true, block));
    editor->setParent(block);
    column->addWidget(editor);
    return block;
}

struct ButtonRow {
    QLabel *message;
    SettingsButton *reload;
    SettingsButton *save;
};

ButtonRow addButtonRow(QVBoxLayout *column, QWidget *parent)
{
    auto *row = new QHBoxLayout;
    row->setSpacing(10);
    ButtonRow out;
    out.message = makeLabel({}, 11.5, QFont::Medium, P::secondaryText(), true, parent);
    out.reload = new SettingsButton(QStringLiteral("Reload"), SettingsButton::Kind::normal, parent);
    out.save = new SettingsButton(QStringLiteral("Save Rules"), SettingsButton::Kind::normal, parent);
    row->addWidget(out.message, 1);
    row->addWidget(out.reload);
    row->addWidget(out.save);
    column->addLayout(row);
    return out;
}

void showMessage(QLabel *label, const std::optional<RuleMessage> &message)
{
    label->setText(message ? message->text : QString());
    setLabelColour(label, message && message->isError ? P::warning() : P::secondaryText());
}

} // namespace

PatternEditor::PatternEditor(int height, QWidget *parent) : QPlainTextEdit(parent)
{
    setFixedHeight(height);
    setFont(P::font(12, QFont::Medium, true));
    setTabChangesFocus(true);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    document()->setDocumentMargin(4);
    setStyleSheet(QStringLiteral("QPlainTextEdit { background: rgba(255,255,255,15); color: rgba(255,255,255,235);"
                                 " border: 1px solid rgba(255,255,255,20); border-radius: 8px; padding: 4px;"
                                 " selection-background-color: rgb(143,92,158); }"));
}

void PatternEditor::showText(const QString &text)
{
    if (toPlainText() == text)
        return;
    const QSignalBlocker blocker(this);
    setPlainText(text);
}

// ---- Privacy -----------------------------------------------------------------------------------

PrivacyPane::PrivacyPane(SettingsViewModel &model, QWidget *parent)
    : SettingsSection(QStringLiteral("Privacy Guard"), systemImage(SettingsPane::privacy), parent), m_model(model)
{
    auto *panel = new InnerPanel(this);
    QVBoxLayout *column = panel->column();
    column->addWidget(
        paneHeader(QStringLiteral("lock.doc"), QStringLiteral("Device-local capture rules"),
                   QStringLiteral("Rules stop new captures on this computer. They do not delete existing clips "
                                  "or sync to other devices."),
                   QStringLiteral("macbook"), panel));
    m_apps = new PatternEditor(78);
    column->addWidget(editorBlock(
        QStringLiteral("Ignored Apps"),
        QStringLiteral("One app per line: part of its menu name or window class, or of its desktop file's name, "
                       "such as KeePassXC or org.gnome.Terminal."),
        m_apps, panel));
    m_texts = new PatternEditor(78);
    column->addWidget(editorBlock(
        QStringLiteral("Blocked Content"),
        QStringLiteral("One text or URL-host pattern per line. Matching clips are not saved."), m_texts, panel));
    const ButtonRow buttons = addButtonRow(column, panel);
    m_message = buttons.message;
    m_reload = buttons.reload;
    m_save = buttons.save;
    content()->addWidget(panel);

    connect(m_apps, &QPlainTextEdit::textChanged, this,
            [this] { m_model.privacyRules().appText = m_apps->toPlainText(); });
    connect(m_texts, &QPlainTextEdit::textChanged, this,
            [this] { m_model.privacyRules().textText = m_texts->toPlainText(); });
    connect(m_reload, &QAbstractButton::clicked, this, [this] { m_model.loadPrivacyRules(); });
    connect(m_save, &QAbstractButton::clicked, this, [this] { m_model.savePrivacyRules(); });
    connect(&m_model, &SettingsViewModel::privacyRulesChanged, this, &PrivacyPane::refresh);
    refresh();
}

void PrivacyPane::refresh()
{
    m_apps->showText(m_model.privacyRules().appText);
    m_texts->showText(m_model.privacyRules().textText);
    showMessage(m_message, m_model.privacyRules().message);
}

// ---- Automation --------------------------------------------------------------------------------

QColor AutomationPane::pageColour(const QString &name)
{
    // The desktop's usual dark-theme tones for the named colours.
    static const QHash<QString, QColor> colours = {
        {QStringLiteral("magenta"), QColor::fromRgbF(0.93f, 0.21f, 0.88f)},
        {QStringLiteral("blue"), QColor(10, 132, 255)},
        {QStringLiteral("purple"), QColor(191, 90, 242)},
        {QStringLiteral("orange"), QColor(255, 159, 10)},
        {QStringLiteral("teal"), QColor(64, 200, 224)},
        {QStringLiteral("pink"), QColor(255, 55, 95)},
        {QStringLiteral("indigo"), QColor(94, 92, 230)},
        {QStringLiteral("red"), QColor(255, 69, 58)},
        {QStringLiteral("yellow"), QColor(255, 214, 10)},
        {QStringLiteral("green"), QColor(48, 209, 88)},
    };
    return colours.value(name, QColor(152, 152, 157));
}

AutomationPane::AutomationPane(SettingsViewModel &model, QWidget *parent)
    : SettingsSection(QStringLiteral("Auto Pages"), systemImage(SettingsPane::automation), parent), m_model(model)
{
    auto *panel = new InnerPanel(this);
    QVBoxLayout *column = panel->column();
    column->addWidget(paneHeader(QStringLiteral("square.grid.2x2"), QStringLiteral("Smart Collections"),
                                 QStringLiteral("Send matching new clips into existing Pages. Manual Page choices are "
                                                "never overwritten."),
                                 QStringLiteral("slider.horizontal.3"), panel));
    m_empty = makeLabel(QStringLiteral("Create a Page first, then add text patterns here."), 12, QFont::Medium,
                        P::secondaryText(), true, panel);
    column->addWidget(m_empty);
    m_blocks = new QVBoxLayout;
    m_blocks->setSpacing(14);
    column->addLayout(m_blocks);
    const ButtonRow buttons = addButtonRow(column, panel);
    m_message = buttons.message;
    m_reload = buttons.reload;
    m_save = buttons.save;
    content()->addWidget(panel);

    connect(m_reload, &QAbstractButton::clicked, this, [this] { m_model.loadAutoPageRules(); });
    connect(m_save, &QAbstractButton::clicked, this, [this] { m_model.saveAutoPageRules(); });
    connect(&m_model, &SettingsViewModel::autoPageRulesChanged, this, &AutomationPane::rebuild);
    rebuild();
}

void AutomationPane::rebuild()
{
    while (QLayoutItem *item = m_blocks->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    m_editors.clear();
    const std::vector<PageRef> pages = m_model.pages();
    QWidget *panel = m_empty->parentWidget();
    for (const PageRef &page : pages) {
        const QUuid id = page->dedupID();
        auto *block = new QWidget(panel);
        auto *column = new QVBoxLayout(block);
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(6);
        auto *label = new QHBoxLayout;
        label->setSpacing(7);
        label->addWidget(new GlyphView(page->iconName(), 12.5, pageColour(page->colorName()), {16, 16}, block));
        label->addWidget(makeLabel(page->displayName(), 12.5, QFont::DemiBold, P::primaryText(), false, block));
        label->addStretch(1);
        column->addLayout(label);
        column->addWidget(makeLabel(
            QStringLiteral("One pattern per line. Matches clip text, file names, OCR text, source app, or kind."), 11,
            QFont::Medium, P::secondaryText(), true, block));
        auto *editor = new PatternEditor(66, block);
        editor->setAccessibleName(page->displayName());
        editor->showText(m_model.autoPageRules().text(id));
        connect(editor, &QPlainTextEdit::textChanged, this,
                [this, editor, id] { m_model.autoPageRules().setText(id, editor->toPlainText()); });
        column->addWidget(editor);
        m_blocks->addWidget(block);
        m_editors << editor;
    }
    m_empty->setVisible(pages.empty());
    m_save->setEnabled(!pages.empty());
    showMessage(m_message, m_model.autoPageRules().message);
}

} // namespace quillmere
