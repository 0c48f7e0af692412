#pragma once

#include "Quillmere/Capture/CaptureShortcuts.h"
#include "Quillmere/Model/Records.h"
#include "Quillmere/Settings/Core/SettingsPane.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>

namespace quillmere {

class AppEnvironment;
class ClipboardMonitor;
class CaptureFollowUps;
class SemanticSearchEngine;
class CopyFeedback;
class DesktopEntries;
class HotKeyCenter;
class KeyInjector;
class LinkMetadataService;
class NotchFileDropController;
class NotificationCenter;
class OnboardingWindowController;
class PanelController;
class Pasteboard;
class PasteService;
class Preferences;
class SequentialPasteController;
class SettingsWindow;
class SoundPlayer;
class SourceAppAppearance;
class SourceAppRegistry;
class StatusGlyphs;
class StatusItemController;
class StoreCaretaker;
class StoreCheck;
class UpdateChecker;
class WindowActivator;

// What the history panel offers the shell; the panel controller, unless the platform plugs in
// another.
class PanelPresenting {
public:
    virtual ~PanelPresenting() = default;
    virtual bool isVisible() const = 0;
    virtual bool isHiding() const = 0;
    virtual void show() = 0;
    virtual void hide() = 0;
    // Gone at once, without a slide; whether it was open (or on its way out).
    virtual bool hideImmediately() = 0;
    // Stores dropped files as one temporary clip and puts it on the clipboard.
    virtual ClipRef handleDroppedFiles(const QList<QUrl> &files) = 0;
};

// What the screen-capture coordinator offers the shell.
class CaptureCoordinating {
public:
    virtual ~CaptureCoordinating() = default;
    virtual void start() = 0;
    virtual void stopObservers() = 0;
    virtual void perform(CaptureAction action) = 0;
    virtual void clipboardDidCapture(const ClipRef &clip) = 0;
    virtual bool isRecording() const = 0;
    virtual bool isRecordingAvailable() const { return true; }
    // The X server refused the action's shortcut: another program holds it.
    virtual bool isCaptureHotKeyRefused(CaptureAction) const { return false; }
};

// Builds and wires every long-lived part of the program at launch, in a fixed order, and stops
// what must stop at the end. Owns everything it builds.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    struct Platform {
        Platform();
        ~Platform();
        Platform(Platform &&) noexcept;
        Platform &operator=(Platform &&) noexcept;

        std::unique_ptr<Pasteboard> pasteboard;
        std::unique_ptr<KeyInjector> keys;
        std::unique_ptr<WindowActivator> windows;
        std::unique_ptr<SoundPlayer> sounds;
        std::unique_ptr<HotKeyCenter> hotKeys;
        std::shared_ptr<const DesktopEntries> applications;
        std::shared_ptr<StatusGlyphs> glyphs;
        // Later parts of the program plug in here; empty ones log that they are not there yet.
        // Without `makePanel` the history panel's controller is built.
        std::function<std::unique_ptr<PanelPresenting>(AppDelegate &)> makePanel;
        // Empty: the real coordinator with the screenshot tool beside the program.
        std::function<std::unique_ptr<CaptureCoordinating>(AppDelegate &)> makeCaptureCoordinator;
        QString screenshotTool; // empty: quillmere-screenshot beside the program
        std::function<void()> openSettings;
        std::function<void(std::function<void(std::optional<bool>)> onFinished)> showOnboarding;
        bool installStatusItem = true;
        bool registerHotKeys = true;
        bool watchDrops = true;
        // A demo: the sounds' files and the search's scratch files stay in memory, out of the
        // user's cache folder.
        bool filesInMemory = false;
    };

    static constexpr int pruneIntervalMs = 300 * 1000;
    static constexpr quint32 panelKeyCode = 9; // V
    static constexpr quint32 panelModifiers = CarbonModifier::shift | CarbonModifier::command;
    static constexpr quint32 pasteNextModifiers = CarbonModifier::option | CarbonModifier::command;

    AppDelegate(AppEnvironment &environment, Preferences &prefs, NotificationCenter &center, Platform platform,
                QObject *parent = nullptr);
    ~AppDelegate() override;

    void applicationDidFinishLaunching(const QStringList &arguments);
    // Once, from the program's last steps, whichever way it ends.
    void applicationWillTerminate();
    // Arguments handed over by a second start.
    void handleArguments(const QStringList &arguments);

    static bool shouldShowOnboarding(const QStringList &arguments, const Preferences &prefs);
    static void runCaptureUnpauseMigration(Preferences &prefs);

    void togglePanel();
    void openSettingsWindow();
    void showOnboarding();
    void checkForUpdates();

    // Parts, for the pieces that plug in and for tests.
    AppEnvironment &environment() const { return m_environment; }
    ClipboardMonitor *monitor() const { return m_monitor.get(); }
    PasteService *pasteService() const { return m_pasteService.get(); }
    SequentialPasteController *sequentialPaste() const { return m_sequentialPaste.get(); }
    StatusItemController *statusItem() const { return m_statusItem.get(); }
    CopyFeedback *copyFeedback() const { return m_copyFeedback.get(); }
    NotchFileDropController *fileDrop() const { return m_fileDrop.get(); }
    StoreCaretaker *storeCaretaker() const { return m_storeCaretaker.get(); }
    PanelPresenting *panel() const { return m_panel.get(); }
    // The history panel's controller; none when the platform plugged in another panel.
    PanelController *panelController() const { return m_panelController; }
    // "--keep-open" was among the launch arguments.
    bool keepsPanelOpen() const { return m_keepPanelOpen; }
    std::optional<quint32> panelHotKeyID() const { return m_panelHotKeyID; }
    std::optional<quint32> pasteNextHotKeyID() const { return m_pasteNextHotKeyID; }
    Pasteboard &pasteboard() const { return *m_platform.pasteboard; }
    SettingsPaneRequests &settingsPaneRequests() { return m_settingsPaneRequests; }
    SettingsWindow *settingsWindow() const { return m_settingsWindow.get(); }
    // The setup guide while it is open.
    OnboardingWindowController *onboarding() const;

