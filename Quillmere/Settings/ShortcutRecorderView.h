#pragma once

#include "Quillmere/Platform/X11Desktop.h"
#include "Quillmere/Settings/Core/ShortcutRecording.h"

#include <QAbstractButton>
#include <QKeyEvent>
#include <functional>
#include <optional>

namespace quillmere {

// A capsule that shows a shortcut and, once clicked, records the next key combination typed in
// any of the program's windows. It never stores anything itself: the owner gets the result and
// hands the shortcut back.
class ShortcutRecorderView : public QAbstractButton {
    Q_OBJECT
public:
    using OnChange = std::function<void(std::optional<CaptureShortcut>)>;

    // While recording, the program's own hot keys are let go through `suspendHotKeys`, so
    // their combinations reach the field.
    ShortcutRecorderView(std::optional<CaptureShortcut> shortcut, OnChange onChange,
                         ShortcutRecording::KeysymTable keysyms, QWidget *parent = nullptr,
                         ShortcutRecording::HotKeySuspension suspendHotKeys = {});
    ~ShortcutRecorderView() override;

    void setShortcut(std::optional<CaptureShortcut> shortcut);
    std::optional<CaptureShortcut> shortcut() const { return m_shortcut; }
    bool isRecording() const { return m_recording.isRecording(); }
    QString displayText() const { return ShortcutRecording::displayText(m_shortcut, isRecording()); }
    // The refusal sound; the desktop's bell unless replaced.
    void setBeep(std::function<void()> beep) { m_beep = std::move(beep); }
    // Told of a refused combination that is one of the program's own.
    void setOnReservedRefused(std::function<void(CaptureShortcut)> onRefused) { m_onReserved = std::move(onRefused); }

    void toggleRecording();
    void startRecording();
    void stopRecording();

    QSize sizeHint() const override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    std::optional<quint32> carbonKeyCode(const QKeyEvent &event) const;
    void updateLook();

    std::optional<CaptureShortcut> m_shortcut;
    OnChange m_onChange;
    ShortcutRecording::KeysymTable m_keysyms;
    std::function<void()> m_beep;
    std::function<void(CaptureShortcut)> m_onReserved;
    ShortcutRecording::HotKeySuspension m_suspendHotKeys;
    std::shared_ptr<void> m_hotKeysSuspended;
    QMetaObject::Connection m_focusWatch;
    ShortcutRecording m_recording;
    bool m_monitoring = false;
    // Read afresh at each recording, so a layout switched in between is followed.
    X11Desktop::KeyboardLayout m_layout;
};

} // namespace quillmere
