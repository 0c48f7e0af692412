// The paste road against a real X server: XTest keys, window-manager activation and the
// CLIPBOARD selection. Needs an X display with a window manager (Xvfb + openbox); skipped
// without one.
#include "ForeignClipboardOwner.h"
#include "PasteFakes.h"

#include "Quillmere/Clipboard/PasteService.h"
#include "Quillmere/Clipboard/SequentialPasteController.h"
#include "Quillmere/Model/Records.h"
#include "Quillmere/Platform/KeyInjector.h"
#include "Quillmere/Platform/NotificationCenter.h"
#include "Quillmere/Platform/Pasteboard.h"

#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QScopeGuard>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>
#include <map>
#include <unistd.h>
#include <xcb/xcb.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

using namespace quillmere;

namespace {

constexpr int patience = 5000;

bool windowManagerRunning()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return false;
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t *c = x11 ? x11->connection() : nullptr;
    if (!c)
        return false;
    const char name[] = "_NET_SUPPORTING_WM_CHECK";
    xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, sizeof name - 1, name), nullptr);
    if (!atom)
        return false;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    xcb_get_property_reply_t *reply =
        xcb_get_property_reply(c, xcb_get_property(c, 0, root, atom->atom, XCB_ATOM_WINDOW, 0, 1), nullptr);
    const bool present = reply && xcb_get_property_value_length(reply) == 4;
    free(reply);
    free(atom);
    return present;
}

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
        if (!windowManagerRunning())
            GTEST_SKIP() << "needs an X display with a window manager";
        PasteServiceDependencies deps;
        deps.pasteboard = &pasteboard;
        deps.notificationCenter = &center;
        deps.keys = keys;
        deps.windows = &windows;
        deps.beep = [this] { ++beeps; };
        service = std::make_unique<PasteService>(std::move(deps));
    }

    void makeActive(TextWindow &w)
    {
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.window));
        // Qt's own request, so the activation under test is not also the one setting the scene.
        w.window.activateWindow();
        ASSERT_TRUE(QTest::qWaitFor([&] { return windows.activeWindow() == w.target() && w.field->hasFocus(); }, patience));
    }

    static std::unique_ptr<ClipItem> textClip(const QString &text)
    {
        auto clip = std::make_unique<ClipItem>();
        clip->setText(text);
        return clip;
    }

    SystemPasteboard pasteboard;
    NotificationCenter center;
    XTestKeyInjector realKeys;
    KeyInjector *keys = &realKeys;
    X11WindowActivator windows;
    std::unique_ptr<PasteService> service;
    int beeps = 0;
};

} // namespace

TEST_F(PasteX11, ClipLandsInTheRecordedWindowEvenWhenAnotherIsInFront)
{
    ASSERT_TRUE(service->isTrusted());
    TextWindow target(QStringLiteral("target")), other(QStringLiteral("other"));
    makeActive(target);
    auto recorded = service->activeTarget();
    ASSERT_TRUE(recorded);
    EXPECT_EQ(recorded->app, target.target());
    EXPECT_FALSE(service->frontmostTarget()) << "our own window is never a paste target";
    // Both windows belong to this process; match the window alone, as for another program's.
    recorded->app.pid = 0;
    makeActive(other);

    const auto clip = textClip(QStringLiteral("Hello from the history"));
    const auto caretBack = service->writeToPasteboard(*clip);
    ASSERT_EQ(caretBack, 0);
    service->deliverPaste(recorded, *caretBack);

    EXPECT_EVENTUALLY_EQ(target.field->text(), QStringLiteral("Hello from the history"), patience);
    EXPECT_TRUE(other.field->text().isEmpty());
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("Hello from the history"));
}

TEST_F(PasteX11, CursorMarkMovesTheCaretBack)
{
    TextWindow target(QStringLiteral("template"));
    makeActive(target);
    const auto recorded = service->activeTarget();
    const auto caretBack = service->writeToPasteboard(*textClip(QStringLiteral("<b>{cursor}</b>")));
    ASSERT_EQ(caretBack, 4);
    service->deliverPaste(recorded, *caretBack);

    EXPECT_EVENTUALLY_EQ(target.field->text(), QStringLiteral("<b></b>"), patience);
    EXPECT_EVENTUALLY_EQ(target.field->cursorPosition(), 3, patience);
}

TEST_F(PasteX11, StackedClipsArePastedInOrder)
{
    std::map<QUuid, ClipRef> clips;
    SequentialPasteController controller([&](const QUuid &id) { return clips.count(id) ? clips[id] : nullptr; }, *service);
    for (const char *text : {"one ", "two ", "three"}) {
        auto clip = std::make_shared<ClipItem>();
        clip->setText(QString::fromLatin1(text));
        clips[clip->dedupID()] = clip;
        controller.enqueue(clip->dedupID());
    }
    TextWindow target(QStringLiteral("stack"));
    makeActive(target);

    for (const QString &expected : {QStringLiteral("one "), QStringLiteral("one two "), QStringLiteral("one two three")}) {
        ASSERT_TRUE(controller.pasteNext());
        EXPECT_EVENTUALLY_EQ(target.field->text(), expected, patience);
    }
    EXPECT_FALSE(controller.pasteNext());
    EXPECT_EQ(beeps, 1);
}

