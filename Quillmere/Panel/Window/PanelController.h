#pragma once

#include "Quillmere/Clipboard/PasteService.h"
#include "Quillmere/Model/Records.h"
#include "Quillmere/Pages/Widgets/ClipCardView.h"
#include "Quillmere/Panel/Menus/HistoryActions.h"
#include "Quillmere/Panel/Window/HistoryHeaderBar.h"
#include "Quillmere/Panel/Window/PanelGeometry.h"
#include "Quillmere/Panel/Window/PanelKeyboardTap.h"
#include "Quillmere/Panel/Window/PanelSlide.h"
#include "Quillmere/Platform/DesktopOpener.h"
#include "Quillmere/Platform/KeyInjector.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>

namespace quillmere {

class ClipStore;
class ClipThumbnails;
class HistoryContentView;
class HistoryPanel;
class HistoryStore;
class HistoryViewModel;
class NotificationCenter;
class PanelDropContainerView;
class PasteStackAccess;
class Preferences;
class SemanticScorer;
class QtTaskScheduler;
class SequentialPasteController;
class WindowActivator;

struct PanelControllerDependencies {
    ClipStore *store = nullptr;
    PasteService *pasteService = nullptr;
    SequentialPasteController *sequentialPaste = nullptr;
    NotificationCenter *notificationCenter = nullptr;
    Preferences *preferences = nullptr;
    WindowActivator *windows = nullptr;
    KeyInjector *keys = nullptr;              // none: XTest
    SemanticScorer *semanticEngine = nullptr; // none: nothing is listed as related
    // Why the history's store cannot be used now, while its clips wait in it; empty when it can.
    std::function<QString()> storeUnusableNotice;
    std::function<void()> onCheckForUpdates;
    std::function<void()> openSettings;
    // "--keep-open": the panel stays when another window takes the focus.
    bool keepOpen = false;
    // Where the pointer is; the cursor's position when unset.
    std::function<QPoint()> pointer;
    // Whether a pointer button is down; the X server's answer when unset.
    std::function<bool()> pointerButtonsDown;
    // "Quit Brindlewax"; the application's quit when unset.
    std::function<void()> quit;
    // The file dialogs of "Add File…" and "Share Page…"; Qt's own when unset.
    std::function<std::optional<QString>(const FileChoice &)> chooseFile;
    // What opens a clip's preview; xdg-open unless a test names another program.
    DesktopOpener opener;
    // The sync badge; "Not saved" when unset.
    HistoryHeaderBar::SyncSource sync;
    // The cards' application badges; none draws the kind's glyph.
    ClipCardResources::BadgeSource cardBadges;
};

// The history panel's controller: shows it under the top edge of the pointer's screen, gives it
// the keyboard and hands the keyboard back, pastes what the history view picks into the window
// that was in front, and turns dropped files into a clip. Main thread only.
class PanelController : public QObject {
    Q_OBJECT
public:
    static inline const QString dropSourceName = QStringLiteral("Quillmere Drop");
    static inline const QString ownBundleID = QStringLiteral("com.orvantide.quillmere");

    explicit PanelController(PanelControllerDependencies deps, QObject *parent = nullptr);
    ~PanelController() override;

    HistoryPanel &panel() const { return *m_panel; }
    HistoryViewModel &model() const { return *m_model; }
    HistoryContentView &contentView() const { return *m_contentView; }
    HistoryActions &actions() const { return *m_actions; }
    PanelKeyboardTap &keyboardTap() { return m_tap; }
    // The window is on screen (also while it slides either way).
    bool isVisible() const;
    // From the start of the hide until the window is ordered out.
    bool isHiding() const { return m_phase == Phase::hiding || m_phase == Phase::returningFocus; }
    // Slid in completely.
    bool isShown() const { return m_phase == Phase::shown; }
    const std::optional<PasteService::PasteTarget> &pasteTarget() const { return m_pasteTarget; }

    void show();
    // Slides up, then gives the keyboard back to the paste target and types there what the
    // user typed meanwhile.
    void hide();
    // Gone at once, without a slide; whether it was open (shown, showing or hiding).
    bool hideImmediately();
    void paste(const ClipRef &clip);
    // True: the text was handed on to be pasted.
    bool pasteText(const QString &text);
    // One temporary clip of the files, put on the clipboard; the panel shows (or, already open,
    // shows anew). None when the files made no clip.
    ClipRef handleDroppedFiles(const QList<QUrl> &files);

Q_SIGNALS:
    // The slide in ended.
    void shown();
    // The window was ordered out and the keyboard handed back.
    void hidden();

private:
    enum class Phase { hidden, showing, shown, hiding, returningFocus };

    void configureContent();
    std::optional<QString> chooseFile(const FileChoice &choice);
    void observeActiveApplication();
    void observeKeyboardCaptureChanges();
    void observeInteractionModeChanges();

    void recordPasteTarget();
    void placeOnPointerScreen();
    void hide(bool returnFocus);
    void slideFinished(PanelSlide::Direction direction);
    void returnFocus();
    void waitForTarget(quint64 generation, int attempt);
    void finishHide();
    // Lets the keyboard go without typing what it held.
    void dropHeldKeys();
    void orderOutNow();
    void handleDeactivation();
    void confirmFocusLost();
    void watchManagerNamingPanel();
    // Within the time the window manager is given to name the panel once it has the focus.
    bool withinCatchUp() const;
    // The window manager's active window, noting whether it named the panel.
    std::optional<WindowTarget> readActiveWindow();
    // The focus went while a button was held: a drag may be starting from the window that took
    // it. Decided once the buttons are up.
    void waitForButtonRelease();
    bool handleKeyPress(const CapturedKey &key);
    void handleReturn();
    // Takes the panel away at once and gives the keyboard back, before the paste goes out.
    void closeForPaste();
    void deliverPaste(const std::optional<int> &caretBack);

    PanelControllerDependencies m_deps;
    std::unique_ptr<KeyInjector> m_ownKeys;
    std::unique_ptr<HistoryStore> m_history;
    std::unique_ptr<QtTaskScheduler> m_scheduler;
    std::unique_ptr<PasteStackAccess> m_pasteStack;
    std::unique_ptr<HistoryViewModel> m_model;
    std::unique_ptr<HistoryActions> m_actions;
    std::unique_ptr<ClipThumbnails> m_thumbnails;
    PanelDropContainerView *m_container = nullptr; // owned by the panel
    HistoryContentView *m_contentView = nullptr;   // owned by the container
    std::unique_ptr<HistoryPanel> m_panel;
    PanelKeyboardTap m_tap;
    PanelSlide m_slide;
    Phase m_phase = Phase::hidden;
    std::optional<PasteService::PasteTarget> m_pasteTarget;
    bool m_returnFocus = true;
    bool m_showAfterHandOff = false;
    // Raised whenever a pending wait for the paste target must be dropped.
    quint64 m_focusGeneration = 0;
    // Looks again whether the focus the panel lost went to another window.
    static constexpr int maxFocusChecks = 100;
    QTimer m_focusCheck;
    int m_focusChecks = 0;
    // In this showing: whether the window manager has named the panel the active window yet, and
    // since when it is given to (the showing, then the panel's first focus); looks again until
    // the manager does.
    bool m_managerNamedPanel = false;
    bool m_focusSeen = false;
    QElapsedTimer m_catchUpSince;
    QTimer m_namingCheck;
    static constexpr int managerCatchUpMs = 1500;
    QTimer m_buttonWatch;
    // A drag of files came over the panel or was dropped on it while the buttons were held.
    bool m_dragArrived = false;
};

} // namespace quillmere
