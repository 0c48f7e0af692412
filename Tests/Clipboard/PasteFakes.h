#pragma once

#include "Quillmere/Clipboard/PasteService.h"
#include "Quillmere/Model/Records.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/KeyInjector.h"
#include "Quillmere/Platform/Pasteboard.h"
#include "Quillmere/Platform/WindowActivator.h"
#include "Support/MemoryPasteboard.h"

#include <QStringList>
#include <QTest>
#include <map>
#include <set>

namespace quillmere::test {

// Records the keys a paste sends instead of sending them.
class FakeKeyInjector : public KeyInjector {
public:
    bool trusted = true;
    bool holdModifiers = false;
    bool postFails = false;
    int modifierPolls = 0;
    QStringList sent; // "paste", "left 3"

    bool isTrusted() override { return trusted; }
    bool modifiersHeld() override
    {
        ++modifierPolls;
        return holdModifiers;
    }
    bool postPasteChord(PasteChord chord) override
    {
        sent << (chord == PasteChord::controlV            ? QStringLiteral("paste")
                     : chord == PasteChord::controlShiftV ? QStringLiteral("paste ctrl+shift+v")
                                                          : QStringLiteral("paste shift+insert"));
        return !postFails;
    }
    bool postCaretLeft(int count) override
    {
        sent << QStringLiteral("left %1").arg(count);
        return true;
    }
};

// A window manager in memory: windows exist until closed; activation takes effect after a
// chosen number of requests (or never).
class FakeWindowActivator : public WindowActivator {
public:
    std::optional<WindowTarget> active;
    std::set<quint32> closed;
    std::map<quint32, WindowClass> classes;
    int requestsBeforeActivation = 0; // -1: the window never comes to the front
    int activations = 0;

    std::optional<WindowTarget> activeWindow() override { return active; }
    bool isTerminated(const WindowTarget &target) override { return closed.count(target.window) > 0; }
    void activate(const WindowTarget &target) override
    {
        ++activations;
        if (requestsBeforeActivation >= 0 && activations > requestsBeforeActivation)
            active = target;
    }
    WindowClass windowClass(const WindowTarget &target) override
    {
        const auto found = classes.find(target.window);
        return found == classes.end() ? WindowClass{} : found->second;
    }
    bool isFrontmost(const WindowTarget &target) override
    {
        return active && (active->window == target.window || (target.pid > 0 && active->pid == target.pid));
    }
};

// Everything a paste service needs, in memory; our own process is 4242.
struct PasteFakes {
    MemoryPasteboard pasteboard;
    NotificationCenter center;
    FakeKeyInjector keys;
    FakeWindowActivator windows;
    int beeps = 0;

    static PasteTimings quickTimings()
    {
        PasteTimings t;
        t.keystrokeDelay = 5;
        t.activationInterval = 2;
        t.caretBackDelay = 2;
        t.modifierPollInterval = 2;
        return t;
    }
    PasteServiceDependencies dependencies(PasteTimings timings = quickTimings())
    {
        PasteServiceDependencies deps;
        deps.pasteboard = &pasteboard;
        deps.notificationCenter = &center;
        deps.keys = &keys;
        deps.windows = &windows;
        deps.beep = [this] { ++beeps; };
        deps.ownProcessId = 4242;
        deps.timings = timings;
        return deps;
    }
};

inline ClipRef textClip(const QString &text)
{
    auto clip = std::make_shared<ClipItem>();
    clip->setText(text);
    return clip;
}

} // namespace quillmere::test

// Spins the event loop until `actual == expected` or the timeout passes, then checks it the
// GoogleTest way (Qt's QTRY_ macros report nothing outside a Qt Test run).
#define EXPECT_EVENTUALLY_EQ(actual, expected, timeoutMs)                                                              \
    do {                                                                                                               \
        (void)QTest::qWaitFor([&] { return (actual) == (expected); }, timeoutMs);                                      \
        EXPECT_EQ(actual, expected);                                                                                   \
    } while (false)
