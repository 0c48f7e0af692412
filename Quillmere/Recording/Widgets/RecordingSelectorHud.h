#pragma once

#include "Quillmere/Recording/PulseAudio.h"
#include "Quillmere/Recording/RecordingAudioPreferences.h"

#include <QFrame>
#include <QSize>
#include <functional>

class QLabel;
class QMenu;
class QPushButton;
class QToolButton;

namespace quillmere {

class Preferences;

// Beside a confirmed rectangle: its size in points, the microphone (with a device menu), system
// audio, and "Record Video". Every change is stored at once, so the next start sees it.
class RecordingSelectorHud : public QFrame {
    Q_OBJECT
public:
    // `devices`: the microphones known so far; setDevices() brings a later list.
    RecordingSelectorHud(QSize sizeInPoints, Preferences *preferences, QList<RecordingAudioDevice> devices,
                         std::function<void()> onRecord, QWidget *parent = nullptr);

    void setDevices(const QList<RecordingAudioDevice> &devices);

    const RecordingAudioPreferences &audio() const { return m_audio; }
    QToolButton *microphoneButton() const { return m_mic; }
    QToolButton *systemAudioButton() const { return m_system; }
    QPushButton *recordButton() const { return m_record; }
    QMenu *deviceMenu() const { return m_menu; }

protected:
    void paintEvent(QPaintEvent *) override;

private:
    void save();
    void refresh();

    Preferences *m_preferences;
    RecordingAudioPreferences m_audio;
    QList<RecordingAudioDevice> m_devices;
    QLabel *m_size = nullptr;
    QToolButton *m_mic = nullptr;
    QToolButton *m_system = nullptr;
    QPushButton *m_record = nullptr;
    QMenu *m_menu = nullptr;
};

} // namespace quillmere
