#pragma once

#include "Quillmere/Capture/Overlay/TransientTimeline.h"

#include <QEasingCurve>
#include <QPointer>
#include <QTimer>
#include <QVariantAnimation>
#include <QWidget>
#include <functional>
#include <optional>

class QPainter;

namespace quillmere {

class DesktopMotion;

// One frameless window, made once and reused, that shows for a moment after a capture without
// taking the focus or activating the program. Every motion is our own slide; the timeline decides
// which presentation is current, so the end of an old slide-out never hides a newer one.
class TransientPanel : public QWidget {
    Q_OBJECT
public:
    struct Options {
        bool clickThrough = false;
        qint64 showForMs = 6000;
    };

    TransientPanel(Options options, const DesktopMotion *motion, Clock clock, QWidget *parent = nullptr);

    TransientTimeline &timeline() { return m_timeline; }
    // Positions applied between the start and the end of slides so far (none under reduced motion).
    int intermediateFrames() const { return m_intermediateFrames; }
    bool isSliding() const { return m_animation.state() == QAbstractAnimation::Running; }
    QPoint slideTarget() const { return m_target; }

Q_SIGNALS:
    // Once per presentation, when its first frame has been painted.
    void presentedFramePainted();

protected:
    // Moves to `start`, shows fully opaque and slides to `target`.
    void presentPanel(QPoint start, QPoint target, int durationMs, const QEasingCurve &curve);
    // Slides to `end` (fading to `opacity` when given); hides at the end unless a newer
    // presentation began meanwhile.
    void slideOut(QPoint end, int durationMs, const QEasingCurve &curve, std::optional<double> opacity);
    // The countdown ran out.
    virtual void dismissWhenDue() = 0;
    void hoverChanged(bool hovering);
    void rearmDismissTimer();
    virtual void paintContent(QPainter &painter) = 0;
    void paintEvent(QPaintEvent *event) override;
    bool event(QEvent *event) override;

private:
    void animate(QPoint target, int durationMs, const QEasingCurve &curve, std::optional<double> opacity,
                 std::function<void()> done);

    Options m_options;
    const DesktopMotion *m_motion;
    TransientTimeline m_timeline;
    QVariantAnimation m_animation;
    QTimer m_dismissTimer;
    QPoint m_from;
    QPoint m_target;
    double m_fromOpacity = 1;
    std::optional<double> m_toOpacity;
    std::function<void()> m_done;
    int m_intermediateFrames = 0;
    bool m_framePending = false;
};

} // namespace quillmere
