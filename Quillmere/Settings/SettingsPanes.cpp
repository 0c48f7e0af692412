#include "Quillmere/Settings/SettingsPanes.h"

#include "Quillmere/Platform/Core/KeyNotation.h"
#include "Quillmere/Settings/SettingsPalette.h"

#include "Quillmere/Settings/Core/ShortcutRecording.h"

#include <QHBoxLayout>
#include <QShowEvent>

namespace quillmere {

namespace P = SettingsPalette;

QString panelHotKeyText()
{
    return quillmere::panelShortcutText();
}

namespace {

void setRowShown(QWidget *row, QWidget *divider, bool shown)
{
    row->setVisible(shown);
    if (divider)
        divider->setVisible(shown);
}

SwitchToggle *switchFor(QWidget *owner, std::function<void(bool)> write)
{
    auto *toggle = new SwitchToggle(owner);
    QObject::connect(toggle, &QAbstractButton::clicked, owner, [write = std::move(write)](bool on) { write(on); });
    return toggle;
}

void setChecked(QAbstractButton *button, bool checked)
{
    const QSignalBlocker blocker(button);
    button->setChecked(checked);
}

} // namespace

// ---- General -----------------------------------------------------------------------------------

GeneralPane::GeneralPane(SettingsViewModel &model, QWidget *parent)
    : SettingsSection(quillmere::title(SettingsPane::general), systemImage(SettingsPane::general), parent),
      m_model(model)
{
    QVBoxLayout *rows = content();
    auto divider = [&] {
        auto *line = new SettingsDivider(this);
        rows->addWidget(line);
        return line;
    };

    m_launch = switchFor(this, [this](bool on) { m_model.setLaunchAtLogin(on); });
    m_launchRow =
        new SettingsRow(QStringLiteral("Launch at login"), QStringLiteral("Start Brindlewax when you sign in."),
                        QStringLiteral("power"), m_launch, this);
    rows->addWidget(m_launchRow);
    m_launchErrorDivider = divider();
    m_launchError =
        new MessageRow({}, QStringLiteral("exclamationmark.triangle.fill"), MessageRow::Role::warning, this);
    rows->addWidget(m_launchError);

    divider();
    m_width = new MenuPicker(152, this);
    m_width->setEntries({{QStringLiteral("Full width"), QStringLiteral("full")},
                         {QStringLiteral("2/3 width"), QStringLiteral("twoThirds")}});
    connect(m_width, &MenuPicker::picked, this, [this](const QVariant &v) { m_model.setPanelWidthMode(v.toString()); });
    rows->addWidget(new SettingsRow(QStringLiteral("Panel width"),
                                    QStringLiteral("Choose how wide the history panel opens."),
                                    QStringLiteral("rectangle.inset.filled"), m_width, this));

    divider();
    m_open = new MenuPicker(152, this);
    m_open->setEntries({{QStringLiteral("Clipboard History"), QStringLiteral("history")},
                        {QStringLiteral("Last Used"), QStringLiteral("lastUsed")},
                        {QStringLiteral("Page"), QStringLiteral("page")}});
    connect(m_open, &MenuPicker::picked, this,
            [this](const QVariant &v) { m_model.setPanelOpenBehavior(v.toString()); });
    rows->addWidget(new SettingsRow(QStringLiteral("Open hotkey to"),
                                    QStringLiteral("Choose what %1 shows first.").arg(panelHotKeyText()),
                                    QStringLiteral("rectangle.stack"), m_open, this));

    m_defaultPageDivider = divider();
    m_defaultPage = new MenuPicker(152, this);
    connect(m_defaultPage, &MenuPicker::picked, this,
            [this](const QVariant &v) { m_model.setPanelOpenPageID(v.toString()); });
    m_defaultPageRow =
        new SettingsRow(QStringLiteral("Default Page"), {}, QStringLiteral("square.grid.2x2"), m_defaultPage, this);
    rows->addWidget(m_defaultPageRow);

    divider();
    m_pause = switchFor(this, [this](bool on) { m_model.setCapturePaused(on); });
    rows->addWidget(new SettingsRow(QStringLiteral("Pause clipboard capture"),
                                    QStringLiteral("Temporarily stop saving new clipboard items."),
                                    QStringLiteral("pause.circle"), m_pause, this));
    divider();
    m_copySound = switchFor(this, [this](bool on) { m_model.setCopySoundEnabled(on); });
    rows->addWidget(new SettingsRow(QStringLiteral("Copy sound"),
                                    QStringLiteral("Play a sound when something is copied or captured."),
                                    QStringLiteral("speaker.wave.2"), m_copySound, this));
    divider();
    m_autoExpire = switchFor(this, [this](bool on) { m_model.setAutoExpireSensitiveClips(on); });
    rows->addWidget(new SettingsRow(
        QStringLiteral("Auto-expire sensitive clips"),
        QStringLiteral("One-time codes and password-like clips clear five minutes after capture unless pinned or saved "
                       "to a page. This setting is device-local."),
        QStringLiteral("shield.lefthalf.filled"), m_autoExpire, this));

    divider();
    m_history = new MenuPicker(132, this);
    QList<std::pair<QString, QVariant>> limits;
    for (qint64 value : SettingsViewModel::historyLimitOptions)
        limits.append({QStringLiteral("%1 items").arg(value), value});
    limits.append({QStringLiteral("Unlimited"), qint64(-1)});
    m_history->setEntries(limits);
    connect(m_history, &MenuPicker::picked, this,
            [this](const QVariant &v) { m_model.setHistoryLimit(v.toLongLong()); });
    rows->addWidget(new SettingsRow(QStringLiteral("History limit"),
                                    QStringLiteral("Pinned clips and saved pages are never removed."),
                                    QStringLiteral("clock.arrow.circlepath"), m_history, this));
    m_pruningDivider = divider();
    m_pruningNote =
        new MessageRow(QStringLiteral("Pruning is inactive until you choose a limit synced across devices."),
                       QStringLiteral("icloud.and.arrow.up"), MessageRow::Role::info, this);
    rows->addWidget(m_pruningNote);

    connect(&m_model, &SettingsViewModel::generalChanged, this, &GeneralPane::refresh);
    connect(&m_model, &SettingsViewModel::historyChanged, this, &GeneralPane::refresh);
    refresh();
}

void GeneralPane::refresh()
{
    setChecked(m_launch, m_model.launchAtLogin());
    setRowShown(m_launchError, m_launchErrorDivider, m_model.launchAtLoginError().has_value());
    m_launchError->setMessage(m_model.launchAtLoginError().value_or(QString()));

    m_width->select(m_model.panelWidthSelection());
    m_open->select(m_model.panelOpenSelection());

    const std::vector<PageRef> pages = m_model.pages();
    QList<std::pair<QString, QVariant>> entries;
    for (const PageRef &page : pages)
        entries.append({page->displayName(), page->dedupID().toString(QUuid::WithoutBraces).toUpper()});
    m_defaultPage->setEntries(entries);
    m_defaultPage->select(m_model.defaultPageSelection());
    m_defaultPage->setEnabled(!pages.empty());
    m_defaultPageRow->setSubtitle(pages.empty() ? QStringLiteral("Create a Page first.")
                                                : QStringLiteral("The hotkey opens this Page."));
    setRowShown(m_defaultPageRow, m_defaultPageDivider, m_model.panelOpenBehaviorRawValue() == QLatin1String("page"));

    setChecked(m_pause, m_model.isCapturePaused());
    setChecked(m_copySound, m_model.isCopySoundEnabled());
    setChecked(m_autoExpire, m_model.autoExpireSensitiveClips());
    m_history->select(m_model.historyLimit());
    setRowShown(m_pruningNote, m_pruningDivider, m_model.showsPruningNote());
}

// ---- Permissions -------------------------------------------------------------------------------

PermissionsPane::PermissionRow PermissionsPane::makeRow(const QString &rowTitle, const QString &symbol,
                                                        const QString &pillTitle)
{
    // Both accessories live in the row; the state decides which one shows.
    auto *accessory = new QWidget(this);
    auto *box = new QHBoxLayout(accessory);
    box->setContentsMargins(0, 0, 0, 0);
    PermissionRow row;
    row.pill = new StatusPill(pillTitle, QStringLiteral("checkmark.circle.fill"), PillStyle::success, accessory);
    row.button = new SettingsButton(QString(), SettingsButton::Kind::normal, accessory);
    box->addWidget(row.pill);
    box->addWidget(row.button);
    row.row = new SettingsRow(rowTitle, {}, symbol, accessory, this);
    content()->addWidget(row.row);
    return row;
}

PermissionsPane::PermissionsPane(SettingsViewModel &model, QWidget *parent)
    : SettingsSection(quillmere::title(SettingsPane::permissions), systemImage(SettingsPane::permissions), parent),
      m_model(model)
{
    m_screen =
        makeRow(QStringLiteral("Screen capture"), QStringLiteral("camera.viewfinder"), QStringLiteral("Readable"));
    connect(m_screen.button, &QAbstractButton::clicked, this, [this] { m_model.requestScreenCaptureAccess(); });
    content()->addWidget(new SettingsDivider(this));
    m_accessibility =
        makeRow(QStringLiteral("Automatic paste"), QStringLiteral("checkmark.shield"), QStringLiteral("XTest present"));
    m_accessibility.row->setSubtitle(
        QStringLiteral("Pastes into other apps through the X server's XTest extension. Without it, clips only go to "
                       "the clipboard."));
    m_accessibility.button->setText(QStringLiteral("Details…"));
    connect(m_accessibility.button, &QAbstractButton::clicked, this, [this] { m_model.requestAccessibilityTrust(); });
    m_clipboardDivider = new SettingsDivider(this);
    content()->addWidget(m_clipboardDivider);
    m_clipboard =
        makeRow(QStringLiteral("Clipboard access"), QStringLiteral("doc.on.clipboard"), QStringLiteral("Readable"));
    m_clipboard.button->setText(QStringLiteral("Open Settings..."));
    connect(m_clipboard.button, &QAbstractButton::clicked, this, [this] { m_model.openClipboardSettings(); });
    m_noteDivider = new SettingsDivider(this);
    content()->addWidget(m_noteDivider);
    m_note = new MessageRow({}, QStringLiteral("info.circle.fill"), MessageRow::Role::info, this);
    content()->addWidget(m_note);

    connect(&m_model, &SettingsViewModel::permissionsChanged, this, &PermissionsPane::refresh);
    refresh();
}

void PermissionsPane::refresh()
{
    switch (m_model.screenCapturePermissionState()) {
    case ScreenCapturePermissionState::granted:
        m_screen.row->setSubtitle(QStringLiteral("Required for screenshots, area OCR, and screen recordings."));
        break;
    case ScreenCapturePermissionState::firstUse:
        m_screen.row->setSubtitle(
            QStringLiteral("Screenshots, local area OCR, and screen recordings read the screen's pixels."));
        m_screen.button->setText(QStringLiteral("Check Again"));
        break;
    case ScreenCapturePermissionState::denied:
        m_screen.row->setSubtitle(QStringLiteral("The X server does not let Brindlewax read the screen's pixels."));
        m_screen.button->setText(QStringLiteral("Details…"));
        break;
    }
    const bool screenGranted = m_model.screenCapturePermissionState() == ScreenCapturePermissionState::granted;
    m_screen.pill->setVisible(screenGranted);
    m_screen.button->setVisible(!screenGranted);
    m_screen.button->updateGeometry();

    m_accessibility.pill->setVisible(m_model.isAccessibilityTrusted());
    m_accessibility.button->setVisible(!m_model.isAccessibilityTrusted());

    const auto clipboard = m_model.pasteboardAccess();
    setRowShown(m_clipboard.row, m_clipboardDivider, clipboard.has_value());
    if (clipboard) {
        switch (*clipboard) {
        case PasteboardAccessState::notDetermined:
            m_clipboard.row->setSubtitle(QStringLiteral(
                "Nothing has been read from the clipboard yet. Copy something to check that capture works."));
            break;
        case PasteboardAccessState::ask:
            m_clipboard.row->setSubtitle(
                QStringLiteral("Each clipboard read waits for a confirmation, so capture may be interrupted."));
            break;
        case PasteboardAccessState::granted:
            m_clipboard.row->setSubtitle(
                QStringLiteral("Every X11 program may read the clipboard: there is nothing to allow."));
            break;
        case PasteboardAccessState::denied:
            m_clipboard.row->setSubtitle(QStringLiteral("Clipboard reads are blocked, so nothing new is captured."));
            break;
        }
        m_clipboard.pill->setVisible(*clipboard == PasteboardAccessState::granted);
        m_clipboard.button->setVisible(*clipboard != PasteboardAccessState::granted);
    }
    setRowShown(m_note, m_noteDivider, m_model.permissionNote().has_value());
    m_note->setMessage(m_model.permissionNote().value_or(QString()));
}

// ---- Progress ----------------------------------------------------------------------------------

ProgressPane::ProgressPane(SettingsViewModel &model, QWidget *parent)
    : SettingsSection(quillmere::title(SettingsPane::progress), systemImage(SettingsPane::progress), parent),
      m_model(model)
{
    auto *body = new QWidget(this);
    auto *column = new QVBoxLayout(body);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(12);

    auto *header = new QHBoxLayout;
    header->setContentsMargins(14, 14, 14, 0);
    header->setSpacing(12);
    header->addWidget(new IconBadge(QStringLiteral("sparkles"), body));
    auto *texts = new QVBoxLayout;
    texts->setSpacing(4);
    auto *titleRow = new QHBoxLayout;
    titleRow->addWidget(
        makeLabel(QStringLiteral("Achievements"), 13.5, QFont::DemiBold, P::primaryText(), false, body));
    titleRow->addStretch(1);
    m_count = makeLabel({}, 12.5, QFont::DemiBold, P::secondaryText(), false, body);
    titleRow->addWidget(m_count);
    texts->addLayout(titleRow);
    m_bar = new AccentProgressBar(body);
    texts->addWidget(m_bar);
    header->addLayout(texts, 1);
    column->addLayout(header);

    m_rows = new QVBoxLayout;
    m_rows->setContentsMargins(14, 0, 14, 14);
    m_rows->setSpacing(8);
    column->addLayout(m_rows);
    content()->addWidget(body);

    connect(&m_model, &SettingsViewModel::historyChanged, this, [this] {
        if (isVisible())
            refresh();
    });
    refresh();
}

void ProgressPane::refresh()
{
    const std::vector<ClipAchievement> achievements = m_model.achievements();
    const int unlocked = ClipAchievement::unlockedCount(achievements);
    const int total = int(achievements.size());
    m_count->setText(QStringLiteral("%1 / %2").arg(unlocked).arg(total));
    m_bar->setProgress(unlocked, total > 0 ? total : 1);
    while (QLayoutItem *item = m_rows->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (size_t i = 0; i < achievements.size() && i < 4; ++i)
        m_rows->addWidget(new AchievementRow(achievements[i], this));
}

QList<AchievementRow *> ProgressPane::rows() const
{
    QList<AchievementRow *> out;
    for (int i = 0; i < m_rows->count(); ++i)
        if (auto *row = qobject_cast<AchievementRow *>(m_rows->itemAt(i)->widget()))
            out << row;
    return out;
}

void ProgressPane::showEvent(QShowEvent *event)
{
    if (!event->spontaneous())
        refresh();
    SettingsSection::showEvent(event);
}

// ---- About -------------------------------------------------------------------------------

SettingsSection *makeAboutPane(SettingsViewModel &model, QWidget *parent)
{
    auto *section =
        new SettingsSection(quillmere::title(SettingsPane::about), systemImage(SettingsPane::about), parent);
    section->content()->addWidget(
        new SettingsRow(QStringLiteral("Version"), model.versionText(), QStringLiteral("number"), nullptr, section));
    section->content()->addWidget(new SettingsDivider(section));
    section->content()->addWidget(new SettingsRow(QStringLiteral("Hotkey"),
                                                  QStringLiteral("%1 opens the history panel.").arg(panelHotKeyText()),
                                                  QStringLiteral("keyboard"), nullptr, section));
    return section;
}

} // namespace quillmere
