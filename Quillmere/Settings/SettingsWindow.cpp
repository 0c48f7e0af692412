#include "Quillmere/Settings/SettingsWindow.h"

#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Pages/Widgets/PageTabOrderSettingsView.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Pasteboard.h"
#include "Quillmere/Platform/SecretStore.h"
#include "Quillmere/Platform/Widgets/DialogTitle.h"
#include "Quillmere/Platform/X11Desktop.h"
#include "Quillmere/Settings/CapturePane.h"
#include "Quillmere/Settings/DataPane.h"
#include "Quillmere/Settings/RulePanes.h"
#include "Quillmere/Settings/SettingsKit.h"
#include "Quillmere/Settings/SettingsPalette.h"
#include "Quillmere/Settings/SettingsPanes.h"
#include "Quillmere/Settings/StorageDashboard.h"
#include "Quillmere/Settings/SyncPane.h"
#include "Quillmere/Settings/WindowFrame.h"
#include "Quillmere/Sync/CloudSyncStatus.h"

#include <QHBoxLayout>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShowEvent>

namespace quillmere {

namespace P = SettingsPalette;

namespace {

QPalette darkPalette()
{
    QPalette palette =
        WindowFrame::darkPalette({P::windowBackground(), P::primaryText(), QColor(30, 30, 33), P::controlTint()});
    palette.setColor(QPalette::AlternateBase, QColor(36, 36, 39));
    palette.setColor(QPalette::PlaceholderText, P::tertiaryText());
    palette.setColor(QPalette::Disabled, QPalette::Text, P::tertiaryText());
    palette.setColor(QPalette::Disabled, QPalette::WindowText, P::tertiaryText());
    return palette;
}

} // namespace

// What the Capture pane works with; those not given are the desktop's own, kept for the
// window's life.
struct SettingsWindow::CaptureServices {
    NotificationCenter *center = nullptr;
    std::function<bool(CaptureAction)> isShortcutRefused;
    std::unique_ptr<SystemSecretStore> ownSecrets;
    SecretStore *secrets = nullptr;
    // Over `secrets`, so that no keyring call waits on this thread.
    std::unique_ptr<AsyncSecretStore> keyring;
    std::unique_ptr<SystemPasteboard> ownPasteboard;
    std::unique_ptr<PasteboardWriter> writer;
    std::unique_ptr<QNetworkAccessManager> ownNetwork;
    QNetworkAccessManager *network = nullptr;
    QVariantMap cloudInfo;
    bool cloudOverLoopbackHttp = false;
};

SettingsWindow::SettingsWindow(Dependencies deps, QWidget *parent)
    : QWidget(parent), m_capture(std::make_unique<CaptureServices>()), m_keysyms(std::move(deps.keysyms)),
      m_suspendHotKeys(std::move(deps.suspendHotKeys))
{
    m_capture->center = deps.center ? deps.center : deps.paneRequests ? &deps.paneRequests->center() : nullptr;
    if (!m_capture->center)
        qFatal("SettingsWindow needs a notification centre");
    m_capture->isShortcutRefused = std::move(deps.isCaptureShortcutRefused);
    if (!deps.secrets)
        m_capture->ownSecrets = std::make_unique<SystemSecretStore>();
    m_capture->secrets = deps.secrets ? deps.secrets : m_capture->ownSecrets.get();
    m_capture->keyring = std::make_unique<AsyncSecretStore>(*m_capture->secrets);
    if (!deps.pasteboard)
        m_capture->ownPasteboard = std::make_unique<SystemPasteboard>();
    m_capture->writer = std::make_unique<PasteboardWriter>(
        deps.pasteboard ? *deps.pasteboard : *m_capture->ownPasteboard, *m_capture->center);
    if (!deps.network)
        m_capture->ownNetwork = std::make_unique<QNetworkAccessManager>();
    m_capture->network = deps.network ? deps.network : m_capture->ownNetwork.get();
    m_capture->cloudInfo = deps.cloudInfo.value_or(ManagedCloudConfiguration::mainBundleInfo());
    m_capture->cloudOverLoopbackHttp = deps.cloudOverLoopbackHttp;

    SettingsViewModel::Dependencies model;
    model.preferences = deps.preferences;
    model.store = deps.store;
    model.syncStatus = deps.syncStatus;
    model.paneRequests = deps.paneRequests;
    model.loginItem = std::move(deps.loginItem);
    if (deps.access)
        model.access = *deps.access;
    else
        model.access = SystemAccess::x11(&X11Desktop::screenPixelsReadable, std::move(deps.pasteKeysAvailable),
                                         X11Desktop::isAvailable());
    model.shortVersion = deps.shortVersion;
    model.buildVersion = deps.buildVersion;
    m_model = std::make_unique<SettingsViewModel>(std::move(model));
    m_data = std::make_unique<DataActions>(
        *m_model, deps.dataInteraction ? std::move(*deps.dataInteraction) : dataDialogs(this), deps.shortVersion);
    connect(m_data.get(), &DataActions::changed, this, &SettingsWindow::presentStorageDashboard);
    SyncActions::Dependencies sync = std::move(deps.sync);
    sync.store = deps.store;
    sync.syncStatus = deps.syncStatus;
    if (!sync.preferences)
        sync.preferences = deps.preferences;
    if (!sync.chooseFolder)
        sync.chooseFolder = syncFolderDialog(this);
    if (sync.origin.isEmpty())
        sync.origin = SyncProbes::platformName;
    m_sync = std::make_unique<SyncActions>(std::move(sync));

    // The desktop adds the program's name: "Settings — Brindlewax".
    setWindowTitle(QStringLiteral("Settings"));
    QHBoxLayout *row = WindowFrame::layOut(
        this, {windowWidth, windowHeight}, darkPalette(), [this] { return makeSidebar(); }, P::divider());

    m_scroll = new QScrollArea(this);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setStyleSheet(QStringLiteral(
        "QScrollArea { background: black; }"
        "QScrollBar:vertical { background: transparent; width: 10px; margin: 2px; }"
        "QScrollBar::handle:vertical { background: rgba(255,255,255,60); border-radius: 3px; min-height: 30px; }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }"));
    auto *detailArea = new Backdrop(P::windowBackground(), m_scroll);
    m_detailColumn = new QVBoxLayout(detailArea);
    m_detailColumn->setContentsMargins(24, 22, 24, 22);
    m_detailColumn->setSpacing(18);
    m_detailColumn->addStretch(1);
    m_scroll->setWidget(detailArea);
    row->addWidget(m_scroll, 1);

    connect(m_model.get(), &SettingsViewModel::selectedPaneChanged, this, &SettingsWindow::showPane);
    connect(m_model.get(), &SettingsViewModel::alertsChanged, this, &SettingsWindow::presentAlerts);
    showPane(m_model->selectedPane());
}

SettingsWindow::~SettingsWindow()
{
    // The sheet reports its closing to the actions, which go before the child widgets do.
    delete m_dashboard;
}

QWidget *SettingsWindow::makeSidebar()
{
    auto *sidebar = new Backdrop(P::sidebarBackground(), this);
    sidebar->setFixedWidth(206);
    auto *column = new QVBoxLayout(sidebar);
    column->setContentsMargins(14, 18, 14, 18);
    column->setSpacing(16);

    auto *header = new QHBoxLayout;
    header->setSpacing(10);
    header->addWidget(new IdentityTile(P::accent(), sidebar));
    auto *names = new QVBoxLayout;
    names->setSpacing(2);
    names->addStretch(1);
    names->addWidget(makeLabel(QStringLiteral("Brindlewax"), 16, QFont::Bold, P::primaryText(), false, sidebar));
    names->addWidget(makeLabel(QStringLiteral("Settings"), 11.5, QFont::Medium, P::secondaryText(), false, sidebar));
    names->addStretch(1);
    header->addLayout(names, 1);
    column->addLayout(header);

    auto *list = new QVBoxLayout;
    list->setSpacing(4);
    for (SettingsPane pane : allSettingsPanes()) {
        auto *button = new SidebarItemButton(pane, sidebar);
        connect(button, &QAbstractButton::clicked, this, [this, pane] { m_model->selectPane(pane); });
        list->addWidget(button);
        m_sidebarButtons[pane] = button;
    }
    column->addLayout(list);
    column->addStretch(1);

    auto *badge = new QVBoxLayout;
    badge->setSpacing(8);
    badge->addWidget(makeLabel(QStringLiteral("SYNC"), 11, QFont::DemiBold, P::tertiaryText(), false, sidebar));
    const SyncBadge sync = m_model->syncBadge();
    m_syncPill = new StatusPill(sync.title, sync.systemImage, sync.style, sidebar);
    badge->addWidget(m_syncPill, 0, Qt::AlignLeft);
    if (CloudSyncStatus *status = m_model->syncStatus())
        connect(status, &CloudSyncStatus::changed, m_syncPill, [this] {
            const SyncBadge now = m_model->syncBadge();
            m_syncPill->set(now.title, now.systemImage, now.style);
        });
    column->addLayout(badge);
    return sidebar;
}

SidebarItemButton *SettingsWindow::sidebarButton(SettingsPane pane) const
{
    const auto it = m_sidebarButtons.find(pane);
    return it == m_sidebarButtons.end() ? nullptr : it->second;
}

void SettingsWindow::showPane(SettingsPane pane)
{
    for (const auto &[which, button] : m_sidebarButtons)
        button->setSelected(which == pane);
    if (m_detail) {
        // A pane may be what asked for the change: let it finish first.
        m_detail->hide();
        m_detailColumn->removeWidget(m_detail);
        m_detail->deleteLater();
    }
    QWidget *parent = m_scroll->widget();
    SettingsViewModel &model = *m_model;
    switch (pane) {
    case SettingsPane::general:
        m_detail = new GeneralPane(model, parent);
        break;
    case SettingsPane::permissions:
        m_detail = new PermissionsPane(model, parent);
        break;
    case SettingsPane::privacy:
        m_detail = new PrivacyPane(model, parent);
        break;
    case SettingsPane::automation:
        m_detail = new AutomationPane(model, parent);
        break;
    case SettingsPane::progress:
        m_detail = new ProgressPane(model, parent);
        break;
    case SettingsPane::about:
        m_detail = makeAboutPane(model, parent);
        break;
    case SettingsPane::tabs: {
        auto *section = new SettingsSection(quillmere::title(pane), systemImage(pane), parent);
        auto *tabs = new PageTabOrderSettingsView(model.store(), section);
        // Under the scroll area's style sheet a palette does not reach plain widgets; a sheet does.
        tabs->setStyleSheet(
            QStringLiteral("QLabel { color: rgba(255,255,255,0.58); }"
                           "QListWidget { background: rgb(30,30,33); color: rgba(255,255,255,0.92);"
                           " border: 1px solid rgba(255,255,255,0.08); border-radius: 8px; padding: 4px; }"
                           "QListWidget::item { padding: 4px; border-radius: 5px; }"
                           "QListWidget::item:selected { background: rgba(255,255,255,0.12); color: white; }"
                           "QPushButton { background: rgb(48,48,52); color: rgba(255,255,255,0.92); border: none;"
                           " border-radius: 11px; padding: 4px 14px; font-weight: 600; }"
                           "QPushButton:disabled { color: rgba(255,255,255,0.3); }"));
        tabs->layout()->setContentsMargins(14, 12, 14, 12);
        section->content()->addWidget(tabs);
        m_detail = section;
        break;
    }
    case SettingsPane::data:
        m_detail = new DataPane(*m_data, parent);
        break;
    case SettingsPane::sync:
        m_detail = new SyncPane(*m_sync, model, parent);
        break;
    case SettingsPane::capture: {
        CapturePane::Dependencies capture;
        capture.capture = {&model.preferences(), m_capture->center, m_capture->isShortcutRefused};
        capture.keyring = m_capture->keyring.get();
        capture.keysyms = m_keysyms;
        capture.suspendHotKeys = m_suspendHotKeys;
        capture.cloud = {m_capture->network,
                         &model.preferences(),
                         m_capture->writer.get(),
                         m_capture->cloudInfo,
                         m_capture->keyring->fetcher(managedCloudTokenItem),
                         m_capture->cloudOverLoopbackHttp};
        m_detail = new CapturePane(std::move(capture), parent);
        break;
    }
    }
    m_detailColumn->insertWidget(0, m_detail);
    m_detail->show();
    m_scroll->verticalScrollBar()->setValue(0);
}

QMessageBox *SettingsWindow::makeAlert(const QString &title, const QString &message)
{
    auto *box = new QMessageBox(this);
    // A dialog is a window of its own: the dark palette does not reach it by itself.
    box->setPalette(palette());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setWindowTitle(QStringLiteral("Brindlewax"));
    box->setIcon(QMessageBox::NoIcon);
    box->setTextFormat(Qt::PlainText);
    box->setText(title);
    box->setInformativeText(message);
    DialogTitle::fit(box);
    return box;
}

void SettingsWindow::presentAlerts()
{
    SettingsViewModel &model = *m_model;
    // A box that was answered is closed at once but goes away only later.
    auto absent = [](const QPointer<QMessageBox> &box) { return !box || !box->isVisible(); };
    if (model.isShowingClearConfirmation() && absent(m_clearConfirmation)) {
        m_clearConfirmation =
            makeAlert(QStringLiteral("Clear unsaved history?"),
                      QStringLiteral("Pinned clips and clips saved to pages are kept. This cannot be undone."));
        QPushButton *clear =
            m_clearConfirmation->addButton(QStringLiteral("Clear Unsaved History"), QMessageBox::DestructiveRole);
        m_clearConfirmation->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
        connect(m_clearConfirmation, &QMessageBox::buttonClicked, this,
                [this, clear](QAbstractButton *button) { m_model->answerClearConfirmation(button == clear); });
        m_clearConfirmation->open();
    }
    if (model.isShowingBackupResult() && absent(m_resultAlert)) {
        m_resultAlert = makeAlert(QStringLiteral("Done"), model.backupResultMessage().value_or(QString()));
        m_resultAlert->addButton(QStringLiteral("OK"), QMessageBox::RejectRole);
        connect(m_resultAlert, &QMessageBox::finished, this, [this] { m_model->dismissBackupResult(); });
        m_resultAlert->open();
    }
    if (model.isShowingBackupError() && absent(m_errorAlert)) {
        m_errorAlert = makeAlert(QStringLiteral("Could Not Complete"), model.backupErrorMessage().value_or(QString()));
        m_errorAlert->addButton(QStringLiteral("OK"), QMessageBox::RejectRole);
        connect(m_errorAlert, &QMessageBox::finished, this, [this] { m_model->dismissBackupError(); });
        m_errorAlert->open();
    }
}

void SettingsWindow::presentStorageDashboard()
{
    const bool wanted = m_data->isShowingStorageDashboard();
    if (wanted && !m_dashboard) {
        m_dashboard = new StorageDashboard(
            m_model->store(), [this] { m_data->setShowingStorageDashboard(false); }, this);
        m_dashboard->setAttribute(Qt::WA_DeleteOnClose);
        m_dashboard->setWindowModality(Qt::WindowModal);
        // Closed by the window manager: the flag follows.
        connect(m_dashboard, &QDialog::finished, this, [this] { m_data->setShowingStorageDashboard(false); });
        m_dashboard->open();
    } else if (!wanted && m_dashboard) {
        m_dashboard->close();
    }
}

QMessageBox *SettingsWindow::openAlert() const
{
    for (QMessageBox *box : {m_clearConfirmation.data(), m_resultAlert.data(), m_errorAlert.data()})
        if (box && box->isVisible())
            return box;
    return nullptr;
}

void SettingsWindow::showAndActivate()
{
    if (isMinimized())
        showNormal();
    show();
    raise();
    activateWindow();
}

void SettingsWindow::showEvent(QShowEvent *event)
{
    if (!event->spontaneous())
        m_model->loadSettingsState();
    m_model->setStatusRefreshActive(true);
    QWidget::showEvent(event);
}

void SettingsWindow::hideEvent(QHideEvent *event)
{
    if (!event->spontaneous())
        m_model->setStatusRefreshActive(false);
    QWidget::hideEvent(event);
}

} // namespace quillmere
