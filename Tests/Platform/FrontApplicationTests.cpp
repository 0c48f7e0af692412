#include "Quillmere/Platform/FrontApplication.h"

#include "Support/DisplayTestSupport.h"

#include <QWidget>
#include <gtest/gtest.h>

#include <unistd.h>

using namespace quillmere;

TEST(CurrentFrontApplication, NamesTheProcessBehindTheActiveWindow)
{
    if (!test::windowManagerRunning())
        FAIL() << "needs an X display with a window manager";
    QWidget window;
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
