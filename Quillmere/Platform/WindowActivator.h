#pragma once

#include <QString>
#include <QtGlobal>
#include <memory>
#include <optional>

struct xcb_connection_t;

namespace quillmere {

// A top-level window and the process that owns it.
struct WindowTarget {
    quint32 window = 0;
    qint64 pid = 0; // 0 when the window does not say
    bool operator==(const WindowTarget &) const = default;
};

// A window's WM_CLASS: its instance and class names.
struct WindowClass {
    QString instance;
    QString className;
};

// Asks the window manager which window is active and to activate another.
class WindowActivator {
public:
    virtual ~WindowActivator() = default;

    virtual std::optional<WindowTarget> activeWindow() = 0;
    // The window is gone (closed, or its program quit).
    virtual bool isTerminated(const WindowTarget &target) = 0;
    // Raises the window (restoring it when minimised) and gives it the focus.
    virtual void activate(const WindowTarget &target) = 0;
    // The window, or another window of its process, is the active one.
    virtual bool isFrontmost(const WindowTarget &target) = 0;
    // The window, or one inside it, has the keyboard focus: keys sent now reach it.
    virtual bool hasKeyboardFocus(const WindowTarget &target) { return isFrontmost(target); }
    virtual WindowClass windowClass(const WindowTarget &target)
    {
        Q_UNUSED(target);
        return {};
    }
};

// EWMH through a connection of its own to the X display named by $DISPLAY.
class X11WindowActivator : public WindowActivator {
public:
    X11WindowActivator();
    ~X11WindowActivator() override;
    X11WindowActivator(const X11WindowActivator &) = delete;
    X11WindowActivator &operator=(const X11WindowActivator &) = delete;

    std::optional<WindowTarget> activeWindow() override;
    bool isTerminated(const WindowTarget &target) override;
    void activate(const WindowTarget &target) override;
    bool isFrontmost(const WindowTarget &target) override;
    bool hasKeyboardFocus(const WindowTarget &target) override;
    WindowClass windowClass(const WindowTarget &target) override;

private:
    struct Connection;
    Connection *connection();
    std::unique_ptr<Connection> m_connection;
    bool m_opened = false;
};

} // namespace quillmere
