#include "Support/PrivateMounts.h"

#include <QApplication>
#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char **argv)
{
    quillmere::test::PrivateMounts::enter();
    // Never touch the user's real config or data from a test.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + "/data").toUtf8());
    qputenv("XDG_CACHE_HOME", (home.path() + "/cache").toUtf8());
    qputenv("XDG_STATE_HOME", (home.path() + "/state").toUtf8());
    qputenv("XDG_RUNTIME_DIR", home.path().toUtf8()); // private (0700), as a session's own is
    // Nothing another account or an earlier run left in the shared temporary folder can matter.
    const QString tmp = home.path() + "/tmp";
    if (!QDir().mkdir(tmp)) {
        std::fprintf(stderr, "Cannot make the test's temporary folder %s\n", qPrintable(tmp));
        return 1;
    }
    qputenv("TMPDIR", tmp.toUtf8());
    // With no session bus named, the first widget's accessibility bridge makes libdbus fork to
    // launch one; under a sanitizer that child can deadlock on an allocator lock another thread held
    // at the fork, and the test hangs reading its pipe. A bus that is not there fails at once.
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        qputenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + home.path() + "/no-session-bus").toUtf8());
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