private:
    // Start-up, in this order: the pipelines are built, the windows and tray made, then started.
    void buildClipboardPipeline();
    void buildPasteRoad();
    void buildSourceApps();
    void buildPanelAndDrops();
    void buildCaptureCoordinator();
    void buildUpdaterAndStatusItem();
    void buildCaptureFollowUps();
    void startServices(const QStringList &arguments);
    // Mirrors the store to the sync folder when one is set (SyncWiring.cpp).
    void startSync(const QStringList &arguments);
    void registerHotKeys();

    void scheduleTemporaryClipPruning();
    void handleStatusAction(int action);
    void registerSourceApp(const ClipRef &clip);
    void onboardingFinished(std::optional<bool> showPanel);

    AppEnvironment &m_environment;
    Preferences &m_prefs;
    NotificationCenter &m_center;
    Platform m_platform;

    std::unique_ptr<ClipboardMonitor> m_monitor;
    std::unique_ptr<PasteService> m_pasteService;
    std::unique_ptr<SequentialPasteController> m_sequentialPaste;
    std::unique_ptr<LinkMetadataService> m_linkMetadata;
    std::unique_ptr<SourceAppAppearance> m_appearance;
    std::unique_ptr<SourceAppRegistry> m_sourceApps;
    std::unique_ptr<PanelPresenting> m_panel;
    PanelController *m_panelController = nullptr; // owned through m_panel
    std::unique_ptr<NotchFileDropController> m_fileDrop;
    std::unique_ptr<CaptureCoordinating> m_captureCoordinator;
    std::unique_ptr<UpdateChecker> m_updater;
    std::unique_ptr<CopyFeedback> m_copyFeedback;
    std::unique_ptr<CaptureFollowUps> m_captureFollowUps;
    std::unique_ptr<SemanticSearchEngine> m_semanticEngine;
    std::unique_ptr<StatusItemController> m_statusItem;
    SettingsPaneRequests m_settingsPaneRequests{m_center};
    std::unique_ptr<SettingsWindow> m_settingsWindow;
    std::unique_ptr<StoreCaretaker> m_storeCaretaker;
    std::unique_ptr<StoreCheck> m_storeCheck;
    std::optional<quint32> m_panelHotKeyID;
    std::optional<quint32> m_pasteNextHotKeyID;
    QTimer m_temporaryClipPruneTimer;
    QPointer<OnboardingWindowController> m_onboarding;
    bool m_onboardingOpen = false;
    bool m_keepPanelOpen = false;
};

} // namespace quillmere
