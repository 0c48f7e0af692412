// The hot key pressed around a file dialog of the program, with a window of this program in
// front, as when the user leaves the settings' export or import dialog and goes back to the history.
#include "PanelX11Fixture.h"

#include <QFileDialog>

using namespace quillmere;
using namespace Qt::StringLiterals;

namespace {

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

// The settings run their file dialogs modal to the whole program; the panel must not be one of
// the windows such a dialog blocks, nor block the dialog in turn, and the keys that close the
// dialog and call the panel may come in one burst.
TEST_F(PanelX11, TheHotKeyOpensThePanelWithTheKeyboardOverAModalFileDialogAndAsItCloses)
{
    launch();
    TargetWindow settings(u"settings stand-in"_s);
    makeActive(settings);
    for (QWidget *owner : {&settings.window, static_cast<QWidget *>(nullptr)}) {
        SCOPED_TRACE(owner ? "dialog over the settings" : "dialog of its own");
        QFileDialog dialog(owner, u"Export All Clips"_s);
        dialog.setWindowModality(Qt::ApplicationModal); // as exec() makes it
        dialog.show();
        ASSERT_TRUE(QTest::qWaitFor([&] { return focusedWindowIs(dialog); }, patience));

        openWithHotKey();
        ASSERT_TRUE(xdotool({u"key"_s, u"Escape"_s}));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !controller().panel().isVisible(); }, patience));
        ASSERT_TRUE(QTest::qWaitFor([&] { return isActive(quint32(dialog.winId())); }, patience))
            << "the keyboard goes back to the dialog";
        ASSERT_TRUE(QTest::qWaitFor([&] { return focusedWindowIs(dialog); }, patience));
        // Going to the dialog still closes the panel.
        openWithHotKey();
        activate(quint32(dialog.winId()));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !controller().panel().isVisible(); }, patience));
        ASSERT_TRUE(QTest::qWaitFor([&] { return focusedWindowIs(dialog); }, patience));

        ASSERT_TRUE(xdotool({u"key"_s, u"Escape"_s, u"key"_s, u"shift+super+v"_s}));
        ASSERT_TRUE(QTest::qWaitFor([&] { return panelIsOpen(); }, patience));
        EXPECT_FALSE(dialog.isVisible());
        ASSERT_TRUE(xdotool({u"key"_s, u"Escape"_s}));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !controller().panel().isVisible(); }, patience));
        if (owner) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return isActive(settings); }, patience));
        } else {
            makeActive(settings);
        }
    }
}
