#include "Quillmere/App/AppDelegate.h"

#include "Quillmere/Platform/Core/Notices.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include "Quillmere/App/AppEnvironment.h"
#include "Quillmere/App/CaptureFollowUps.h"
#include "Quillmere/App/CopyFeedback.h"
#include "Quillmere/App/DemoData.h"
#include "Quillmere/App/HotKeyCenter.h"
#include "Quillmere/App/NotchFileDrop.h"
#include "Quillmere/App/StatusItem.h"
#include "Quillmere/App/UpdateChecker.h"
#include "Quillmere/Clipboard/ClipboardMonitor.h"
#include "Quillmere/Clipboard/LinkMetadataService.h"
#include "Quillmere/Clipboard/PasteService.h"
#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Clipboard/SequentialPasteController.h"
#include "Quillmere/Clipboard/SourceAppAppearance.h"
#include "Quillmere/Clipboard/SourceAppRegistry.h"
#include "Quillmere/Model/StoreCaretaker.h"
#include "Quillmere/Model/StoreCheck.h"
#include "Quillmere/Onboarding/OnboardingWindow.h"
#include "Quillmere/Panel/Window/PanelController.h"
#include "Quillmere/Platform/Core/Deferred.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/KeyNotation.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Platform/DesktopEntries.h"
#include "Quillmere/Platform/KeyInjector.h"
#include "Quillmere/Platform/Pasteboard.h"
#include "Quillmere/Platform/SoundPlayer.h"
#include "Quillmere/Platform/Widgets/DialogTitle.h"
#include "Quillmere/Platform/WindowActivator.h"
#include "Quillmere/Platform/X11Desktop.h"
#include "Quillmere/Search/SemanticSearchEngine.h"
#include "Quillmere/Settings/SettingsWindow.h"
#include "Quillmere/Sync/SyncSettings.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPointer>
#include <QVersionNumber>

