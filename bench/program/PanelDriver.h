#pragma once

// The program's panel driven on the X display as a person drives it: the command that shows it,
// clicks and keys, and its window mapping and unmapping on the root.

#include "program/RunningProgram.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <benchmark/benchmark.h>
#include <memory>
#include <optional>
#include <poll.h>

// Last: Xlib's macros break Qt headers read after them.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace quillmere::bench::program {

// The next map (or unmap) of a top-level window on the display's root; nothing when none came
// within `timeoutMs`.
inline std::optional<XEvent> waitForRootEvent(Display *display, int type, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == type)
                return event;
        }
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        ::poll(&fd, 1, 5);
    }
    return std::nullopt;
}

using DisplayPtr = std::unique_ptr<Display, int (*)(Display *)>;

// A connection to the display that hears the root's windows map and unmap, once the program is
// ready; null, with the benchmark told why, without either.
inline DisplayPtr readyDisplay(Program &program, benchmark::State &state)
{
    DisplayPtr display(XOpenDisplay(nullptr), XCloseDisplay);
    if (program.waitForLine("Ready.") < 0 || !display) {
        state.SkipWithError("needs the program running on an X display");
        return DisplayPtr(nullptr, XCloseDisplay);
    }
    XSelectInput(display.get(), DefaultRootWindow(display.get()), SubstructureNotifyMask);
    return display;
}

inline void dropPendingEvents(Display *d)
{
    while (XPending(d)) {
        XEvent ignored;
        XNextEvent(d, &ignored);
    }
}

// The top-level window mapped next on the display's root; 0 when none came within `timeoutMs`.
inline Window waitForMappedWindow(Display *display, int timeoutMs)
{
    const std::optional<XEvent> mapped = waitForRootEvent(display, MapNotify, timeoutMs);
    return mapped ? mapped->xmap.window : 0;
}

// As readyDisplay, once the store's older clips have their search keys too, a while after the start.
inline DisplayPtr searchableDisplay(Program &program, benchmark::State &state, int keysMs = 6000)
{
    DisplayPtr display = readyDisplay(program, state);
    if (display) {
        QThread::msleep(keysMs);
        program.log();
    }
    return display;
}

// Clicks the header's search capsule: below the panel's top inset, past the header's left slot.
inline void clickSearch(Display *d, Window panel)
{
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(d, panel, DefaultRootWindow(d), 0, 0, &x, &y, &child);
    XTestFakeMotionEvent(d, -1, x + 16 + 118 + 10 + 21, y + 21 + 26, CurrentTime);
    XTestFakeButtonEvent(d, 1, True, CurrentTime);
    XTestFakeButtonEvent(d, 1, False, CurrentTime);
    XFlush(d);
}

inline void typeKey(Display *d, KeySym symbol)
{
    const KeyCode code = XKeysymToKeycode(d, symbol);
    XTestFakeKeyEvent(d, code, True, CurrentTime);
    XTestFakeKeyEvent(d, code, False, CurrentTime);
    XFlush(d);
}

// Shows the panel and clicks into its search: the panel's window, or 0 when it did not show within
// `timeoutMs`.
inline Window openSearch(Display *d, const Home &home, int timeoutMs = 5000)
{
    dropPendingEvents(d);
    QProcess request;
    request.setProcessEnvironment(home.environment());
    request.start(QStringLiteral(QUILLMERE_PROGRAM), {QStringLiteral("--show-panel")});
    const Window panel = waitForMappedWindow(d, timeoutMs);
    request.waitForFinished(5000);
    if (!panel)
        return 0;
    QThread::msleep(400); // the panel settles and takes the keyboard
    clickSearch(d, panel);
    QThread::msleep(300);
    return panel;
}

// The first Escape closes the search, the second the panel: false when it did not hide within
// `timeoutMs`.
inline bool closeSearch(Display *d, int timeoutMs = 5000)
{
    typeKey(d, XK_Escape);
    QThread::msleep(150);
    typeKey(d, XK_Escape);
    if (!waitForRootEvent(d, UnmapNotify, timeoutMs))
        return false;
    QThread::msleep(300);
    return true;
}

// Types `text` a key every 180 ms, as a person does, with the main thread watched meanwhile.
inline void typeAtHumanPace(Display *d, const char *text, Program &program, MainThreadWatch &watch)
{
    for (int k = 0; text[k]; ++k) {
        typeKey(d, text[k] == ' ' ? XK_space : KeySym(text[k]));
        watch.watch(program, 180);
    }
}

} // namespace quillmere::bench::program
