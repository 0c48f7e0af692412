#pragma once

#include "Quillmere/Onboarding/OnboardingFlow.h"

#include <QPointer>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class QStackedWidget;

namespace quillmere {

class OnboardingButton;
class OnboardingPage;
class OnboardingStepButton;

// The guide's window: the sidebar of steps beside the page of the chosen step and the
// navigation bar, in a fixed frame. It reports its closing; what that means is the flow's.
class OnboardingWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int windowWidth = 780;
    static constexpr int windowHeight = 580;
    static constexpr int sidebarWidth = 220;

    explicit OnboardingWindow(OnboardingFlow &flow, QWidget *parent = nullptr);

    OnboardingFlow &flow() const { return m_flow; }
    OnboardingStepButton *stepButton(OnboardingStep step) const;
    OnboardingPage *page(OnboardingStep step) const;
    OnboardingPage *currentPage() const;
    OnboardingButton *skipButton() const { return m_skip; }
    OnboardingButton *backButton() const { return m_back; }
    // "Continue", or "Finish & Open" on the last step.
    OnboardingButton *forwardButton() const { return m_forward; }

Q_SIGNALS:
    void closing();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    QWidget *makeSidebar();
    QWidget *makeDetail();
    void refresh();

    OnboardingFlow &m_flow;
    std::map<OnboardingStep, OnboardingStepButton *> m_steps;
    std::map<OnboardingStep, OnboardingPage *> m_pages;
    QStackedWidget *m_stack = nullptr;
    OnboardingButton *m_skip = nullptr;
    OnboardingButton *m_back = nullptr;
    OnboardingButton *m_forward = nullptr;
    bool m_closing = false;
};

// Owns one run of the guide: its flow and its window, from the first showing until the window
// closes. `onFinished` hears once how it ended: true for "Finish & Open", false for "Skip Setup",
// none for the close button. A closed guide is never shown again; a later one is a new controller.
class OnboardingWindowController : public QObject {
    Q_OBJECT
public:
    OnboardingWindowController(OnboardingFlow::Dependencies deps, std::function<void(std::optional<bool>)> onFinished,
                               QObject *parent = nullptr);
    ~OnboardingWindowController() override;

    // Brings the window to the front with its present step, where the desktop allows.
    void showAndActivate();
    void finish(bool openPanel);
    OnboardingFlow &flow() const { return *m_flow; }
    // None once the window has closed.
    OnboardingWindow *window() const { return m_window; }

private:
    void windowWillClose();

    std::unique_ptr<OnboardingFlow> m_flow;
    std::function<void(std::optional<bool>)> m_onFinished;
    QPointer<OnboardingWindow> m_window;
    bool m_centred = false;
};

} // namespace quillmere
