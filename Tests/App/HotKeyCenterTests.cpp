#include "Quillmere/App/HotKeyCenter.h"
#include "Support/ProgramWindow.h"

#include <QGuiApplication>
#include <QLoggingCategory>
#include <QMutex>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string_view>

using namespace quillmere;

namespace {

// Records grabs instead of touching a display, and lets a test play a key press.
class FakeGrabber : public GlobalKeyGrabbing {
public:
    struct Entry {
        KeyChord chord;
        std::function<void()> onPress;
    };
    std::map<GrabID, Entry> grabs;
    std::vector<KeyChord> refused;
    GrabID next = 100;

    std::optional<GrabID> grab(const KeyChord &chord, std::function<void()> onPress) override
    {
        for (const KeyChord &r : refused)
            if (r == chord)
                return std::nullopt;
        grabs[next] = {chord, std::move(onPress)};
        return next++;
    }
    void ungrab(GrabID id) override { grabs.erase(id); }
    void press(const KeyChord &chord)
    {
        for (auto &[id, e] : grabs)
            if (e.chord == chord)
                e.onPress();
    }
};

const KeyChord shiftSuperV{'v', ChordModifier::shift | ChordModifier::super};
const KeyChord altSuperV{'v', ChordModifier::alt | ChordModifier::super};

struct Registry {
    FakeGrabber *grabber = new FakeGrabber; // owned by the center
    HotKeyCenter center{std::unique_ptr<GlobalKeyGrabbing>(grabber)};
};

} // namespace

TEST(HotKeyCenterTranslation, CarbonCombinationsBecomeLayoutChords)
{
    EXPECT_EQ(HotKeyCenter::chordFor(9, 0x300), shiftSuperV);
    EXPECT_EQ(HotKeyCenter::chordFor(9, 0x900), altSuperV);
    EXPECT_EQ(HotKeyCenter::chordFor(0x12, CarbonModifier::control), (KeyChord{'1', ChordModifier::control}));
    // The number row is not in alphabetical order: 0x16 is 6, 0x17 is 5.
    EXPECT_EQ(HotKeyCenter::keysymForKeyCode(0x16), quint32('6'));
    EXPECT_EQ(HotKeyCenter::keysymForKeyCode(0x17), quint32('5'));
    EXPECT_EQ(HotKeyCenter::keysymForKeyCode(0x7B), 0xff51u); // Left
    EXPECT_EQ(HotKeyCenter::keysymForKeyCode(0x7A), 0xffbeu); // F1
    // Caps lock in the mask adds nothing: every lock variant is grabbed anyway.
    EXPECT_EQ(HotKeyCenter::chordModifiers(CarbonModifier::alphaLock | CarbonModifier::command),
              ChordModifiers(ChordModifier::super));
    EXPECT_FALSE(HotKeyCenter::chordFor(0x0A, 0x100)); // a key with no fixed symbol
    EXPECT_FALSE(HotKeyCenter::chordFor(0x1000, 0x100));
}

TEST(HotKeyCenterRegistry, IdentifiersCountOnlySuccessfulRegistrations)
{
    Registry r;
    r.grabber->refused.push_back(altSuperV);
    EXPECT_EQ(r.center.registerHotKey(9, 0x300, [] {}), 1u);
    EXPECT_FALSE(r.center.registerHotKey(9, 0x900, [] {}));
    EXPECT_FALSE(r.center.registerHotKey(0x0A, 0x300, [] {})); // untranslatable key
    EXPECT_EQ(r.center.registerHotKey(8, 0x300, [] {}), 2u);
    r.center.unregisterHotKey(1);
    // Identifiers are never reused.
    EXPECT_EQ(r.center.registerHotKey(9, 0x300, [] {}), 3u);
    EXPECT_EQ(r.grabber->grabs.size(), 2u);
    r.center.unregisterHotKey(77); // unknown: nothing happens
    EXPECT_EQ(r.grabber->grabs.size(), 2u);
}

