// The panel's watch on the focus and on the notices that change how it reads keys: when another
// window takes the focus, the panel closes, unless the window manager has only not caught up yet.
#include "Quillmere/Panel/Window/PanelController.h"

#include "Quillmere/Panel/Window/HistoryPanel.h"
#include "Quillmere/Panel/Window/PanelDropContainerView.h"
#include "Quillmere/Platform/Core/Notices.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/WindowActivator.h"

#include <QGuiApplication>
#include <QTimer>
#include <QWindow>
#include <utility>

namespace quillmere {

// ---- Observers ----------------------------------------------------------------------------

void PanelController::observeActiveApplication()
{
    connect(m_panel.get(), &HistoryPanel::deactivated, this, &PanelController::handleDeactivation);
    connect(m_panel.get(), &HistoryPanel::activated, this, [this] {
        // The window manager's lag is counted again from when the panel first has the focus: on
        // a busy machine the showing itself can take a good part of the time allowed.
        if (!std::exchange(m_focusSeen, true))
            m_catchUpSince.start();
        watchManagerNamingPanel();
    });
    m_namingCheck.setSingleShot(true);
    m_namingCheck.setInterval(m_deps.pasteService->timings().activationInterval);
    connect(&m_namingCheck, &QTimer::timeout, this, &PanelController::watchManagerNamingPanel);
    m_focusCheck.setSingleShot(true);
    m_focusCheck.setInterval(m_deps.pasteService->timings().activationInterval);
    connect(&m_focusCheck, &QTimer::timeout, this, &PanelController::confirmFocusLost);
    m_buttonWatch.setInterval(m_deps.pasteService->timings().activationInterval / 2);
    connect(&m_buttonWatch, &QTimer::timeout, this, &PanelController::waitForButtonRelease);
    connect(m_container, &FileDropView::dropTargetedChanged, this, [this](bool targeted) {
        if (targeted && m_buttonWatch.isActive())
            m_dragArrived = true;
    });
}

void PanelController::handleDeactivation()
{
    if (m_phase == Phase::returningFocus) {
        // The paste target may be back already; no need to wait for the next check.
        if (m_deps.pasteService->isFrontmost(*m_pasteTarget))
            finishHide();
        return;
    }
    if (m_deps.keepOpen)
        return;
    m_focusChecks = 0;
    confirmFocusLost();
}

void PanelController::confirmFocusLost()
{
    m_focusCheck.stop();
    if ((m_phase != Phase::shown && m_phase != Phase::showing) || m_panel->hasKeyFocus())
        return;
    // A dialog the panel opened keeps it open.
    for (QWindow *w = QGuiApplication::focusWindow(); w; w = w->transientParent()) {
        if (w == m_panel->windowHandle())
            return;
    }
    // Another window took the focus once the window manager says so. While it still names the
    // panel, a keyboard grab is passing through (a hot key held down, the manager's own window
    // switcher) or the manager has not caught up yet: look again shortly.
    const std::optional<WindowTarget> active = readActiveWindow();
    // Opened right after a paste or under load, the manager may not have acted on our request
    // yet: it names no window, or still the one that was in front, which the hot key's grab
    // ending just gave the focus back to. Not a window the user went to.
    const bool managerBehind = !m_managerNamedPanel && withinCatchUp()
        && (!active || (m_pasteTarget && active->window == m_pasteTarget->app.window));
    if (managerBehind) {
        m_focusCheck.start();
        return;
    }
    if (!active || active->window != quint32(m_panel->winId())) {
        // Pressing on a file to drag it here gives its window the focus first.
        if (m_deps.pointerButtonsDown()) {
            m_dragArrived = false;
            m_buttonWatch.start();
            return;
        }
        hide(false);
        return;
    }
    if (++m_focusChecks <= maxFocusChecks)
        m_focusCheck.start();
}

void PanelController::watchManagerNamingPanel()
{
    // The manager names the window it focused a moment after the window hears of it.
    if (m_managerNamedPanel || (m_phase != Phase::showing && m_phase != Phase::shown) || !m_panel->hasKeyFocus()
        || !withinCatchUp())
        return;
    readActiveWindow();
    if (!m_managerNamedPanel)
        m_namingCheck.start();
}

bool PanelController::withinCatchUp() const
{
    return m_catchUpSince.isValid() && m_catchUpSince.elapsed() < managerCatchUpMs;
}

std::optional<WindowTarget> PanelController::readActiveWindow()
{
    std::optional<WindowTarget> active = m_deps.windows->activeWindow();
    m_managerNamedPanel = m_managerNamedPanel || (active && active->window == quint32(m_panel->winId()));
    return active;
}

void PanelController::waitForButtonRelease()
{
    if (m_phase != Phase::shown && m_phase != Phase::showing) {
        m_buttonWatch.stop();
        return;
    }
    if (m_deps.pointerButtonsDown())
        return;
    m_buttonWatch.stop();
    // The drop, still on its way or done: the panel stays and takes the keyboard back.
    if (std::exchange(m_dragArrived, false) || m_container->isDropTargeted()) {
        m_panel->orderFront();
        return;
    }
    m_focusChecks = 0;
    confirmFocusLost();
}

void PanelController::observeKeyboardCaptureChanges()
{
    m_deps.notificationCenter->addObserver(Notices::panelKeyboardCaptureChanged, this, [this](const Notification &n) {
        m_tap.setCapturePaused(n.userInfo.value(QStringLiteral("paused")).toBool());
    });
}

void PanelController::observeInteractionModeChanges()
{
    m_deps.notificationCenter->addObserver(Notices::panelInteractionModeChanged, this, [this](const Notification &n) {
        if (const auto mode = panelKeyboardModeFromRaw(n.userInfo.value(QStringLiteral("mode")).toString()))
            m_tap.setMode(*mode);
    });
}

} // namespace quillmere
