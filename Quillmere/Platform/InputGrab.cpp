#include "Quillmere/Platform/InputGrab.h"

namespace quillmere {

InputGrab::InputGrab(std::function<QWindow *()> window, QObject *parent) : QObject(parent), m_window(std::move(window))
{
    m_retry.setInterval(retryMs);
    connect(&m_retry, &QTimer::timeout, this, &InputGrab::attempt);
}

void InputGrab::start()
{
    m_attempts = 0;
    m_retry.start();
}

void InputGrab::release()
{
    m_retry.stop();
    m_held = false;
    if (QWindow *window = m_window())
        letGo(window);
}

void InputGrab::letGo(QWindow *window)
{
    window->setKeyboardGrabEnabled(false);
    window->setMouseGrabEnabled(false);
}

void InputGrab::attempt()
{
    QWindow *window = m_window();
    if (window && window->isExposed() && window->setKeyboardGrabEnabled(true) && window->setMouseGrabEnabled(true)) {
        m_held = true;
        m_retry.stop();
        return;
    }
    // Half a grab is worse than none: the keyboard alone would leave the pointer with others.
    if (window)
        letGo(window);
    if (++m_attempts >= maxAttempts) {
        m_retry.stop();
        qWarning("Could not take the pointer and keyboard for the selection");
        if (onGaveUp)
            onGaveUp();
    }
}

} // namespace quillmere