TEST(HotKeyCenterRegistry, HandlersRunOnALaterTurnAndOnlyWhileRegistered)
{
    Registry r;
    int panel = 0, pasteNext = 0;
    const auto panelID = r.center.registerHotKey(9, 0x300, [&] { ++panel; });
    const auto nextID = r.center.registerHotKey(9, 0x900, [&] { ++pasteNext; });
    ASSERT_TRUE(panelID && nextID);

    r.grabber->press(shiftSuperV);
    EXPECT_EQ(panel, 0); // never inside the key event
    QCoreApplication::processEvents();
    EXPECT_EQ(panel, 1);
    EXPECT_EQ(pasteNext, 0);

    // Pressed, then unregistered before the event loop came round: not called.
    r.grabber->press(altSuperV);
    r.center.unregisterHotKey(*nextID);
    QCoreApplication::processEvents();
    EXPECT_EQ(pasteNext, 0);
    EXPECT_TRUE(r.grabber->grabs.size() == 1);

    // A handler may unregister itself.
    std::optional<quint32> once;
    once = r.center.registerHotKey(1, 0x100, [&] {
        r.center.unregisterHotKey(*once);
        ++panel;
    });
    r.grabber->press(KeyChord{'s', ChordModifier::super});
    QCoreApplication::processEvents();
    EXPECT_EQ(panel, 2);
    EXPECT_FALSE(r.center.isRegistered(*once));
}

TEST(HotKeyCenterRegistry, DestroyingTheCenterReleasesGrabsAndDropsQueuedPresses)
{
    auto *grabber = new FakeGrabber;
    int fired = 0;
    {
        HotKeyCenter center{std::unique_ptr<GlobalKeyGrabbing>(grabber)};
        center.registerHotKey(9, 0x300, [&] { ++fired; });
        grabber->press(shiftSuperV);
        EXPECT_TRUE(grabber->grabs.size() == 1);
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(fired, 0);
}

// ---- The real thing, on the X server ---------------------------------------------------------

namespace {

class X11HotKeys : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!X11GlobalKeyGrabber::isAvailable())
            FAIL() << "needs an X display";
        dpy = XOpenDisplay(nullptr);
        ASSERT_NE(dpy, nullptr);
    }
    void TearDown() override
    {
        if (!dpy)
            return;
        setNumLock(false);
        XCloseDisplay(dpy);
    }

    KeyCode code(KeySym sym) { return XKeysymToKeycode(dpy, sym); }
    void key(KeySym sym, bool down)
    {
        XTestFakeKeyEvent(dpy, code(sym), down, CurrentTime);
        XSync(dpy, False);
    }
    // Presses and releases a chord the way a user does: modifiers first, let go last.
    void chord(std::initializer_list<KeySym> modifiers, KeySym sym)
    {
        for (KeySym m : modifiers)
            key(m, true);
        key(sym, true);
        key(sym, false);
        for (KeySym m : modifiers)
            key(m, false);
    }
    unsigned pointerState()
    {
        Window rootRet, child;
        int rx, ry, wx, wy;
        unsigned mask = 0;
        XQueryPointer(dpy, DefaultRootWindow(dpy), &rootRet, &child, &rx, &ry, &wx, &wy, &mask);
        return mask;
    }
    void setNumLock(bool on) { setLock(Mod2Mask, XK_Num_Lock, on); }
    void setLock(unsigned mask, KeySym sym, bool on)
    {
        if (bool(pointerState() & mask) != on) {
            key(sym, true);
            key(sym, false);
        }
    }
    static bool waitFor(const std::function<bool()> &cond) { return QTest::qWaitFor(cond, 3000); }

    Display *dpy = nullptr;
};

// A real terminal with the focus, as the user had it.
class Xterm {
public:
    // Its own title: the previous test's terminal may still be going away.
    Xterm() : Xterm(QStringLiteral("hot-key-test-%1").arg(++s_count)) {}
    bool inFront() const { return m_focused; }
    QString trouble() const { return m_window.trouble(); }
    bool hasFocus() const { return m_window.hasFocus(); }

private:
    // Running cat, not the user's shell, which may set a title of its own and would run what is typed.
    explicit Xterm(const QString &title)
        : m_window(QStringLiteral("xterm"),
                   {QStringLiteral("-title"), title, QStringLiteral("-e"), QStringLiteral("cat")}, title)
    {
        m_focused = m_window.activate();
    }

    static inline int s_count = 0;
    test::ProgramWindow m_window;
    bool m_focused = false;
};

