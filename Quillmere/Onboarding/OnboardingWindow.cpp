#include "Quillmere/Onboarding/OnboardingWindow.h"

#include "Quillmere/Onboarding/OnboardingContent.h"
#include "Quillmere/Onboarding/OnboardingKit.h"
#include "Quillmere/Onboarding/OnboardingPages.h"
#include "Quillmere/Onboarding/OnboardingPalette.h"
#include "Quillmere/Settings/WindowFrame.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QScreen>
#include <QShowEvent>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace quillmere {

namespace P = OnboardingPalette;
using Kind = OnboardingButton::Kind;

namespace {

// The hot key in a small box filled with white at 8 %.
class KeyCap : public QLabel {
public:
    KeyCap(const QString &text, QWidget *parent) : QLabel(text, parent)
    {
        setFont(P::font(12, QFont::DemiBold));
        setContentsMargins(8, 4, 8, 4);
        setOnboardingLabelColour(this, P::primaryText());
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        {
            QPainter p(this);
            p.setRenderHint(QPainter::Antialiasing);
            p.setPen(Qt::NoPen);
            p.setBrush(P::white(0.08));
            p.drawRoundedRect(QRectF(rect()), 6, 6);
        }
        QLabel::paintEvent(event);
    }
};

} // namespace

// ---- Window ------------------------------------------------------------------------------------

