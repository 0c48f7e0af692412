// The paste road against a real X server: XTest keys, window-manager activation and the
// CLIPBOARD selection. Needs an X display with a window manager (Xvfb + openbox); skipped
// without one.
#include "PasteFakes.h"
#include "Support/DisplayTestSupport.h"
#include "Support/ForeignClipboardOwner.h"
#include "Support/ProgramWindow.h"

#include "Quillmere/Clipboard/SequentialPasteController.h"
#include "Quillmere/Platform/GlobalKeyGrabber.h"

#include <QClipboard>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <gtest/gtest.h>
#include <map>
#include <unistd.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

using namespace quillmere;
using namespace Qt::StringLiterals;
using test::textClip;

namespace {

constexpr int patience = 5000;

// A small window with one text field, standing in for the application the user pastes into.
struct TextWindow {
    QWidget window;
    QLineEdit *field = new QLineEdit(&window);

    explicit TextWindow(const QString &title)
    {
        window.setWindowTitle(title);
        (new QVBoxLayout(&window))->addWidget(field);
        window.resize(320, 80);
        window.show();
        field->setFocus();
    }
    WindowTarget target() { return WindowTarget{quint32(window.winId()), qint64(::getpid())}; }
};

class PasteX11 : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!test::windowManagerRunning())
            FAIL() << "needs an X display with a window manager";
        PasteServiceDependencies deps;
        deps.pasteboard = &pasteboard;
        deps.notificationCenter = &center;
        deps.keys = keys;
        deps.windows = &windows;
        deps.beep = [this] { ++beeps; };
        deps.ownProcessId = ownProcessId;
        service = std::make_unique<PasteService>(std::move(deps));
    }

    void makeActive(TextWindow &w)
    {
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.window));
        // Qt's own request, so the activation under test is not also the one setting the scene.
        w.window.activateWindow();
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return windows.activeWindow() == w.target() && w.field->hasFocus(); }, patience));
    }
    // Writes a text clip and sends its paste to `to`; gives the caret-back count.
    std::optional<int> paste(const QString &text, std::optional<PasteService::PasteTarget> to)
    {
        const auto caretBack = service->writeToPasteboard(*textClip(text));
        service->deliverPaste(to, caretBack.value_or(0));
        return caretBack;
    }

    SystemPasteboard pasteboard;
    NotificationCenter center;
    XTestKeyInjector realKeys;
    KeyInjector *keys = &realKeys;
    X11WindowActivator windows;
    std::unique_ptr<PasteService> service;
    qint64 ownProcessId = 0; // 0: this process
    int beeps = 0;
    // A second connection, to play the user's keyboard.
    std::unique_ptr<Display, int (*)(Display *)> display{XOpenDisplay(nullptr), XCloseDisplay};
};

} // namespace

TEST_F(PasteX11, ClipLandsInTheRecordedWindowWithTheCaretBackEvenWhenAnotherIsInFront)
{
    ASSERT_TRUE(service->isTrusted());
    // The second window comes only after the recording: a window manager that focuses new
    // windows would otherwise pass the focus through None while the target is being read.
    TextWindow target(u"target"_s);
    makeActive(target);
    auto recorded = service->activeTarget();
    ASSERT_TRUE(recorded);
    EXPECT_EQ(recorded->app, target.target());
    EXPECT_FALSE(service->frontmostTarget()) << "our own window is never a paste target";
    // Both windows belong to this process; match the window alone, as for another program's.
    recorded->app.pid = 0;
    TextWindow other(u"other"_s);
    makeActive(other);

    // A template's cursor mark moves the caret back once the text is in.
    EXPECT_EQ(paste(u"Hello {cursor}from the history"_s, recorded), 16);
    EXPECT_EVENTUALLY_EQ(target.field->text(), u"Hello from the history"_s, patience);
    EXPECT_EVENTUALLY_EQ(target.field->cursorPosition(), 6, patience);
    EXPECT_TRUE(other.field->text().isEmpty());
    EXPECT_EQ(QGuiApplication::clipboard()->text(), u"Hello from the history"_s);
}

TEST_F(PasteX11, StackedClipsArePastedInOrder)
{
    // The stack pastes only into another program's window; this process's stands in for one.
    ownProcessId = 1;
    SetUp();
    std::map<QUuid, ClipRef> clips;
    SequentialPasteController controller([&](const QUuid &id) { return clips.count(id) ? clips[id] : nullptr; },
                                         *service);
    for (const char *text : {"one ", "two ", "three"}) {
        const ClipRef clip = textClip(QString::fromLatin1(text));
        clips[clip->dedupID()] = clip;
        controller.enqueue(clip->dedupID());
    }
    TextWindow target(u"stack"_s);
    makeActive(target);

    for (const QString &expected : {u"one "_s, u"one two "_s, u"one two three"_s}) {
        ASSERT_TRUE(controller.pasteNext());
        EXPECT_EVENTUALLY_EQ(target.field->text(), expected, patience);
    }
    EXPECT_FALSE(controller.pasteNext());
    EXPECT_EQ(beeps, 1);
}