// The hot-key log lines, as they are written.
class HotKeyLog {
public:
    HotKeyLog()
    {
        s_log = this;
        m_previous = qInstallMessageHandler(&HotKeyLog::handle);
        QLoggingCategory::setFilterRules(QStringLiteral("com.orvantide.quillmere.hotkeys.info=true"));
    }
    ~HotKeyLog()
    {
        qInstallMessageHandler(m_previous);
        QLoggingCategory::setFilterRules(QString());
        s_log = nullptr;
    }
    bool contains(const QString &text) const
    {
        QMutexLocker lock(&m_mutex);
        return std::any_of(m_lines.begin(), m_lines.end(), [&](const QString &l) { return l.contains(text); });
    }
    QString all() const
    {
        QMutexLocker lock(&m_mutex);
        return m_lines.join(QLatin1Char('\n'));
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (s_log) {
            QMutexLocker lock(&s_log->m_mutex);
            s_log->m_lines << message;
        }
        if (s_log && s_log->m_previous)
            s_log->m_previous(type, context, message);
    }

    static inline HotKeyLog *s_log = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable QMutex m_mutex;
    QStringList m_lines;
};

// A second client on its own connection, as another program would be.
struct OtherClient {
    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    ~OtherClient() { xcb_disconnect(c); }
    bool grab(xcb_keycode_t key, uint16_t mask)
    {
        xcb_generic_error_t *e =
            xcb_request_check(c, xcb_grab_key_checked(c, 0, root, mask, key, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        free(e);
        return e == nullptr;
    }
    void ungrab(xcb_keycode_t key, uint16_t mask)
    {
        xcb_ungrab_key(c, key, root, mask);
        xcb_flush(c);
    }
    // The whole keyboard, as an open menu or a screen locker takes it.
    bool grabKeyboard()
    {
        auto *reply = xcb_grab_keyboard_reply(
            c, xcb_grab_keyboard(c, 0, root, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC), nullptr);
        const bool ok = reply && reply->status == XCB_GRAB_STATUS_SUCCESS;
        free(reply);
        return ok;
    }
    void ungrabKeyboard()
    {
        xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
        xcb_flush(c);
    }
};

} // namespace

TEST_F(X11HotKeys, RegisteredChordFiresOncePerPressAlsoWithNumLockOn)
{
    HotKeyCenter center;
    int panel = 0, pasteNext = 0;
    ASSERT_TRUE(center.registerHotKey(HotKeyCenter::keyCodeV, CarbonModifier::shift | CarbonModifier::command,
                                      [&] { ++panel; }));
    ASSERT_TRUE(center.registerHotKey(HotKeyCenter::keyCodeV, CarbonModifier::option | CarbonModifier::command,
                                      [&] { ++pasteNext; }));

    chord({XK_Shift_L, XK_Super_L}, XK_v);
    EXPECT_TRUE(waitFor([&] { return panel == 1; }));
    chord({XK_Alt_L, XK_Super_L}, XK_v);
    EXPECT_TRUE(waitFor([&] { return pasteNext == 1; }));

    setNumLock(true);
    ASSERT_TRUE(pointerState() & Mod2Mask);
    chord({XK_Shift_L, XK_Super_L}, XK_v);
    EXPECT_TRUE(waitFor([&] { return panel == 2; }));

    // Super-V alone is not the panel's chord.
    chord({XK_Super_L}, XK_v);
    QTest::qWait(150);
    EXPECT_EQ(panel, 2);
    EXPECT_EQ(pasteNext, 1);
}

TEST_F(X11HotKeys, HeldKeyFiresOnce)
{
    X11GlobalKeyGrabber grabber;
    int fired = 0;
    ASSERT_TRUE(grabber.grab(shiftSuperV, [&] { ++fired; }));

    // Auto-repeat as the server reports it: more presses without a release, or release and
    // press pairs sharing one time stamp.
    xcb_key_press_event_t ev{};
    ev.detail = code(XK_v);
    ev.state = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_4 | XCB_MOD_MASK_2;
    auto send = [&](uint8_t type, xcb_timestamp_t time) {
        ev.response_type = type;
        ev.time = time;
        grabber.nativeEventFilter("xcb_generic_event_t", &ev, nullptr);
    };
    send(XCB_KEY_PRESS, 1000);
    send(XCB_KEY_PRESS, 1500);
    send(XCB_KEY_PRESS, 1540);
    send(XCB_KEY_RELEASE, 1600);
    EXPECT_EQ(fired, 1);
    send(XCB_KEY_PRESS, 2000);
    send(XCB_KEY_RELEASE, 2500);
    send(XCB_KEY_PRESS, 2500);
    send(XCB_KEY_RELEASE, 2540);
    send(XCB_KEY_PRESS, 2540);
    send(XCB_KEY_RELEASE, 2600);
    EXPECT_EQ(fired, 2);
    // A release we never saw does not lock the key out for good.
    send(XCB_KEY_PRESS, 3000);
    send(XCB_KEY_PRESS, 9000);
    EXPECT_EQ(fired, 4);
}

// The server's own auto-repeat, with the raw events of the input extension watched as well.
TEST_F(X11HotKeys, ChordHeldDownOnTheServerFiresOnce)
{
    HotKeyCenter center;
    int fired = 0;
    ASSERT_TRUE(center.registerHotKey(9, 0x300, [&] { ++fired; }));
    key(XK_Shift_L, true);
    key(XK_Super_L, true);
    key(XK_v, true);
    // Well past the repeat delay: the key repeats many times meanwhile.
    QTest::qWait(1500);
    key(XK_v, false);
    key(XK_Super_L, false);
    key(XK_Shift_L, false);
    QTest::qWait(2 * X11GlobalKeyGrabber::blockedPressCheckMs);
    EXPECT_EQ(fired, 1);
}

TEST_F(X11HotKeys, CombinationHeldByAnotherProgramIsAFailedRegistration)
{
    const xcb_keycode_t v = code(XK_v);
    const uint16_t shiftSuper = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_4;
    {
        HotKeyLog log;
        OtherClient other;
        ASSERT_TRUE(other.grab(v, shiftSuper));
        HotKeyCenter center;
        EXPECT_FALSE(center.registerHotKey(9, 0x300, [] {}));
        // Said in the log, and told to the caller.
        EXPECT_EQ(center.lastFailure(), GrabFailure::refused);
        EXPECT_TRUE(log.contains(QStringLiteral("Hot key Shift+Super+V not set: the X server refused the grab")))
            << qPrintable(log.all());
        // Another combination on the same key is free.
        EXPECT_EQ(center.registerHotKey(9, 0x900, [] {}), 1u);
        EXPECT_FALSE(center.lastFailure());
        EXPECT_FALSE(center.registerHotKey(0x0A, 0x300, [] {}));
        EXPECT_EQ(center.lastFailure(), GrabFailure::keyNotOnKeyboard);
    }
    {
        // Only the NumLock variant is taken: still a failure, and the variants grabbed before
        // the refusal are given back.
        OtherClient other;
        ASSERT_TRUE(other.grab(v, shiftSuper | XCB_MOD_MASK_2));
        HotKeyCenter center;
        EXPECT_FALSE(center.registerHotKey(9, 0x300, [] {}));
        OtherClient third;
        EXPECT_TRUE(third.grab(v, shiftSuper));
        EXPECT_TRUE(third.grab(v, shiftSuper | XCB_MOD_MASK_LOCK));
    }
    // Our own second registration of one combination is refused too, not shared.
    HotKeyCenter center;
    EXPECT_TRUE(center.registerHotKey(9, 0x300, [] {}));
    EXPECT_FALSE(center.registerHotKey(9, 0x300, [] {}));
    EXPECT_EQ(center.lastFailure(), GrabFailure::alreadyGrabbed);
}

// CapsLock, NumLock and ScrollLock in all eight combinations, ScrollLock on whichever ModN the
// keymap gives it (none by default), with a terminal in front.
TEST_F(X11HotKeys, EveryLockCombinationFiresWithATerminalInFront)
{
    Xterm xterm;
    ASSERT_TRUE(xterm.inFront()) << qPrintable(xterm.trouble());
    const auto xmodmap = [](const char *expression) {
        return QProcess::execute(QStringLiteral("xmodmap"), {QStringLiteral("-e"), QString::fromLatin1(expression)})
            == 0;
    };
    ASSERT_TRUE(xmodmap("add mod3 = Scroll_Lock"));
    struct Restore {
        std::function<void()> f;
        ~Restore() { f(); }
    } restore{[&] {
        setLock(LockMask, XK_Caps_Lock, false);
        setLock(Mod3Mask, XK_Scroll_Lock, false);
        xmodmap("remove mod3 = Scroll_Lock");
    }};

    X11GlobalKeyGrabber grabber;
    int fired = 0;
    ASSERT_TRUE(grabber.grab(shiftSuperV, [&] { ++fired; }));
    const std::vector<quint16> variants = grabber.lockVariants();
    EXPECT_EQ(std::set<quint16>(variants.begin(), variants.end()),
              (std::set<quint16>{0, LockMask, Mod2Mask, Mod3Mask, LockMask | Mod2Mask, LockMask | Mod3Mask,
                                 Mod2Mask | Mod3Mask, LockMask | Mod2Mask | Mod3Mask}));
    OtherClient other;
    for (quint16 lock : variants)
        EXPECT_FALSE(other.grab(code(XK_v), uint16_t(XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_4 | lock))) << lock;

    const std::pair<unsigned, KeySym> locks[] = {
        {LockMask, XK_Caps_Lock}, {Mod2Mask, XK_Num_Lock}, {Mod3Mask, XK_Scroll_Lock}};
    int expected = 0;
    for (int combination = 0; combination < 8; ++combination) {
        for (int i = 0; i < 3; ++i)
            setLock(locks[i].first, locks[i].second, combination & (1 << i));
        ASSERT_EQ(pointerState() & (LockMask | Mod2Mask | Mod3Mask),
                  (combination & 1 ? LockMask : 0u) | (combination & 2 ? Mod2Mask : 0u)
                      | (combination & 4 ? Mod3Mask : 0u));
        chord({XK_Shift_L, XK_Super_L}, XK_v);
        ++expected;
        EXPECT_TRUE(waitFor([&] { return fired == expected; })) << "locks " << combination;
        fired = expected;
    }
    EXPECT_TRUE(xterm.hasFocus());
}

// Another program holding the whole keyboard (an open menu, a locker) keeps our grab from firing;
// the press is seen anyway, acted on once the keyboard is free, and said when it never is.
TEST_F(X11HotKeys, APressDuringAnotherProgramsKeyboardGrabIsNotLostSilently)
{
    Xterm xterm;
    ASSERT_TRUE(xterm.inFront()) << qPrintable(xterm.trouble());
    HotKeyLog log;
    HotKeyCenter center;
    int panel = 0;
    ASSERT_TRUE(center.registerHotKey(9, 0x300, [&] { ++panel; }));

    OtherClient other;
    ASSERT_TRUE(other.grabKeyboard());
    chord({XK_Shift_L, XK_Super_L}, XK_v);
    ASSERT_TRUE(waitFor([&] { return log.contains(QStringLiteral("pressed while another program holds")); }))
        << qPrintable(log.all());
    EXPECT_EQ(panel, 0);
    other.ungrabKeyboard();
    EXPECT_TRUE(waitFor([&] { return panel == 1; }));

    // Held for longer than the press waits: dropped, and said so.
    ASSERT_TRUE(other.grabKeyboard());
    chord({XK_Shift_L, XK_Super_L}, XK_v);
    EXPECT_TRUE(QTest::qWaitFor([&] { return log.contains(QStringLiteral("not acted on")); },
                                X11GlobalKeyGrabber::blockedPressWaitMs + 3000))
        << qPrintable(log.all());
    other.ungrabKeyboard();
    QTest::qWait(2 * X11GlobalKeyGrabber::blockedPressCheckMs);
    EXPECT_EQ(panel, 1);

    // Ordinary presses go on as before, each once.
    chord({XK_Shift_L, XK_Super_L}, XK_v);
    EXPECT_TRUE(waitFor([&] { return panel == 2; }));
    QTest::qWait(2 * X11GlobalKeyGrabber::blockedPressCheckMs);
    EXPECT_EQ(panel, 2);
}

// Modifiers let go while the keyboard was ours (the chord's own grab until V comes up, a grab
// of one of our windows) send us no raw release; plain typing afterwards is no chord.
TEST_F(X11HotKeys, PlainTypingAfterModifiersLetGoWhileWeHeldTheKeyboardNeverFires)
{
    Xterm xterm;
    ASSERT_TRUE(xterm.inFront()) << qPrintable(xterm.trouble());
    HotKeyLog log;
    HotKeyCenter center;
    int panel = 0;
    ASSERT_TRUE(center.registerHotKey(9, 0x300, [&] { ++panel; }));
    const auto typeSlowly = [&] {
        for (const char c : std::string_view("have a very vivid view")) {
            const KeySym sym = c == ' ' ? XK_space : KeySym(c);
            key(sym, true);
            key(sym, false);
            QTest::qWait(120);
        }
        QTest::qWait(2 * X11GlobalKeyGrabber::blockedPressCheckMs);
    };

    key(XK_Shift_L, true);
    key(XK_Super_L, true);
    key(XK_v, true);
    key(XK_Shift_L, false);
    key(XK_Super_L, false);
    key(XK_v, false);
    ASSERT_TRUE(waitFor([&] { return panel == 1; }));
    typeSlowly();
    EXPECT_EQ(panel, 1) << qPrintable(log.all());

    // The same with the whole keyboard held by this program's connection meanwhile.
    auto *c = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    key(XK_Shift_L, true);
    key(XK_Super_L, true);
    free(xcb_grab_keyboard_reply(
        c, xcb_grab_keyboard(c, 0, root, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC), nullptr));
    key(XK_Shift_L, false);
    key(XK_Super_L, false);
    xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
    xcb_flush(c);
    ASSERT_TRUE(xterm.hasFocus());
    typeSlowly();
    EXPECT_EQ(panel, 1) << qPrintable(log.all());
    EXPECT_FALSE(log.contains(QStringLiteral("acted on after"))) << qPrintable(log.all());

    // The full chord still works, also while another program holds the keyboard.
    chord({XK_Shift_L, XK_Super_L}, XK_v);
    EXPECT_TRUE(waitFor([&] { return panel == 2; }));
    OtherClient other;
    ASSERT_TRUE(other.grabKeyboard());
    chord({XK_Shift_L, XK_Super_L}, XK_v);
    QTest::qWait(3 * X11GlobalKeyGrabber::blockedPressCheckMs);
    other.ungrabKeyboard();
    EXPECT_TRUE(waitFor([&] { return panel == 3; })) << qPrintable(log.all());
}

TEST_F(X11HotKeys, UnregisteringStopsTheKeyAndFreesIt)
{
    HotKeyCenter center;
    int fired = 0;
    const auto id = center.registerHotKey(9, 0x300, [&] { ++fired; });
    ASSERT_TRUE(id);
    chord({XK_Shift_L, XK_Super_L}, XK_v);
    ASSERT_TRUE(waitFor([&] { return fired == 1; }));

    center.unregisterHotKey(*id);
    chord({XK_Shift_L, XK_Super_L}, XK_v);
    QTest::qWait(150);
    EXPECT_EQ(fired, 1);

    OtherClient other;
    for (int lock : {0, int(XCB_MOD_MASK_LOCK), int(XCB_MOD_MASK_2), int(XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2)})
        EXPECT_TRUE(other.grab(code(XK_v), uint16_t(XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_4 | lock))) << lock;
}

TEST_F(X11HotKeys, ANewKeyboardLayoutMovesTheChordToItsKey)
{
    const QString setxkbmap = QStandardPaths::findExecutable(QStringLiteral("setxkbmap"));
    if (setxkbmap.isEmpty())
        FAIL() << "needs setxkbmap";
    auto layout = [&](const char *name) { return QProcess::execute(setxkbmap, {QString::fromLatin1(name)}) == 0; };
    ASSERT_TRUE(layout("us"));
    struct Restore {
        std::function<void()> f;
        ~Restore() { f(); }
    } restore{[&] { layout("us"); }};

    HotKeyCenter center;
    int fired = 0;
    ASSERT_TRUE(center.registerHotKey(9, 0x300, [&] { ++fired; }));
    const KeyCode usV = code(XK_v);
    // A whole new keymap arrives through the keyboard extension alone.
    ASSERT_TRUE(layout("dvorak"));
    XCloseDisplay(dpy); // a fresh connection sees the new keymap at once
    dpy = XOpenDisplay(nullptr);
    ASSERT_NE(code(XK_v), usV);

    // The key that now types "v" fires; the one that used to no longer does.
    EXPECT_TRUE(waitFor([&] {
        chord({XK_Shift_L, XK_Super_L}, XK_v);
        return QTest::qWaitFor([&] { return fired == 1; }, 300);
    }));
    const std::pair<KeyCode, bool> oldKey[] = {
        {code(XK_Shift_L), true},  {code(XK_Super_L), true}, {usV, true}, {usV, false},
        {code(XK_Super_L), false}, {code(XK_Shift_L), false}};
    for (const auto &[keycode, down] : oldKey)
        XTestFakeKeyEvent(dpy, keycode, down, CurrentTime);
    XSync(dpy, False);
    QTest::qWait(150);
    EXPECT_EQ(fired, 1);
}