TEST_F(PasteX11, ChordFollowsTheKeyboardLayout)
{
    // Swap V with F, as a layout that puts V elsewhere does: the chord must follow the keysym.
    std::unique_ptr<Display, int (*)(Display *)> display(XOpenDisplay(nullptr), XCloseDisplay);
    ASSERT_TRUE(display);
    Display *d = display.get();
    const KeyCode v = XKeysymToKeycode(d, XK_v), f = XKeysymToKeycode(d, XK_f);
    ASSERT_NE(v, 0);
    ASSERT_NE(f, 0);
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

    TextWindow target(QStringLiteral("layout"));
    makeActive(target);
    // Let Qt take in the new keymap before the chord arrives.
    QTest::qWait(200);
    const auto caretBack = service->writeToPasteboard(*textClip(QStringLiteral("layout-proof")));
    service->deliverPaste(service->activeTarget(), caretBack.value_or(0));
    EXPECT_EVENTUALLY_EQ(target.field->text(), QStringLiteral("layout-proof"), patience);
}

TEST_F(PasteX11, PasteWaitsUntilHotKeyModifiersAreReleased)
{
    std::unique_ptr<Display, int (*)(Display *)> display(XOpenDisplay(nullptr), XCloseDisplay);
    ASSERT_TRUE(display);
    Display *d = display.get();
    const KeyCode alt = XKeysymToKeycode(d, XK_Alt_L);
    const auto press = [&](bool down) {
        XTestFakeKeyEvent(d, alt, down, CurrentTime);
        XSync(d, False);
    };
    const auto release = qScopeGuard([&] { press(false); });

    TextWindow target(QStringLiteral("modifiers"));
    makeActive(target);
    EXPECT_FALSE(realKeys.modifiersHeld());
    press(true);
    EXPECT_TRUE(realKeys.modifiersHeld());

    // Still holding Alt from the hot key: Ctrl+Alt+V would paste nothing.
    const auto caretBack = service->writeToPasteboard(*textClip(QStringLiteral("after release")));
    service->deliverPaste(service->activeTarget(), caretBack.value_or(0));
    QTest::qWait(service->timings().keystrokeDelay + 100);
    EXPECT_TRUE(target.field->text().isEmpty());
    press(false);
    EXPECT_FALSE(realKeys.modifiersHeld());
    EXPECT_EVENTUALLY_EQ(target.field->text(), QStringLiteral("after release"), patience);
}

TEST_F(PasteX11, ClosedWindowCountsAsGone)
{
    auto window = std::make_unique<TextWindow>(QStringLiteral("closing"));
    makeActive(*window);
    const WindowTarget gone = window->target();
    EXPECT_FALSE(windows.isTerminated(gone));
    window.reset();
    EXPECT_TRUE(QTest::qWaitFor([&] { return windows.isTerminated(gone); }, patience));
}

TEST_F(PasteX11, AHungClipboardOwnerIsNotAskedUnlessTheTemplateNeedsItsText)
{
    test::ForeignClipboardOwner hung(test::ForeignClipboardOwner::text("never sent"), false);
    ASSERT_TRUE(hung.waitUntilOwner());
    ASSERT_TRUE(QTest::qWaitFor([&] { return pasteboard.changeCount() > 0 && !pasteboard.ownsClipboard(); }));

    // Each read would freeze us for the toolkit's whole timeout.
    EXPECT_EQ(service->writeToPasteboard(*textClip(QStringLiteral("plain"))), 0);
    EXPECT_EQ(service->writeToPasteboard(*textClip(QStringLiteral("dated {date:yyyy}{cursor}."))), 1);
    EXPECT_EQ(hung.dataRequests(), 0);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("dated %1.").arg(QDate::currentDate().year()));
}

TEST_F(PasteX11, WithoutXTestOnlyTheClipboardIsSet)
{
    test::FakeKeyInjector untrusted;
    untrusted.trusted = false;
    keys = &untrusted;
    SetUp();
    TextWindow target(QStringLiteral("untrusted"));
    makeActive(target);
    const auto recorded = service->activeTarget();

    const auto caretBack = service->writeToPasteboard(*textClip(QStringLiteral("by hand {cursor}later")));
    ASSERT_EQ(caretBack, 0);
    service->deliverPaste(recorded, *caretBack);
    QTest::qWait(service->timings().keystrokeDelay * 3);

    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("by hand later"));
    EXPECT_TRUE(target.field->text().isEmpty());
    EXPECT_TRUE(untrusted.sent.isEmpty());
}