TEST_F(PasteX11, ChordFollowsTheKeyboardLayout)
{
    // Swap V with F, as a layout that puts V elsewhere does: the chord must follow the keysym.
    Display *d = display.get();
    ASSERT_TRUE(d);
    const KeyCode v = XKeysymToKeycode(d, XK_v), f = XKeysymToKeycode(d, XK_f);
    ASSERT_TRUE(v && f);
    int perCode = 0;
    KeySym *vSyms = XGetKeyboardMapping(d, v, 1, &perCode);
    KeySym *fSyms = XGetKeyboardMapping(d, f, 1, &perCode);
    XChangeKeyboardMapping(d, v, perCode, fSyms, 1);
    XChangeKeyboardMapping(d, f, perCode, vSyms, 1);
    XSync(d, False);
    const auto restore = qScopeGuard([&] {
        XChangeKeyboardMapping(d, v, perCode, vSyms, 1);
        XChangeKeyboardMapping(d, f, perCode, fSyms, 1);
        XSync(d, False);
        XFree(vSyms);
        XFree(fSyms);
    });
    ASSERT_EQ(XKeysymToKeycode(d, XK_v), f);

    TextWindow target(u"layout"_s);
    makeActive(target);
    QTest::qWait(200); // lets Qt take in the new keymap before the chord arrives
    paste(u"layout-proof"_s, service->activeTarget());
    EXPECT_EVENTUALLY_EQ(target.field->text(), u"layout-proof"_s, patience);
}

TEST_F(PasteX11, PasteWaitsUntilHotKeyModifiersAreReleased)
{
    ASSERT_TRUE(display);
    const KeyCode alt = XKeysymToKeycode(display.get(), XK_Alt_L);
    const auto press = [&](bool down) {
        XTestFakeKeyEvent(display.get(), alt, down, CurrentTime);
        XSync(display.get(), False);
    };
    const auto release = qScopeGuard([&] { press(false); });

    TextWindow target(u"modifiers"_s);
    makeActive(target);
    EXPECT_FALSE(realKeys.modifiersHeld());
    press(true);
    EXPECT_TRUE(realKeys.modifiersHeld());

    // Still holding Alt from the hot key: Ctrl+Alt+V would paste nothing.
    paste(u"after release"_s, service->activeTarget());
    QTest::qWait(service->timings().keystrokeDelay + 100);
    EXPECT_TRUE(target.field->text().isEmpty());
    press(false);
    EXPECT_FALSE(realKeys.modifiersHeld());
    EXPECT_EVENTUALLY_EQ(target.field->text(), u"after release"_s, patience);
}

TEST_F(PasteX11, ClosedWindowCountsAsGone)
{
    auto window = std::make_unique<TextWindow>(u"closing"_s);
    makeActive(*window);
    const WindowTarget gone = window->target();
    EXPECT_FALSE(windows.isTerminated(gone));
    window.reset();
    EXPECT_TRUE(QTest::qWaitFor([&] { return windows.isTerminated(gone); }, patience));
}

TEST_F(PasteX11, AHungClipboardOwnerIsAskedOnlyByTheReaderOfItsChange)
{
    test::ForeignClipboardOwner hung(test::ForeignClipboardOwner::text("never sent"), false);
    ASSERT_TRUE(hung.waitUntilOwner());
    ASSERT_TRUE(QTest::qWaitFor([&] { return pasteboard.changeCount() > 0 && !pasteboard.ownsClipboard(); }));

    EXPECT_EQ(service->writeToPasteboard(*textClip(u"plain"_s)), 0);
    EXPECT_EQ(service->writeToPasteboard(*textClip(u"dated {date:yyyy}{cursor}."_s)), 1);
    EXPECT_EQ(hung.dataRequests(), 1);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), u"dated %1."_s.arg(QDate::currentDate().year()));
}

TEST_F(PasteX11, WithoutXTestOnlyTheClipboardIsSet)
{
    test::FakeKeyInjector untrusted;
    untrusted.trusted = false;
    keys = &untrusted;
    SetUp();
    TextWindow target(u"untrusted"_s);
    makeActive(target);
    EXPECT_EQ(paste(u"by hand {cursor}later"_s, service->activeTarget()), 0);
    QTest::qWait(service->timings().keystrokeDelay * 3);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), u"by hand later"_s);
    EXPECT_TRUE(target.field->text().isEmpty());
    EXPECT_TRUE(untrusted.sent.isEmpty());
}

