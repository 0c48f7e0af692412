#include "Quillmere/Panel/Window/PanelSlide.h"

#include "Quillmere/Panel/Window/PanelGeometry.h"

#include <cmath>

namespace quillmere {

PanelSlide::PanelSlide(QObject *parent) : QObject(parent)
{
    connect(&m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
        if (!m_configuring)
            setFraction(value.toDouble());
    });
    connect(&m_animation, &QVariantAnimation::finished, this, [this] { Q_EMIT finished(m_direction); });
}

void PanelSlide::slideIn()
{
    run(Direction::in);
}

void PanelSlide::slideOut()
{
    run(Direction::out);
}

void PanelSlide::run(Direction direction)
{
    if (isRunning() && m_direction == direction)
        return;
    m_animation.stop();
    m_direction = direction;
    const double target = direction == Direction::in ? 1.0 : 0.0;
    const int fullMs = direction == Direction::in ? PanelMetrics::enterMs : PanelMetrics::exitMs;
    const int ms = int(std::lround(fullMs * std::abs(target - m_fraction)));
    if (ms <= 0) {
        setFraction(target);
        Q_EMIT finished(direction);
        return;
    }
    // A stopped animation reports values for its old position while it is set up; they are not ours.
    m_configuring = true;
    m_animation.setEasingCurve(direction == Direction::in ? panelEnterTimingFunction() : panelExitTimingFunction());
    m_animation.setDuration(ms);
    m_animation.setStartValue(m_fraction);
    m_animation.setEndValue(target);
    m_configuring = false;
    m_animation.start();
}

void PanelSlide::jumpTo(double fraction)
{
    m_animation.stop();
    m_direction = fraction > 0 ? Direction::in : Direction::out;
    setFraction(fraction);
}

void PanelSlide::setFraction(double fraction)
{
    if (fraction == m_fraction)
        return;
    m_fraction = fraction;
    Q_EMIT fractionChanged(fraction);
}

} // namespace quillmere
