#pragma once

#include <QObject>
#include <QVariantAnimation>

namespace quillmere {

// How much of the panel shows, from 0 (hidden) to 1 (shown), and the slides between. A slide
// that turns round starts from where the other one stopped and takes only the rest of its time,
// so the panel never jumps or stays half out.
class PanelSlide : public QObject {
    Q_OBJECT
public:
    enum class Direction { in, out };
    Q_ENUM(Direction)

    explicit PanelSlide(QObject *parent = nullptr);

    double visibleFraction() const { return m_fraction; }
    bool isRunning() const { return m_animation.state() == QAbstractAnimation::Running; }
    // The direction of the running slide, or of the last one.
    Direction direction() const { return m_direction; }

    void slideIn();
    void slideOut();
    // Stops any slide and shows that much at once.
    void jumpTo(double fraction);

Q_SIGNALS:
    void fractionChanged(double fraction);
    void finished(PanelSlide::Direction direction);

private:
    void run(Direction direction);
    void setFraction(double fraction);

    QVariantAnimation m_animation;
    double m_fraction = 0;
    Direction m_direction = Direction::out;
    bool m_configuring = false;
};

} // namespace quillmere
