// The XTest key injector against a real X server: keys held while the focus moves come out
// first, in order, and a key still down when the keyboard is let go is typed once.
#include "Quillmere/Platform/KeyInjector.h"
#include "Quillmere/Platform/WindowActivator.h"
#include "Support/DisplayTestSupport.h"

#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

using namespace quillmere;
using namespace Qt::StringLiterals;

namespace {

constexpr int patience = 10000;

// The user's keyboard, on a connection of its own.
struct Keyboard {
    std::unique_ptr<Display, int (*)(Display *)> display{XOpenDisplay(nullptr), XCloseDisplay};
    unsigned code(KeySym sym) { return XKeysymToKeycode(display.get(), sym); }
    void press(KeySym sym) { XTestFakeKeyEvent(display.get(), code(sym), True, CurrentTime); }
    void release(KeySym sym) { XTestFakeKeyEvent(display.get(), code(sym), False, CurrentTime); }
    void type(KeySym sym)
    {
        press(sym);
        release(sym);
    }
    void sync() { XSync(display.get(), False); }
};

} // namespace

TEST(XTestKeyInjector, HeldKeysComeOutInOrderBeforeLaterOnesAndAKeyStillDownOnce)
{
    ASSERT_TRUE(test::windowManagerRunning()) << "needs an X display with a window manager";
    QWidget window;
    auto *field = new QLineEdit(&window);
    (new QVBoxLayout(&window))->addWidget(field);
    window.setGeometry(200, 200, 320, 80);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    X11WindowActivator windows;
    windows.activate(WindowTarget{quint32(window.winId()), 0});
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.isActiveWindow() && field->hasFocus(); }, patience));

    Keyboard user;
    XTestKeyInjector injector;
    ASSERT_TRUE(injector.holdKeys());
    EXPECT_TRUE(injector.isHoldingKeys());
    user.type(XK_b);
    user.type(XK_c);
    user.press(XK_d); // still down when the keyboard is let go
    user.sync();
    QTest::qWait(50); // nothing reaches the field while the keys are held
    EXPECT_TRUE(field->text().isEmpty()) << field->text().toStdString();

    const TypedKey a{user.code(XK_a), 0};
    injector.releaseKeys({a}, true);
    EXPECT_FALSE(injector.isHoldingKeys());
    user.release(XK_d);
    user.type(XK_e);
    user.sync();
    EXPECT_TRUE(QTest::qWaitFor([&] { return field->text() == u"abcde"_s; }, patience)) << field->text().toStdString();

    // Let go without typing: what was held is dropped, later keys go as usual.
    ASSERT_TRUE(injector.holdKeys());
    user.type(XK_x);
    user.sync();
    injector.releaseKeys({}, false);
    user.type(XK_f);
    user.sync();
    EXPECT_TRUE(QTest::qWaitFor([&] { return field->text() == u"abcdef"_s; }, patience)) << field->text().toStdString();
}
