#include "Quillmere/Platform/FrontApplication.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include <unistd.h>
#include <xcb/xcb.h>

using namespace quillmere;

namespace {

bool windowManagerRunning()
{
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11)
        return false;
    xcb_connection_t *c = x11->connection();
    const char name[] = "_NET_SUPPORTING_WM_CHECK";
    auto *atomReply = xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, sizeof name - 1, name), nullptr);
    const xcb_atom_t atom = atomReply ? atomReply->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(atomReply);
    if (atom == XCB_ATOM_NONE)
        return false;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    auto *reply = xcb_get_property_reply(c, xcb_get_property(c, 0, root, atom, XCB_ATOM_WINDOW, 0, 1), nullptr);
    const bool present = reply && xcb_get_property_value_length(reply) >= 4;
    free(reply);
    return present;
}

} // namespace

TEST(CurrentFrontApplication, NamesTheProcessBehindTheActiveWindow)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb") || !windowManagerRunning())
        GTEST_SKIP() << "needs an X display with a window manager";

    QWidget window;
    window.setWindowTitle(QStringLiteral("front"));
    window.resize(200, 100);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] {
        const auto app = currentFrontApplication();
        return app && app->window == quint32(window.winId());
    }));

    const auto app = currentFrontApplication();
    EXPECT_EQ(app->pid, qint64(::getpid()));
    EXPECT_FALSE(app->wmClassName.isEmpty());
    EXPECT_EQ(app->name, app->wmClassName);
}
