#include "Quillmere/Capture/Overlay/Widgets/TransientPanel.h"

#include "Quillmere/Platform/DesktopMotion.h"
#include "Quillmere/Platform/TransientWindow.h"

#include <QEvent>
#include <QPainter>

namespace quillmere {

TransientPanel::TransientPanel(Options options, const DesktopMotion *motion, Clock clock, QWidget *parent)
    : QWidget(parent,
              Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus
                  | Qt::NoDropShadowWindowHint),
      m_options(options), m_motion(motion), m_timeline(std::move(clock), options.showForMs)
{
    // A window manager's frame around the toast would take the clicks its empty input shape lets
    // through, so the toast is placed by us alone.
    if (options.clickThrough)
        setWindowFlag(Qt::X11BypassWindowManagerHint);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_X11DoNotAcceptFocus);
    setFocusPolicy(Qt::NoFocus);
    if (TransientWindow::compositorRunning())
        setAttribute(Qt::WA_TranslucentBackground);
    m_dismissTimer.setSingleShot(true);
    connect(&m_dismissTimer, &QTimer::timeout, this, [this] {
        if (m_timeline.isDue())
            dismissWhenDue();
        else
            rearmDismissTimer();
    });
    connect(&m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
        if (m_animation.state() != QAbstractAnimation::Running)
            return;
        const double t = value.toDouble();
        if (t > 0 && t < 1)
            ++m_intermediateFrames;
        move(m_from + (m_target - m_from) * t);
        if (m_toOpacity)
            setWindowOpacity(m_fromOpacity + (*m_toOpacity - m_fromOpacity) * t);
    });
    connect(&m_animation, &QVariantAnimation::finished, this, [this] {
        move(m_target);
        if (m_toOpacity)
            setWindowOpacity(*m_toOpacity);
        if (auto done = std::exchange(m_done, {}))
            done();
    });
    m_animation.setStartValue(0.0);
    m_animation.setEndValue(1.0);
}

void TransientPanel::animate(QPoint target, int durationMs, const QEasingCurve &curve, std::optional<double> opacity,
                             std::function<void()> done)
{
    // A new motion replaces the running one; its completion belongs to a finished generation.
    m_animation.stop();
    m_done = {};
    m_from = pos();
    m_target = target;
    m_fromOpacity = windowOpacity();
    m_toOpacity = opacity;
    // Read when each motion starts, so switching the desktop's setting takes effect at once.
    if (durationMs <= 0 || (m_motion && m_motion->reduceMotion())) {
        move(target);
        if (opacity)
            setWindowOpacity(*opacity);
        if (done)
            done();
        return;
    }
    m_done = std::move(done);
    m_animation.setDuration(durationMs);
    m_animation.setEasingCurve(curve);
    m_animation.start();
}

void TransientPanel::presentPanel(QPoint start, QPoint target, int durationMs, const QEasingCurve &curve)
{
    m_timeline.present();
    m_animation.stop();
    m_done = {};
    move(start);
    setWindowOpacity(1.0);
    if (!isVisible()) {
        winId();
        TransientWindow::applyHints(winId());
        if (m_options.clickThrough)
            TransientWindow::makeClickThrough(winId());
    }
    m_framePending = true;
    show();
    raise();
    update();
    animate(target, durationMs, curve, std::nullopt, {});
    rearmDismissTimer();
}

void TransientPanel::slideOut(QPoint end, int durationMs, const QEasingCurve &curve, std::optional<double> opacity)
{
    m_dismissTimer.stop();
    const quint64 generation = m_timeline.beginDismissal();
    QPointer<TransientPanel> self(this);
    animate(end, durationMs, curve, opacity, [self, generation] {
        if (!self || !self->m_timeline.isCurrent(generation))
            return;
        self->hide();
        self->setWindowOpacity(1.0);
    });
}

void TransientPanel::hoverChanged(bool hovering)
{
    m_timeline.hoverChanged(hovering);
    rearmDismissTimer();
}

void TransientPanel::rearmDismissTimer()
{
    if (const auto remaining = m_timeline.remainingMs())
        m_dismissTimer.start(int(*remaining));
    else
        m_dismissTimer.stop();
}

void TransientPanel::paintEvent(QPaintEvent *)
{
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        paintContent(painter);
    }
    if (m_framePending) {
        m_framePending = false;
        // After this paint returns; the frame is then on its way to the server.
        QMetaObject::invokeMethod(this, &TransientPanel::presentedFramePainted, Qt::QueuedConnection);
    }
}

bool TransientPanel::event(QEvent *event)
{
    // A recreated native window starts with the full input shape again.
    if (event->type() == QEvent::WinIdChange && m_options.clickThrough)
        TransientWindow::makeClickThrough(winId());
    return QWidget::event(event);
}

} // namespace quillmere
