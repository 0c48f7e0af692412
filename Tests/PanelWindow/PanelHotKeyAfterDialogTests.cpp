// The hot key pressed right after a file dialog closed, with a window of this program in front,
// as when the user leaves the settings' export or import dialog and goes back to the history.
#include "PanelX11Fixture.h"

#include <QFileDialog>

using namespace quillmere;
using namespace Qt::StringLiterals;

namespace {

using test::patience;
using test::TargetWindow;
using test::xdotool;

bool focusedWindowIs(QWidget &widget)
{
    return widget.windowHandle() && QGuiApplication::focusWindow() == widget.windowHandle();
}

} // namespace

TEST_F(PanelX11, EveryHotKeyPressAfterAFileDialogClosedOpensThePanelWithTheKeyboard)
{
    launch();
    TargetWindow settings(u"settings stand-in"_s);
    makeActive(settings);
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        QFileDialog dialog(&settings.window, u"Import Backup"_s);
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.open();
        ASSERT_TRUE(QTest::qWaitFor([&] { return focusedWindowIs(dialog); }, patience));
        ASSERT_TRUE(xdotool({u"key"_s, u"Escape"_s}));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, patience));

        openWithHotKey();
        ASSERT_TRUE(xdotool({u"key"_s, u"Escape"_s}));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !controller().panel().isVisible(); }, patience));
        ASSERT_TRUE(QTest::qWaitFor([&] { return isActive(settings); }, patience))
            << "the keyboard goes back to the window the panel opened over";
    }
}