OnboardingWindow::OnboardingWindow(OnboardingFlow &flow, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_flow(flow)
{
    // Ends with the program's name, so the desktop adds nothing to it.
    setWindowTitle(QStringLiteral("Set Up Brindlewax"));
    QHBoxLayout *row = WindowFrame::layOut(
        this, {windowWidth, windowHeight},
        WindowFrame::darkPalette({P::windowBackground(), P::primaryText(), QColor(28, 28, 31), P::accent()}),
        [this] { return makeSidebar(); }, P::divider());
    row->addWidget(makeDetail(), 1);

    connect(&m_flow, &OnboardingFlow::changed, this, &OnboardingWindow::refresh);
    refresh();
    m_forward->setFocus();
}

QWidget *OnboardingWindow::makeSidebar()
{
    auto *sidebar = new Backdrop(P::sidebarBackground(), this);
    sidebar->setFixedWidth(sidebarWidth);
    auto *column = new QVBoxLayout(sidebar);
    column->setContentsMargins(16, 22, 16, 20);
    column->setSpacing(6);

    auto *identity = new QHBoxLayout;
    identity->setSpacing(10);
    identity->addWidget(new IdentityTile(P::accent(), sidebar));
    auto *names = new QVBoxLayout;
    names->setSpacing(1);
    names->addWidget(
        makeOnboardingLabel(QStringLiteral("Brindlewax"), 14, QFont::Bold, P::primaryText(), false, sidebar));
    names->addWidget(
        makeOnboardingLabel(QStringLiteral("First setup"), 12, QFont::Medium, P::secondaryText(), false, sidebar));
    identity->addLayout(names, 1);
    column->addLayout(identity);
    column->addSpacing(18);

    for (OnboardingStep step : allOnboardingSteps) {
        auto *button = new OnboardingStepButton(step, sidebar);
        connect(button, &QAbstractButton::clicked, this, [this, step] { m_flow.selectStep(step); });
        column->addWidget(button);
        m_steps[step] = button;
    }
    column->addStretch(1);
    column->addWidget(
        makeOnboardingLabel(QStringLiteral("HOTKEY"), 10.5, QFont::DemiBold, P::tertiaryText(), false, sidebar));
    column->addSpacing(2);
    column->addWidget(new KeyCap(OnboardingContent::panelHotKeyText(), sidebar));
    return sidebar;
}

QWidget *OnboardingWindow::makeDetail()
{
    auto *detail = new Backdrop(P::contentBackground(), this);
    auto *column = new QVBoxLayout(detail);
    column->setContentsMargins(30, 28, 30, 20);
    column->setSpacing(16);
    m_stack = new QStackedWidget(detail);
    const auto add = [this](OnboardingPage *page) {
        m_stack->addWidget(page);
        m_pages[page->step()] = page;
    };
    add(new OnboardingPrivacyPage(m_flow));
    add(new OnboardingPermissionsPage(m_flow));
    add(new OnboardingSyncPage(m_flow));
    add(new OnboardingHotkeyPage(m_flow));
    add(new OnboardingReadyPage(m_flow));
    column->addWidget(m_stack, 1);

    auto *bar = new QHBoxLayout;
    bar->setSpacing(10);
    m_skip = new OnboardingButton(QStringLiteral("Skip Setup"), Kind::normal, detail);
    m_back = new OnboardingButton(QStringLiteral("Back"), Kind::normal, detail);
    m_forward = new OnboardingButton(QStringLiteral("Continue"), Kind::primary, detail);
    connect(m_skip, &QAbstractButton::clicked, this, [this] { m_flow.finish(false); });
    connect(m_back, &QAbstractButton::clicked, this, [this] { m_flow.goBack(); });
    connect(m_forward, &QAbstractButton::clicked, this, [this] {
        if (m_flow.showsFinish())
            m_flow.finish(true);
        else
            m_flow.goForward();
    });
    bar->addWidget(m_skip);
    bar->addStretch(1);
    bar->addWidget(m_back);
    bar->addWidget(m_forward);
    column->addLayout(bar);
    return detail;
}

void OnboardingWindow::refresh()
{
    for (auto &[step, button] : m_steps)
        button->setState(step == m_flow.selectedStep(), m_flow.isStepComplete(step));
    for (auto &[step, page] : m_pages)
        page->refresh();
    m_stack->setCurrentWidget(m_pages.at(m_flow.selectedStep()));
    const bool backHadFocus = m_back->hasFocus();
    m_back->setEnabled(m_flow.canGoBack());
    if (backHadFocus && !m_back->isEnabled())
        m_forward->setFocus();
    const QString forward = m_flow.showsFinish() ? QStringLiteral("Finish & Open") : QStringLiteral("Continue");
    if (m_forward->text() != forward) {
        m_forward->setText(forward);
        m_forward->updateGeometry();
    }
}

OnboardingStepButton *OnboardingWindow::stepButton(OnboardingStep step) const
{
    return m_steps.at(step);
}

OnboardingPage *OnboardingWindow::page(OnboardingStep step) const
{
    return m_pages.at(step);
}

OnboardingPage *OnboardingWindow::currentPage() const
{
    return static_cast<OnboardingPage *>(m_stack->currentWidget());
}

void OnboardingWindow::showEvent(QShowEvent *event)
{
    if (!event->spontaneous()) {
        m_flow.refreshOnAppear();
        m_flow.setRefreshActive(true);
    }
    QWidget::showEvent(event);
}

void OnboardingWindow::hideEvent(QHideEvent *event)
{
    if (!event->spontaneous())
        m_flow.setRefreshActive(false);
    QWidget::hideEvent(event);
}

void OnboardingWindow::closeEvent(QCloseEvent *event)
{
    event->accept();
    if (m_closing)
        return;
    m_closing = true;
    Q_EMIT closing();
}

// ---- Controller --------------------------------------------------------------------------------

OnboardingWindowController::OnboardingWindowController(OnboardingFlow::Dependencies deps,
                                                       std::function<void(std::optional<bool>)> onFinished,
                                                       QObject *parent)
    : QObject(parent), m_flow(std::make_unique<OnboardingFlow>(std::move(deps))), m_onFinished(std::move(onFinished))
{
    m_window = new OnboardingWindow(*m_flow);
    QPointer<OnboardingWindowController> self(this);
    connect(m_flow.get(), &OnboardingFlow::closeRequested, this, [self] {
        if (self && self->m_window)
            self->m_window->close();
    });
    connect(m_window, &OnboardingWindow::closing, this, &OnboardingWindowController::windowWillClose);
}

OnboardingWindowController::~OnboardingWindowController()
{
    // Gone with the program still running it: the window goes too, and no one is told.
    delete m_window.data();
}

void OnboardingWindowController::showAndActivate()
{
    if (!m_window)
        return;
    if (!m_centred) {
        m_centred = true;
        if (const QScreen *screen = QGuiApplication::primaryScreen()) {
            QRect frame = m_window->frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            m_window->move(frame.topLeft());
        }
    }
    if (m_window->isMinimized())
        m_window->showNormal();
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void OnboardingWindowController::finish(bool openPanel)
{
    m_flow->finish(openPanel);
}

void OnboardingWindowController::windowWillClose()
{
    const std::optional<bool> outcome = m_flow->windowDidClose();
    if (m_window) {
        m_window->hide();
        m_window->deleteLater();
        m_window = nullptr;
    }
    if (m_onFinished)
        m_onFinished(outcome);
}

} // namespace quillmere
