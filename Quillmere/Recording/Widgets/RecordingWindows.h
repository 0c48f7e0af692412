#pragma once

#include <QDateTime>
#include <QTimer>
#include <QWidget>
#include <functional>

class QLabel;
class QToolButton;

namespace quillmere {

// While recording: a red dot, the elapsed time, the microphone's mute (when it is recorded) and
// stop. It never takes the focus.
class RecordingControlBar : public QWidget {
    Q_OBJECT
public:
    RecordingControlBar(const QDateTime &startedAt, bool micEnabled, std::function<void(bool muted)> onToggleMute,
                        std::function<void()> onStop);

    QString clockText() const;
    QToolButton *muteButton() const { return m_mute; }
    QToolButton *stopButton() const { return m_stop; }
    bool micMuted() const { return m_muted; }

protected:
    void paintEvent(QPaintEvent *) override;
    void resizeEvent(QResizeEvent *) override;

private:
    void tick();
    void refreshMute();

    QDateTime m_startedAt;
    std::function<void(bool)> m_onToggleMute;
    QLabel *m_clock = nullptr;
    QToolButton *m_mute = nullptr;
    QToolButton *m_stop = nullptr;
    QTimer m_timer;
    bool m_muted = false;
};

// A thin red frame just outside the recorded rectangle; clicks go through it.
class RecordingRegionBorder : public QWidget {
    Q_OBJECT
public:
    RecordingRegionBorder();
    // `region` in global logical coordinates; the frame is 3 points wider on every side.
    void showAround(const QRect &region);

protected:
    void paintEvent(QPaintEvent *) override;
};

} // namespace quillmere
