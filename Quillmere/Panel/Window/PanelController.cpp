#include "Quillmere/Panel/Window/PanelController.h"

#include "Quillmere/Platform/Core/Notices.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include "Quillmere/Clipboard/PasteboardCapture.h"
#include "Quillmere/Clipboard/SequentialPasteController.h"
#include "Quillmere/Model/ClipPreview.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Pages/ClipThumbnails.h"
#include "Quillmere/Panel/HistoryStore.h"
#include "Quillmere/Panel/HistoryViewModel.h"
#include "Quillmere/Panel/TaskScheduler.h"
#include "Quillmere/Panel/Window/HistoryContentView.h"
#include "Quillmere/Panel/Window/HistoryPanel.h"
#include "Quillmere/Panel/Window/PanelDropContainerView.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Platform/WindowActivator.h"

#include <QApplication>
#include <QCursor>
#include <QFileDialog>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWindow>

namespace quillmere {
namespace {

std::vector<TypedKey> typedKeys(const std::vector<CapturedKey> &keys)
{
    std::vector<TypedKey> out;
    for (const CapturedKey &key : keys)
        out.push_back(TypedKey{key.nativeKeycode, key.nativeState});
    return out;
}

// The paste-next queue of the sequential paste controller, as the history view reads it.
class SequentialPasteStack : public PasteStackAccess {
public:
    explicit SequentialPasteStack(SequentialPasteController &controller) : m_controller(controller) {}
    std::vector<QUuid> stack() const override { return m_controller.stack().ids; }
    void setStack(const std::vector<QUuid> &ids) override { m_controller.setStack(PasteStack{ids}); }
    void retainOnly(const QSet<QUuid> &existing) override { m_controller.retainOnly(existing); }

private:
    SequentialPasteController &m_controller;
};

} // namespace

PanelController::PanelController(PanelControllerDependencies deps, QObject *parent)
    : QObject(parent), m_deps(std::move(deps)), m_tap([this](const PanelKey &key) {
          m_deps.notificationCenter->post(Notices::panelKeyPressed, nullptr, key.toUserInfo());
      })
{
    Q_ASSERT(m_deps.store && m_deps.pasteService && m_deps.notificationCenter && m_deps.preferences && m_deps.windows);
    if (!m_deps.keys) {
        m_ownKeys = std::make_unique<XTestKeyInjector>();
        m_deps.keys = m_ownKeys.get();
    }
    if (!m_deps.pointer)
        m_deps.pointer = [] { return QCursor::pos(); };
    if (!m_deps.pointerButtonsDown)
        m_deps.pointerButtonsDown = [] { return HistoryPanel::pointerButtonsDown(); };

    configureContent();
    connect(&m_slide, &PanelSlide::fractionChanged, m_panel.get(), &HistoryPanel::setVisibleFraction);
    connect(&m_slide, &PanelSlide::finished, this, &PanelController::slideFinished);
    // A hot key still down when the hide began kept the keyboard from us: asked again as it slides.
    connect(&m_slide, &PanelSlide::fractionChanged, this, [this] {
        if (m_phase == Phase::hiding && m_returnFocus && m_pasteTarget && !m_deps.keys->isHoldingKeys())
            m_deps.keys->holdKeys();
    });

    QPointer<PanelController> self(this);
    m_panel->onCancel = [self] {
        if (self)
            self->hide();
    };
    m_panel->onReturn = [self] {
        if (self)
            self->handleReturn();
    };
    m_panel->onKeyPress = [this](const CapturedKey &key) { return handleKeyPress(key); };
    m_panel->onKeyRelease = [this] { return m_tap.handleKeyRelease(); };
    m_panel->closing = [this] { return m_tap.isHandingOff(); };
    m_panel->requestActivation = [this] {
        m_deps.windows->activate(WindowTarget{quint32(m_panel->winId()), QCoreApplication::applicationPid()});
    };

    observeActiveApplication();
    observeKeyboardCaptureChanges();
    observeInteractionModeChanges();
}

PanelController::~PanelController()
{
    m_deps.notificationCenter->removeObservers(this);
}

void PanelController::configureContent()
{
    m_history = std::make_unique<ClipStoreHistory>(*m_deps.store);
    m_scheduler = std::make_unique<QtTaskScheduler>();
    if (m_deps.sequentialPaste)
        m_pasteStack = std::make_unique<SequentialPasteStack>(*m_deps.sequentialPaste);

    HistoryViewDependencies deps;
    deps.store = m_history.get();
    deps.notificationCenter = m_deps.notificationCenter;
    deps.preferences = m_deps.preferences;
    deps.scheduler = m_scheduler.get();
    deps.pasteStack = m_pasteStack.get();
    deps.semanticEngine = m_deps.semanticEngine;
    deps.storeUnusableNotice = m_deps.storeUnusableNotice;
    ClipStore *store = m_deps.store;
    deps.clock = [store] { return store->now(); };

    QPointer<PanelController> self(this);
    HistoryViewCallbacks callbacks;
    callbacks.onPaste = [self](const ClipSnapshot &snapshot) {
        if (!self)
            return;
        const ClipRef clip = self->m_deps.store->context().clip(snapshot.id);
        if (clip && !clip->isDeleted())
            self->paste(clip);
    };
    callbacks.onPasteText = [self](const QString &text) { return self && self->pasteText(text); };
    callbacks.onClose = [self] {
        if (self)
            self->hide();
    };
    callbacks.onCheckForUpdates = [self] {
        if (self && self->m_deps.onCheckForUpdates)
            self->m_deps.onCheckForUpdates();
    };
    callbacks.openSettings = [self] {
        if (!self)
            return;
        self->hide();
        if (self->m_deps.openSettings)
            self->m_deps.openSettings();
    };
    callbacks.beep = [self] {
        if (self)
            self->m_deps.pasteService->beep();
    };
    m_thumbnails = std::make_unique<ClipThumbnails>(ClipThumbnails::storeLoader(*m_deps.store));
    callbacks.prewarmThumbnails = [self](const std::vector<ThumbnailRequest> &requests) {
        if (self)
            self->m_thumbnails->prewarm(requests);
    };
    m_model = std::make_unique<HistoryViewModel>(deps, callbacks);
    connect(this, &PanelController::hidden, m_model.get(), &HistoryViewModel::panelDidHide);
    // Paste-next takes clips off the queue while the panel may be showing its count.
    if (m_deps.sequentialPaste)
        connect(m_deps.sequentialPaste, &SequentialPasteController::stackChanged, m_model.get(),
                &HistoryViewModel::pasteStackChanged);

    HistoryActionServices services;
    services.store = m_deps.store;
    services.model = m_model.get();
    services.notificationCenter = m_deps.notificationCenter;
    services.pasteStack = m_pasteStack.get();
    services.paste = [self](const ClipRef &clip) {
        if (self)
            self->paste(clip);
    };
    services.copyClip = [self](const ClipRef &clip) {
        return self && self->m_deps.pasteService->writeToPasteboard(*clip).has_value();
    };
    services.copyText = [self](const QString &text) {
        if (self)
            self->m_deps.pasteService->writeText(text);
    };
    services.beep = callbacks.beep;
    services.openPreview = [self, opener = m_deps.opener](const QUrl &target, std::function<void(bool)> done) {
        if (self)
            opener.open(target, self, std::move(done));
    };
    services.quit = m_deps.quit ? m_deps.quit : [] { QCoreApplication::quit(); };
    services.chooseFile = m_deps.chooseFile ? m_deps.chooseFile : [self](const FileChoice &choice) {
        return self ? self->chooseFile(choice) : std::optional<QString>();
    };
    services.entityHandlers = EntityActionHandlers::desktop(services.copyText);
    m_actions = std::make_unique<HistoryActions>(services);

    m_container = new PanelDropContainerView;
    ClipCardResources cards;
    cards.thumbnails = m_thumbnails.get();
    cards.badge = m_deps.cardBadges;
    HistoryHeaderBar::SyncSource sync = m_deps.sync;
    if (!sync.inputs)
        sync.inputs = [] { return PanelSyncBadge::Inputs{}; };
    m_contentView = new HistoryContentView(*m_model, *m_actions, cards, sync);
    m_container->setContentView(m_contentView);
    m_container->setDropHandler(
        [self](const QList<QUrl> &files) { return self && self->handleDroppedFiles(files) != nullptr; });
    m_panel = std::make_unique<HistoryPanel>(m_container);
}

std::optional<QString> PanelController::chooseFile(const FileChoice &choice)
{
    // The panel's own dialogs keep it open (see confirmFocusLost).
    QFileDialog dialog(m_contentView, choice.title);
    dialog.setLabelText(QFileDialog::Accept, choice.prompt);
    if (choice.mode == FileChoice::Mode::save) {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.selectFile(choice.suggestedName);
    } else {
        dialog.setFileMode(QFileDialog::ExistingFile);
    }
    if (!choice.extension.isEmpty()) {
        dialog.setNameFilter(QStringLiteral("Brindlewax Page (*.%1)").arg(choice.extension));
        dialog.setDefaultSuffix(choice.extension);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

// ---- Showing ------------------------------------------------------------------------------

bool PanelController::isVisible() const
{
    return m_panel->isVisible();
}

void PanelController::recordPasteTarget()
{
    std::optional<PasteService::PasteTarget> target = m_deps.pasteService->activeTarget();
    if (target && target->app.window == quint32(m_panel->winId()))
        return; // still ours from the last showing
    // A window of this process is matched by the window alone: the panel shares its pid.
    if (target && target->app.pid == QCoreApplication::applicationPid())
        target->app.pid = 0;
    m_pasteTarget = target;
}

void PanelController::placeOnPointerScreen()
{
    const QList<QScreen *> screens = QGuiApplication::screens();
    std::vector<ScreenMetrics> metrics;
    for (QScreen *screen : screens)
        metrics.push_back(ScreenMetrics{screen->geometry(), screen->availableGeometry()});
    const int mainIndex = int(screens.indexOf(QGuiApplication::primaryScreen()));
    const std::optional<int> index = screenWithMouse(metrics, m_deps.pointer(), mainIndex);
    const std::optional<NotchGeometry> notch = NotchGeometry::current(metrics, index, mainIndex);
    if (!notch)
        return;
    const ScreenMetrics &screen = metrics[size_t(notch->screenIndex)];
    m_container->setTopInset(notch->notchHeight);
    // Read at every showing: the settings may have changed it since.
    const PanelWidthMode mode = panelWidthModeFromRaw(m_deps.preferences->string(PreferenceKeys::panelWidthMode));
    m_panel->place(panelFrame(screen, *notch, mode));
}

void PanelController::show()
{
    if (m_phase == Phase::shown || m_phase == Phase::showing)
        return;
    // Keys typed to close the panel reach their window first; then it opens again.
    if (m_tap.hasKeptKeys()) {
        m_showAfterHandOff = true;
        return;
    }
    const bool reopening = isHiding();
    ++m_focusGeneration;
    m_tap.endHandOff();
    dropHeldKeys();
    if (!reopening) {
        recordPasteTarget();
        placeOnPointerScreen();
    }
    m_returnFocus = true;
    m_panel->allowsKeyFocus = true;
    m_managerNamedPanel = false;
    m_focusSeen = false;
    m_catchUpSince.start();
    // A modal dialog of the program (the settings' file dialogs) blocks every window but those it
    // owns: the panel would show while the keyboard stays with the dialog. Owned, it is not
    // modal itself, so going to the dialog still closes it.
    if (!m_panel->isVisible()) {
        m_panel->winId();
        m_panel->windowHandle()->setTransientParent(QGuiApplication::modalWindow());
    }
    m_phase = Phase::showing;
    m_slide.slideIn();
    m_panel->orderFront();
    m_tap.start();
    m_deps.notificationCenter->post(Notices::panelDidShow);
}

void PanelController::slideFinished(PanelSlide::Direction direction)
{
    if (direction == PanelSlide::Direction::in && m_phase == Phase::showing) {
        m_phase = Phase::shown;
        Q_EMIT shown();
    } else if (direction == PanelSlide::Direction::out && m_phase == Phase::hiding) {
        returnFocus();
    }
}

// ---- Hiding -------------------------------------------------------------------------------

void PanelController::hide()
{
    hide(true);
}

void PanelController::hide(bool returnFocus)
{
    if (m_phase == Phase::hidden || isHiding())
        return;
    m_phase = Phase::hiding;
    m_returnFocus = returnFocus;
    m_tap.beginHandOff();
    // Keys typed from now until the window underneath has the focus reach it in order only if
    // none can go there on its own meanwhile.
    if (returnFocus && m_pasteTarget)
        m_deps.keys->holdKeys();
    m_slide.slideOut();
}

void PanelController::returnFocus()
{
    m_phase = Phase::returningFocus;
    const quint64 generation = ++m_focusGeneration;
    const bool live = m_pasteTarget && !m_deps.windows->isTerminated(m_pasteTarget->app);
    if (!m_returnFocus || !live) {
        finishHide();
        return;
    }
    // The panel keeps the keyboard until the target has it, so no key falls in between.
    m_deps.windows->activate(m_pasteTarget->app);
    waitForTarget(generation, 0);
}

void PanelController::waitForTarget(quint64 generation, int attempt)
{
    if (generation != m_focusGeneration || m_phase != Phase::returningFocus)
        return;
    // Looked at often: the keys typed meanwhile wait for it.
    const PasteTimings &timings = m_deps.pasteService->timings();
    const int step = std::max(1, timings.focusPollInterval);
    if (m_deps.pasteService->isFrontmost(*m_pasteTarget)
        || attempt * step >= timings.activationAttempts * timings.activationInterval) {
        finishHide();
        return;
    }
    QTimer::singleShot(step, this, [this, generation, attempt] { waitForTarget(generation, attempt + 1); });
}

void PanelController::finishHide()
{
    ++m_focusGeneration;
    const std::vector<TypedKey> kept = typedKeys(m_tap.endHandOff());
    const bool targetInFront = m_returnFocus && m_pasteTarget && m_deps.pasteService->isFrontmost(*m_pasteTarget);
    if (targetInFront)
        m_deps.keys->releaseKeys(kept, true);
    orderOutNow();
    if (!targetInFront && (!kept.empty() || m_deps.keys->isHoldingKeys())) {
        // Whatever window the desktop puts in front gets them, once it has the focus.
        // Not when the panel was shown again meanwhile (it dropped them): they would land in its
        // own fields.
        QTimer::singleShot(m_deps.pasteService->timings().activationInterval, this, [this, kept] {
            if (m_phase == Phase::hidden)
                m_deps.keys->releaseKeys(kept, true);
        });
    }
    Q_EMIT hidden();
    if (std::exchange(m_showAfterHandOff, false))
        show();
}

void PanelController::dropHeldKeys()
{
    if (m_deps.keys->isHoldingKeys())
        m_deps.keys->releaseKeys({}, false);
}

void PanelController::orderOutNow()
{
    m_tap.stop();
    m_slide.jumpTo(0);
    m_panel->orderOut();
    m_phase = Phase::hidden;
}

bool PanelController::hideImmediately()
{
    const bool wasOpen = m_phase != Phase::hidden;
    ++m_focusGeneration;
    m_showAfterHandOff = false;
    m_tap.endHandOff();
    dropHeldKeys();
    orderOutNow();
    if (wasOpen)
        Q_EMIT hidden();
    return wasOpen;
}

// ---- Keys ---------------------------------------------------------------------------------

bool PanelController::handleKeyPress(const CapturedKey &key)
{
    return m_tap.handleKeyPress(key);
}

void PanelController::handleReturn()
{
    // No key event: the history view pastes its selection when it may.
    m_deps.notificationCenter->post(Notices::panelKeyPressed);
}

// ---- Pasting ------------------------------------------------------------------------------

void PanelController::closeForPaste()
{
    const bool wasOpen = m_phase != Phase::hidden;
    ++m_focusGeneration;
    m_showAfterHandOff = false;
    m_tap.endHandOff();
    dropHeldKeys();
    m_tap.setCapturePaused(false);
    m_panel->allowsKeyFocus = false;
    orderOutNow();
    if (wasOpen)
        Q_EMIT hidden();
}

void PanelController::paste(const ClipRef &clip)
{
    if (!clip)
        return;
    closeForPaste();
    deliverPaste(m_deps.pasteService->writeToPasteboard(*clip));
    m_deps.store->bumpToTop(clip, m_deps.store->now());
}

bool PanelController::pasteText(const QString &text)
{
    closeForPaste();
    m_deps.pasteService->writeText(text);
    deliverPaste(0);
    return true;
}

void PanelController::deliverPaste(const std::optional<int> &caretBack)
{
    // Nothing written (the beep said so): no keystroke either.
    if (!caretBack)
        return;
    // A recorded window that is gone takes nothing, and neither does whatever replaced it.
    if (m_pasteTarget && m_deps.windows->isTerminated(m_pasteTarget->app)) {
        qCInfo(lcPaste) << "The window to paste into is gone; the clip stays on the clipboard";
        return;
    }
    m_deps.pasteService->deliverPaste(m_pasteTarget, *caretBack);
}

// ---- Dropped files ------------------------------------------------------------------------

ClipRef PanelController::handleDroppedFiles(const QList<QUrl> &files)
{
    const auto capture = PasteboardCapture::fileCapture(files, dropSourceName, ownBundleID);
    if (!capture)
        return nullptr;
    const ClipRef clip = m_deps.store->insertTemporaryClip(capture->content);
    if (!clip)
        return nullptr;
    m_deps.pasteService->writeToPasteboard(*clip);
    if (m_buttonWatch.isActive())
        m_dragArrived = true;
    if (m_phase == Phase::shown || m_phase == Phase::showing)
        m_deps.notificationCenter->post(Notices::panelDidShow);
    else
        show();
    return clip;
}

} // namespace quillmere