TEST_F(PasteX11, AnXtermGetsTheClipThroughShiftInsertAndPrimary)
{
    QTemporaryDir dir;
    const QString received = dir.filePath(u"received"_s);
    // Every byte the terminal gets, as it comes (no line editing, no echo).
    test::ProgramWindow xterm(u"xterm"_s,
                              {u"-T"_s, u"paste into xterm"_s, u"-e"_s, u"sh"_s, u"-c"_s,
                               u"stty -icanon -echo; exec cat > \"$0\""_s, received},
                              u"paste into xterm"_s);
    ASSERT_TRUE(xterm.shown()) << qPrintable(xterm.trouble());
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(received); }, patience)) << "the terminal's shell never ran";
    const WindowTarget window{xterm.window(), 0};
    windows.activate(window);
    ASSERT_TRUE(QTest::qWaitFor([&] { return windows.isFrontmost(window); }, patience));
    EXPECT_EQ(windows.windowClass(window).className, u"XTerm"_s);

    const auto target = service->activeTarget();
    ASSERT_TRUE(target);
    paste(u"echo from the history"_s, target);
    const auto arrived = [&] {
        QFile file(received);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };
    EXPECT_EVENTUALLY_EQ(arrived(), u"echo from the history"_s, patience);
    EXPECT_EQ(QGuiApplication::clipboard()->text(QClipboard::Selection), u"echo from the history"_s);
}

// The user picks a Tk window and presses paste-next at once: the press waits until that window
// has the keyboard, and a clip leaves the stack only with its paste.
TEST_F(PasteX11, APasteNextPressWaitsForItsTkWindowAndKeepsTheFirstClip)
{
    QTemporaryDir dir;
    const QString script = dir.filePath(u"target.tcl"_s), received = dir.filePath(u"received"_s);
    {
        QFile file(script);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("wm title . {paste stack target}\ntext .t -width 40 -height 3\npack .t\nfocus .t\n"
                   "proc report {} {set f [open [lindex $::argv 0] w]; puts -nonewline $f [.t get 1.0 end-1c];"
                   " close $f; after 30 report}\nreport\n");
    }
    test::ProgramWindow wish(u"wish"_s, {script, received}, u"paste stack target"_s);
    ASSERT_TRUE(wish.shown()) << qPrintable(wish.trouble());
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(received); }, patience)) << "the Tk script never ran";
    const WindowTarget tk{wish.window(), 0};
    const auto arrived = [&] {
        QFile file(received);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };

    std::map<QUuid, ClipRef> clips;
    SequentialPasteController controller([&](const QUuid &id) { return clips.count(id) ? clips[id] : nullptr; },
                                         *service);
    std::vector<QUuid> ids;
    for (const char *text : {"first ", "second"}) {
        const ClipRef clip = textClip(QString::fromLatin1(text));
        clips[clip->dedupID()] = clip;
        ids.push_back(clip->dedupID());
        controller.enqueue(clip->dedupID());
    }
    X11GlobalKeyGrabber grabber;
    ASSERT_TRUE(
        grabber.grab(KeyChord{'v', ChordModifier::alt | ChordModifier::super}, [&] { controller.pasteNext(); }));
    Display *d = display.get();
    const auto pressPasteNext = [&] {
        const KeyCode alt = XKeysymToKeycode(d, XK_Alt_L), super = XKeysymToKeycode(d, XK_Super_L),
                      v = XKeysymToKeycode(d, XK_v);
        for (const auto &[code, down] :
             {std::pair{alt, true}, {super, true}, {v, true}, {v, false}, {super, false}, {alt, false}})
            XTestFakeKeyEvent(d, code, down, CurrentTime);
        XSync(d, False);
    };

    // Our own window still has the keyboard when the key comes; the Tk window only a little later.
    TextWindow ours(u"ours"_s);
    makeActive(ours);
    pressPasteNext();
    QTest::qWait(service->timings().keystrokeDelay + 150);
    EXPECT_EQ(controller.stack().ids, ids) << "nothing was pasted yet";
    windows.activate(tk);
    EXPECT_EVENTUALLY_EQ(arrived(), u"first "_s, patience);
    EXPECT_EVENTUALLY_EQ(controller.stack().ids, std::vector<QUuid>{ids[1]}, patience);
    EXPECT_TRUE(ours.field->text().isEmpty());

    pressPasteNext();
    EXPECT_EVENTUALLY_EQ(arrived(), u"first second"_s, patience);
    EXPECT_EVENTUALLY_EQ(controller.stack().isEmpty(), true, patience);
    EXPECT_EQ(beeps, 0);
}
