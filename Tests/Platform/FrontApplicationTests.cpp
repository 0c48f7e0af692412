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

void writeEntry(const QString &path, const QByteArray &body)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(body);
}

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

TEST(DesktopEntryForWindowClass, FindsTheEntryByClassInAnyCaseAndReadsItsName)
{
    QTemporaryDir first, second;
    writeEntry(second.filePath(QStringLiteral("gimp.desktop")),
               "[Desktop Entry]\nType=Application\nName=GNU Image Manipulation Program\nExec=gimp\n"
               "[Desktop Action new]\nName=New Window\n");
    const auto match = findDesktopEntryForWindowClass(QStringLiteral("gimp-2.10"), QStringLiteral("Gimp"),
                                                      {first.path(), second.path()});
    ASSERT_TRUE(match);
    EXPECT_EQ(match->id, QStringLiteral("gimp"));
    EXPECT_EQ(match->name, QStringLiteral("GNU Image Manipulation Program"));

    EXPECT_FALSE(findDesktopEntryForWindowClass(QStringLiteral("unknown"), QStringLiteral("Unknown"), {first.path()}));
}

TEST(DesktopEntryForWindowClass, AWindowClassCannotPointOutsideTheFolders)
{
    QTemporaryDir root;
    QDir(root.path()).mkpath(QStringLiteral("apps"));
    writeEntry(root.filePath(QStringLiteral("secret.desktop")), "[Desktop Entry]\nName=Outside\n");
    const QString apps = root.filePath(QStringLiteral("apps"));
    EXPECT_FALSE(findDesktopEntryForWindowClass(QStringLiteral("../secret"), QStringLiteral("../secret"), {apps}));
    EXPECT_FALSE(findDesktopEntryForWindowClass(QStringLiteral(".hidden"), QString(), {apps}));
}

TEST(CurrentFrontApplication, NamesTheProcessBehindTheActiveWindow)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb") || !windowManagerRunning())
        GTEST_SKIP() << "needs an X display with a window manager";

    // Qt names the window class after the executable; give that class a desktop entry.
    const QString apps = QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation);
    QDir().mkpath(apps);
    const QString id = QCoreApplication::applicationName().toLower();
    writeEntry(QDir(apps).filePath(id + QStringLiteral(".desktop")), "[Desktop Entry]\nType=Application\nName=Test Runner\n");

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
    EXPECT_EQ(app->desktopFileId, id);
    EXPECT_EQ(app->name, QStringLiteral("Test Runner"));
    EXPECT_FALSE(app->wmClassName.isEmpty());
    QFile::remove(QDir(apps).filePath(id + QStringLiteral(".desktop")));
}
