#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWindow>
#include <functional>

namespace quillmere {

// Takes the pointer and the keyboard for a full-screen chooser. The server grants them only once
// the window is mapped, so it asks again every 20 ms; without both after three seconds (a screen
// locker may hold them) it gives up, as a window left on top with no keyboard would trap the user.
class InputGrab : public QObject {
    Q_OBJECT
public:
    static constexpr int retryMs = 20;
    static constexpr int maxAttempts = 150;

    // `window` is asked on each try: a widget has no window handle until it is shown.
    explicit InputGrab(std::function<QWindow *()> window, QObject *parent = nullptr);

    void start();
    // Lets both go and stops asking.
    void release();
    bool isHeld() const { return m_held; }

    // Both grabs could not be had; the chooser should close.
    std::function<void()> onGaveUp;

private:
    void attempt();
    void letGo(QWindow *window);

    std::function<QWindow *()> m_window;
    QTimer m_retry;
    int m_attempts = 0;
    bool m_held = false;
};

} // namespace quillmere