namespace quillmere {
namespace {
} // namespace

// The history panel as the shell sees it.
class ControllerPanel : public PanelPresenting {
public:
    explicit ControllerPanel(PanelControllerDependencies deps) : m_controller(std::move(deps)) {}
    PanelController &controller() { return m_controller; }
    bool isVisible() const override { return m_controller.isVisible(); }
    bool isHiding() const override { return m_controller.isHiding(); }
    void show() override { m_controller.show(); }
    void hide() override { m_controller.hide(); }
    bool hideImmediately() override { return m_controller.hideImmediately(); }
    ClipRef handleDroppedFiles(const QList<QUrl> &files) override { return m_controller.handleDroppedFiles(files); }

private:
    PanelController m_controller;
};

AppDelegate::Platform::Platform() = default;
AppDelegate::Platform::~Platform() = default;
AppDelegate::Platform::Platform(Platform &&) noexcept = default;
AppDelegate::Platform &AppDelegate::Platform::operator=(Platform &&) noexcept = default;

AppDelegate::AppDelegate(AppEnvironment &environment, Preferences &prefs, NotificationCenter &center, Platform platform,
                         QObject *parent)
    : QObject(parent), m_environment(environment), m_prefs(prefs), m_center(center), m_platform(std::move(platform))
{
    if (!m_platform.pasteboard)
        m_platform.pasteboard = std::make_unique<SystemPasteboard>();
    if (!m_platform.keys)
        m_platform.keys = std::make_unique<XTestKeyInjector>();
    if (!m_platform.windows)
        m_platform.windows = std::make_unique<X11WindowActivator>();
    if (!m_platform.sounds)
        m_platform.sounds = m_platform.filesInMemory
            ? std::make_unique<CanberraSoundPlayer>(CanberraSoundPlayer::InMemory{})
            : std::make_unique<CanberraSoundPlayer>();
    if (!m_platform.hotKeys && m_platform.registerHotKeys)
        m_platform.hotKeys = std::make_unique<HotKeyCenter>();
    if (!m_platform.applications)
        m_platform.applications = std::make_shared<DesktopEntries>();
    // The tray's icons are the caller's: main keeps them for the life of the program.
    if (!m_platform.glyphs)
        qFatal("AppDelegate needs the tray's glyphs");
}

AppDelegate::~AppDelegate()
{
    m_center.removeObservers(this);
}

bool AppDelegate::shouldShowOnboarding(const QStringList &arguments, const Preferences &prefs)
{
    if (arguments.contains(QStringLiteral("--skip-onboarding")))
        return false;
    if (arguments.contains(QStringLiteral("--show-onboarding")))
        return true;
    if (arguments.contains(QStringLiteral("--demo-data")))
        return false;
    return !prefs.get(PreferenceKeys::onboardingCompleted);
}

void AppDelegate::runCaptureUnpauseMigration(Preferences &prefs)
{
    const QString done = QStringLiteral("captureUnpauseMigrationV1");
    if (prefs.boolValue(done, false))
        return;
    prefs.setBool(done, true);
    if (!prefs.get(PreferenceKeys::onboardingCompleted))
        return;
    if (!prefs.get(PreferenceKeys::capturePaused))
        return;
    prefs.setBool(PreferenceKeys::capturePaused, false);
    qCInfo(lcApp, "Capture-unpause migration: cleared a stuck capturePaused flag");
}

void AppDelegate::registerSourceApp(const ClipRef &clip)
{
    if (!clip || !m_sourceApps)
        return;
    if (const auto bundle = clip->sourceAppBundleID(); bundle && !bundle->isEmpty())
        m_sourceApps->registerApplication(*bundle, clip->sourceAppName());
}

void AppDelegate::applicationDidFinishLaunching(const QStringList &arguments)
{
    const bool onboarding = shouldShowOnboarding(arguments, m_prefs);
    m_keepPanelOpen = arguments.contains(QStringLiteral("--keep-open"));
    runCaptureUnpauseMigration(m_prefs);

    buildClipboardPipeline();
    buildPasteRoad();
    buildSourceApps();
    buildPanelAndDrops();
    buildCaptureCoordinator();
    buildUpdaterAndStatusItem();
    buildCaptureFollowUps();

    startServices(arguments);
    startSync(arguments);
    handleArguments(arguments);
    // "--show-onboarding" is one of the arguments handled above.
    if (onboarding && !arguments.contains(QStringLiteral("--show-onboarding")))
        deferOnMain(this, [this] { showOnboarding(); });
}

void AppDelegate::buildClipboardPipeline()
{
    CaptureDependencies capture;
    capture.store = &m_environment.store();
    capture.pasteboard = m_platform.pasteboard.get();
    capture.preferences = &m_prefs;
    capture.frontApplication = identifiedFrontApplications(m_platform.applications);
    m_monitor = std::make_unique<ClipboardMonitor>(capture, m_center);
}

void AppDelegate::buildPasteRoad()
{
    PasteServiceDependencies paste;
    paste.pasteboard = m_platform.pasteboard.get();
    paste.notificationCenter = &m_center;
    paste.keys = m_platform.keys.get();
    paste.windows = m_platform.windows.get();
    paste.beep = [] { QApplication::beep(); };
    m_pasteService = std::make_unique<PasteService>(paste);
    m_sequentialPaste = std::make_unique<SequentialPasteController>(m_environment.store(), *m_pasteService);
}

void AppDelegate::buildSourceApps()
{
    ClipStore &store = m_environment.store();
    m_linkMetadata = std::make_unique<LinkMetadataService>(
        [&store](const ClipRef &clip, const std::optional<QString> &title, const std::optional<QByteArray> &picture) {
            store.updateLinkMetadata(clip, title, picture);
        });
    m_appearance = std::make_unique<SourceAppAppearance>(*m_platform.applications);
    m_sourceApps = std::make_unique<SourceAppRegistry>(
        *m_appearance,
        [&store](const QString &bundleID, const std::optional<QString> &name, const QString &color,
                 const std::optional<QByteArray> &icon) { store.upsertSourceAppBrand(bundleID, name, color, icon); });
}

void AppDelegate::buildPanelAndDrops()
{
    QPointer<AppDelegate> self(this);
    if (m_platform.makePanel) {
        m_panel = m_platform.makePanel(*this);
    } else {
        PanelControllerDependencies deps;
        deps.store = &m_environment.store();
        deps.pasteService = m_pasteService.get();
        deps.sequentialPaste = m_sequentialPaste.get();
        deps.notificationCenter = &m_center;
        deps.preferences = &m_prefs;
        deps.windows = m_platform.windows.get();
        deps.keys = m_platform.keys.get();
        deps.keepOpen = m_keepPanelOpen;
        if (!m_semanticEngine)
            m_semanticEngine = makeSemanticSearchEngine(!m_platform.filesInMemory);
        deps.semanticEngine = m_semanticEngine.get();
        // Said while the store file is left as it was for a reason of its own (an older store on a
        // disk without room to bring it up to date, say), until it can be used.
        deps.storeUnusableNotice = [self] {
            const QString why = self && self->m_storeCaretaker ? self->m_storeCaretaker->leftStoreReason() : QString();
            return why.isEmpty()
                ? why
                : QStringLiteral("Brindlewax cannot use %1 now: %2.").arg(self->m_storeCaretaker->leftStorePath(), why);
        };
        deps.onCheckForUpdates = [self] {
            if (self)
                self->checkForUpdates();
        };
        deps.openSettings = [self] {
            if (self)
                self->openSettingsWindow();
        };
        const PersistenceMode mode = m_environment.syncStatus().mode();
        CloudSyncStatus *status = &m_environment.syncStatus();
        deps.sync.inputs = [status] {
            PanelSyncBadge::Inputs inputs;
            inputs.hasSyncError = status->hasSyncError();
            inputs.isImporting = status->isImporting();
            inputs.isExporting = status->isExporting();
            switch (status->state()) {
            case CloudSyncStatus::State::syncing:
                inputs.state = PanelSyncBadge::State::syncing;
                break;
            case CloudSyncStatus::State::noAccount:
                inputs.state = PanelSyncBadge::State::noAccount;
                break;
            case CloudSyncStatus::State::localOnly:
                inputs.state = PanelSyncBadge::State::localOnly;
                break;
            case CloudSyncStatus::State::ephemeral:
                inputs.state = PanelSyncBadge::State::ephemeral;
                break;
            }
            return inputs;
        };
        deps.sync.observe = [status](QObject *context, std::function<void()> onChange) {
            QObject::connect(status, &CloudSyncStatus::changed, context, std::move(onChange));
        };
        deps.sync.statusText = [mode, status, self] {
            // A history that left its store file says where.
            const StoreCaretaker *caretaker = self ? self->m_storeCaretaker.get() : nullptr;
            if (caretaker && caretaker->hasLeftStore() && caretaker->fallbackPlace())
                return QStringLiteral("History is kept in a fallback store in %1 until its store can be used again.")
                    .arg(caretaker->fallbackPlace()->folder);
            // The badge follows where the history is, so its words do too.
            if (status->state() != CloudSyncStatus::State::ephemeral)
                return mode == PersistenceMode::cloudKit ? status->statusText()
                                                         : QStringLiteral("History is saved on this computer only.");
            return QStringLiteral("History is kept in memory and is lost when Brindlewax quits.");
        };
        deps.cardBadges = ClipCardResources::sourceAppBadges(*m_appearance);
        auto panel = std::make_unique<ControllerPanel>(std::move(deps));
        m_panelController = &panel->controller();
        m_panel = std::move(panel);
    }

    m_fileDrop = std::make_unique<NotchFileDropController>([self](const QList<QUrl> &files) {
        if (!self || !self->m_panel)
            return false;
        const ClipRef clip = self->m_panel->handleDroppedFiles(files);
        if (!clip)
            return false;
        self->registerSourceApp(clip);
        return true;
    });
}

void AppDelegate::buildUpdaterAndStatusItem()
{
    m_updater = std::make_unique<UpdateChecker>(
        m_prefs, QVersionNumber::fromString(QCoreApplication::applicationVersion()),
        [](const UpdateChecker::Result &r) {
            const bool available = r.kind == UpdateChecker::Result::Kind::available && r.downloadUrl.isValid();
            QMessageBox box(QMessageBox::Information, QStringLiteral("Brindlewax"), r.message,
                            available ? QMessageBox::Open | QMessageBox::Close : QMessageBox::Ok);
            DialogTitle::fit(&box);
            if (box.exec() == QMessageBox::Open && available)
                QDesktopServices::openUrl(r.downloadUrl);
        });

    m_statusItem = std::make_unique<StatusItemController>(
        *m_platform.glyphs,
        [this] {
            return StatusMenuState{m_prefs.get(PreferenceKeys::capturePaused),
                                   m_captureCoordinator && m_captureCoordinator->isRecording(),
                                   CaptureShortcutPreferences::load(m_prefs),
                                   m_captureCoordinator && m_captureCoordinator->isRecordingAvailable()};
        },
        [this](StatusMenuAction action) { handleStatusAction(int(action)); }, [this] { togglePanel(); });
}

void AppDelegate::buildCaptureFollowUps()
{
    CopyFeedback::Hooks feedback;
    feedback.isRecording = [this] { return m_captureCoordinator && m_captureCoordinator->isRecording(); };
    feedback.showCopiedIcon = [this](bool copied) {
        if (m_statusItem)
            m_statusItem->showCopiedIcon(copied);
    };
    m_copyFeedback = std::make_unique<CopyFeedback>(m_prefs, *m_platform.sounds, feedback);

    CaptureFollowUps::Hooks hooks;
    hooks.registerSourceApp = [this](const ClipRef &clip) { registerSourceApp(clip); };
    hooks.captureCoordinatorDidCapture = [this](const ClipRef &clip) {
        if (m_captureCoordinator)
            m_captureCoordinator->clipboardDidCapture(clip);
    };
    hooks.fetchLinkPreview = [this](const ClipRef &clip) { m_linkMetadata->fetchIfNeeded(clip); };
    m_captureFollowUps = std::make_unique<CaptureFollowUps>(*m_copyFeedback, m_center, hooks);

    QPointer<AppDelegate> self(this);
    m_monitor->setOnItemCaptured([self](const ClipRef &clip) {
        if (self)
            self->m_captureFollowUps->clipCaptured(clip);
    });
    m_center.addObserver(ownPasteboardWriteNotification, this,
                         [this](const Notification &note) { m_copyFeedback->handleOwnPasteboardWrite(note); });
}

void AppDelegate::startServices(const QStringList &arguments)
{
    ClipStore &store = m_environment.store();
    m_center.addObserver(Notices::panelDidShow, this, [this](const Notification &) {
        m_environment.store().deleteExpiredTemporaryClips(m_environment.store().now());
    });
    // Newest first, so an application's current name wins over one from long ago. A long history
    // takes a while to go through: a store file is read off the main thread.
    auto registerApps = [this](const std::vector<std::pair<QString, std::optional<QString>>> &apps) {
        for (const auto &[bundleID, name] : apps)
            m_sourceApps->registerApplication(bundleID, name);
    };
    if (store.container().isInMemory())
        deferOnMain(this,
                    [this, registerApps] { registerApps(m_environment.store().context().sourceAppsNewestFirst()); });
    else
        inBackground(
            this, [path = store.container().storeURL()] { return ModelContainer::sourceAppsStoredAt(path); },
            registerApps);

    if (arguments.contains(QStringLiteral("--demo-data"))
        && m_environment.persistence().mode == PersistenceMode::inMemory)
        seedDemoData(store);

    if (m_platform.installStatusItem)
        m_statusItem->install();
    if (const QString reason = m_prefs.unusableReason(); !reason.isEmpty())
        m_statusItem->showMessage(QStringLiteral("Brindlewax"), reason);
    // Settings that cannot be written are said at the change, not found missing after a restart.
    else if (const QString notice = m_prefs.writeFailureNotice(); !notice.isEmpty())
        m_statusItem->showMessage(QStringLiteral("Brindlewax"), notice);
    connect(&m_prefs, &Preferences::writeFailed, this,
            [this](const QString &notice) { m_statusItem->showMessage(QStringLiteral("Brindlewax"), notice); });
    // A folder that takes no writes is told now, not at whatever change first meets it.
    m_prefs.checkWritable();

    // Store trouble met while opening, or later, reaches the user once per kind, and every file set aside.
    m_storeCaretaker = std::make_unique<StoreCaretaker>(store, m_environment.persistence());
    connect(m_storeCaretaker.get(), &StoreCaretaker::troubleOccurred, this, [this](const StoreTrouble &trouble) {
        m_statusItem->showMessage(QStringLiteral("Brindlewax"), trouble.message());
    });
    connect(&store, &ClipStore::storeFileChanged, this,
            [this](const QString &message) { m_statusItem->showMessage(QStringLiteral("Brindlewax"), message); });
    deferOnMain(this, [this] { m_storeCaretaker->start(); });
    // Damage no read meets is found by a check of the whole file.
    m_storeCheck = std::make_unique<StoreCheck>(store);

    store.deleteExpiredTemporaryClips(store.now());
    scheduleTemporaryClipPruning();

    if (m_platform.watchDrops)
        m_fileDrop->start();
    m_monitor->start();
    registerHotKeys();
    if (m_captureCoordinator)
        m_captureCoordinator->start();
}

void AppDelegate::registerHotKeys()
{
    if (!m_platform.hotKeys)
        return;
    QPointer<AppDelegate> self(this);
    m_panelHotKeyID = m_platform.hotKeys->registerHotKey(panelKeyCode, panelModifiers, [self] {
        if (self)
            self->togglePanel();
    });
    if (!m_panelHotKeyID)
        qCCritical(lcApp, "Failed to register the global %s hotkey", qPrintable(panelShortcutText()));
    m_pasteNextHotKeyID = m_platform.hotKeys->registerHotKey(panelKeyCode, pasteNextModifiers, [self] {
        if (self)
            self->m_sequentialPaste->pasteNext();
    });
    if (!m_pasteNextHotKeyID)
        qCCritical(lcApp, "Failed to register the global %s paste-next hotkey", qPrintable(pasteNextShortcutText()));
}

void AppDelegate::handleArguments(const QStringList &arguments)
{
    if (arguments.contains(QStringLiteral("--show-panel")))
        deferOnMain(this, [this] {
            if (m_panel)
                m_panel->show();
        });
    if (arguments.contains(QStringLiteral("--show-settings")))
        deferOnMain(this, [this] { openSettingsWindow(); });
    // A second start that asks for the guide brings up the running copy's.
    if (arguments.contains(QStringLiteral("--show-onboarding"))
        && !arguments.contains(QStringLiteral("--skip-onboarding")))
        deferOnMain(this, [this] { showOnboarding(); });
}

void AppDelegate::applicationWillTerminate()
{
    m_temporaryClipPruneTimer.stop();
    if (m_fileDrop)
        m_fileDrop->stop();
    if (m_captureCoordinator)
        m_captureCoordinator->stopObservers();
    if (m_storeCaretaker)
        m_storeCaretaker->end();
}

void AppDelegate::scheduleTemporaryClipPruning()
{
    m_temporaryClipPruneTimer.stop();
    m_temporaryClipPruneTimer.setInterval(pruneIntervalMs);
    m_temporaryClipPruneTimer.setTimerType(Qt::VeryCoarseTimer);
    m_temporaryClipPruneTimer.disconnect(this);
    connect(&m_temporaryClipPruneTimer, &QTimer::timeout, this,
            [this] { m_environment.store().deleteExpiredTemporaryClips(m_environment.store().now()); });
    m_temporaryClipPruneTimer.start();
}

void AppDelegate::togglePanel()
{
    if (!m_panel)
        return;
    if (!m_panel->isVisible() || m_panel->isHiding())
        m_panel->show();
    else
        m_panel->hide();
}

void AppDelegate::openSettingsWindow()
{
    if (m_panel)
        m_panel->hide();
    if (m_platform.openSettings) {
        m_platform.openSettings();
        return;
    }
    if (!m_settingsWindow) {
        SettingsWindow::Dependencies deps;
        deps.preferences = &m_prefs;
        deps.store = &m_environment.store();
        deps.syncStatus = &m_environment.syncStatus();
        deps.paneRequests = &m_settingsPaneRequests;
        deps.pasteKeysAvailable = [this] { return m_pasteService && m_pasteService->isTrusted(); };
        deps.keysyms = &HotKeyCenter::keysymForKeyCode;
        deps.suspendHotKeys = [this]() -> std::shared_ptr<void> {
            return m_platform.hotKeys ? m_platform.hotKeys->suspendGrabs() : nullptr;
        };
        deps.center = &m_center;
        deps.pasteboard = m_platform.pasteboard.get();
        deps.isCaptureShortcutRefused = [this](CaptureAction action) {
            return m_captureCoordinator && m_captureCoordinator->isCaptureHotKeyRefused(action);
        };
        deps.shortVersion = QCoreApplication::applicationVersion();
        deps.sync.origin = SyncSettings::probeOrigin(m_prefs);
        deps.sync.health = &m_environment.syncHealth();
        deps.sync.activeFolder = m_environment.persistence().mode == PersistenceMode::cloudKit
            ? SyncSettings::folder(QCoreApplication::arguments(), m_prefs)
            : QString();
        m_settingsWindow = std::make_unique<SettingsWindow>(std::move(deps));
    }
    m_settingsWindow->showAndActivate();
}

void AppDelegate::showOnboarding()
{
    if (m_panel)
        m_panel->hideImmediately();
    QPointer<AppDelegate> self(this);
    auto finished = [self](std::optional<bool> showPanel) {
        if (self)
            self->onboardingFinished(showPanel);
    };
    if (m_platform.showOnboarding) {
        if (m_onboardingOpen)
            return;
        m_onboardingOpen = true;
        m_platform.showOnboarding(finished);
        return;
    }
    // A second request brings the open guide to the front instead of making another.
    if (!m_onboarding) {
        OnboardingFlow::Dependencies deps;
        deps.preferences = &m_prefs;
        deps.syncStatus = &m_environment.syncStatus();
        // The settings window's own checks. X11 has no settings page for either permission.
        deps.checks.screenPixelsReadable = &X11Desktop::screenPixelsReadable;
        deps.checks.pasteKeysAvailable = [self] {
            return self && self->m_pasteService && self->m_pasteService->isTrusted();
        };
        m_onboarding = new OnboardingWindowController(std::move(deps), finished, this);
        m_onboardingOpen = true;
    }
    m_onboarding->showAndActivate();
}

OnboardingWindowController *AppDelegate::onboarding() const
{
    return m_onboarding;
}

void AppDelegate::onboardingFinished(std::optional<bool> showPanel)
{
    m_onboardingOpen = false;
    // The controller is still on the stack that told us; it goes once that returns.
    if (m_onboarding)
        m_onboarding->deleteLater();
    m_onboarding = nullptr;
    if (!showPanel.value_or(false))
        return;
    QPointer<AppDelegate> self(this);
    QTimer::singleShot(120, this, [self] {
        if (self && self->m_panel)
            self->m_panel->show();
    });
}

void AppDelegate::checkForUpdates()
{
    if (m_panel)
        m_panel->hideImmediately();
    m_updater->checkForUpdates();
}

void AppDelegate::handleStatusAction(int value)
{
    const auto action = StatusMenuAction(value);
    auto capture = [this](CaptureAction which) {
        if (m_captureCoordinator)
            m_captureCoordinator->perform(which);
        else
            qCInfo(lcApp, "Screen capture is not available in this version yet");
    };
    switch (action) {
    case StatusMenuAction::togglePanel:
        togglePanel();
        break;
    case StatusMenuAction::toggleCapturePaused:
        m_prefs.setBool(PreferenceKeys::capturePaused, !m_prefs.get(PreferenceKeys::capturePaused));
        break;
    case StatusMenuAction::captureArea:
        capture(CaptureAction::areaScreenshot);
        break;
    case StatusMenuAction::captureFullScreen:
        capture(CaptureAction::fullScreenScreenshot);
        break;
    case StatusMenuAction::ocrArea:
        capture(CaptureAction::ocrArea);
        break;
    case StatusMenuAction::toggleScreenRecording:
        capture(CaptureAction::screenRecording);
        break;
    case StatusMenuAction::checkForUpdates:
        checkForUpdates();
        break;
    case StatusMenuAction::openSettings:
        openSettingsWindow();
        break;
    case StatusMenuAction::openOnboarding:
        showOnboarding();
        break;
    case StatusMenuAction::quit:
        QApplication::quit();
        break;
    case StatusMenuAction::separator:
        break;
    }
}

} // namespace quillmere
