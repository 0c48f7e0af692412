#include "Capture/Upload/LoopbackServer.h"
#include "Quillmere/Capture/CaptureFeatureCoordinator.h"

#include "Quillmere/Capture/Upload/ShareStorageProvider.h"
#include "Quillmere/Platform/Core/Notices.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"
#include "Quillmere/Settings/CapturePane.h"
#include "Quillmere/Settings/ShareUploadSection.h"
#include "Quillmere/Settings/ShortcutRecorderView.h"
#include "SettingsWindowFixture.h"

#include <QFile>
#include <QProcess>
#include <xcb/xcb.h>

#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::CarbonModifier;

namespace {

// Another program on a connection of its own, holding a key on the root window.
struct OtherProgram {
    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    ~OtherProgram() { xcb_disconnect(c); }
    bool grab(xcb_keycode_t key, uint16_t mask)
    {
        bool all = true;
        for (int lock : {0, int(XCB_MOD_MASK_LOCK), int(XCB_MOD_MASK_2), int(XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2)}) {
            auto cookie =
                xcb_grab_key_checked(c, 0, root, uint16_t(mask | lock), key, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
            xcb_generic_error_t *error = xcb_request_check(c, cookie);
            all = all && !error;
            free(error);
        }
        return all;
    }
    // Whether it could take the key, that is, whether nobody else holds it.
    bool canGrab(xcb_keycode_t key, uint16_t mask)
    {
        auto cookie = xcb_grab_key_checked(c, 0, root, mask, key, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        xcb_generic_error_t *error = xcb_request_check(c, cookie);
        const bool free_ = !error;
        free(error);
        if (free_)
            xcb_ungrab_key(c, key, root, mask);
        xcb_flush(c);
        return free_;
    }
};

xcb_keycode_t keycodeOf(char ch)
{
    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    const xcb_setup_t *setup = xcb_get_setup(c);
    auto reply = xcb_get_keyboard_mapping_reply(
        c, xcb_get_keyboard_mapping(c, setup->min_keycode, setup->max_keycode - setup->min_keycode + 1), nullptr);
    xcb_keycode_t found = 0;
    const xcb_keysym_t *syms = xcb_get_keyboard_mapping_keysyms(reply);
    for (int k = 0; !found && k <= setup->max_keycode - setup->min_keycode; ++k)
        if (syms[k * reply->keysyms_per_keycode] == xcb_keysym_t(ch))
            found = xcb_keycode_t(setup->min_keycode + k);
    free(reply);
    xcb_disconnect(c);
    return found;
}

// The settings window beside the real hot-key registry and capture coordinator, as the program
// wires them.
struct CapturePaneFixture : test::SettingsWindowFixture {
    std::unique_ptr<HotKeyCenter> hotKeys = std::make_unique<HotKeyCenter>();
    std::unique_ptr<CaptureFeatureCoordinator> coordinator;
    int shortcutNotices = 0;

    CapturePaneFixture()
    {
        CaptureFeatureCoordinator::Dependencies deps;
        deps.services.store = store.get();
        deps.services.pasteboard = &pasteboard;
        deps.services.center = &center;
        deps.services.preferences = prefs.prefs.get();
        HotKeyCenter *keys = hotKeys.get();
        deps.registerHotKey = [keys](quint32 code, quint32 mods, std::function<void()> handler) {
            return keys->registerHotKey(code, mods, std::move(handler));
        };
        deps.unregisterHotKey = [keys](quint32 id) { keys->unregisterHotKey(id); };
        deps.lastHotKeyRefused = [keys] { return keys->lastFailure() == GrabFailure::refused; };
        coordinator = std::make_unique<CaptureFeatureCoordinator>(std::move(deps));
        isCaptureShortcutRefused = [this](CaptureAction a) { return coordinator->isHotKeyRefused(a); };
        center.addObserver(Notices::captureShortcutsChanged, &pasteboard,
                           [this](const Notification &) { ++shortcutNotices; });
    }
    ~CapturePaneFixture()
    {
        window.reset();
        coordinator.reset();
    }

    CapturePane &openCapture()
    {
        if (!window)
            open();
        select(SettingsPane::capture);
        CapturePane *capture = pane<CapturePane>();
        EXPECT_NE(capture, nullptr);
        return *capture;
    }
    void record(CapturePane &capture, CaptureAction action, Qt::Key key, Qt::KeyboardModifiers mods)
    {
        QTest::mouseClick(capture.recorder(action), Qt::LeftButton);
        ASSERT_TRUE(capture.recorder(action)->isRecording());
        QTest::keyClick(window.get(), key, mods);
    }
    QByteArray storedFile()
    {
        prefs->sync();
        QFile file(prefs.dir.filePath(QStringLiteral("prefs.json")));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

QString recorderText(CapturePane &capture, CaptureAction action)
{
    return capture.recorder(action)->displayText();
}

} // namespace

TEST(CapturePane, ShortcutEditsAreStoredRegisteredAtOnceAndWarnedAbout)
{
    CapturePaneFixture f;
    ASSERT_TRUE(X11GlobalKeyGrabber::isAvailable());
    f.coordinator->start();
    EXPECT_EQ(f.coordinator->captureHotKeyIDs().size(), 4);
    CapturePane &capture = f.openCapture();
    EXPECT_EQ(recorderText(capture, CaptureAction::areaScreenshot), "Ctrl+Shift+4");
    EXPECT_EQ(recorderText(capture, CaptureAction::fullScreenScreenshot), "Ctrl+Shift+3");
    EXPECT_EQ(recorderText(capture, CaptureAction::ocrArea), "Shift+Super+2");
    EXPECT_EQ(recorderText(capture, CaptureAction::screenRecording), "Ctrl+Shift+5");
    EXPECT_FALSE(capture.conflictRow()->isVisible());
    EXPECT_EQ(f.shortcutNotices, 0);
    EXPECT_FALSE(f.prefs->contains(CaptureShortcutPreferences::key)) << "opening the pane writes nothing";

    // A new shortcut is grabbed on the X server at once, and the old one let go.
    OtherProgram other;
    const xcb_keycode_t seven = keycodeOf('7'), three = keycodeOf('3');
    ASSERT_TRUE(seven && three);
    const uint16_t ctrlShift = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT;
    EXPECT_FALSE(other.canGrab(three, ctrlShift));
    f.record(capture, CaptureAction::fullScreenScreenshot, Qt::Key_7, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(recorderText(capture, CaptureAction::fullScreenScreenshot), "Ctrl+Shift+7");
    EXPECT_EQ(f.shortcutNotices, 1);
    EXPECT_FALSE(other.canGrab(seven, ctrlShift));
    EXPECT_TRUE(other.canGrab(three, ctrlShift));
    EXPECT_EQ(CaptureShortcutPreferences::load(*f.prefs).shortcuts.value(CaptureAction::fullScreenScreenshot),
              (CaptureShortcut{0x1A, control | shift}));

    // Two actions on one combination: both stored, both named, in action order.
    f.record(capture, CaptureAction::fullScreenScreenshot, Qt::Key_4, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(f.shortcutNotices, 2);
    EXPECT_TRUE(capture.conflictRow()->isVisible());
    EXPECT_EQ(capture.conflictRow()->message(),
              "Capture area, Full screen share the same shortcut. Give each a unique combo so they all trigger.");
    EXPECT_EQ(CaptureShortcutPreferences::load(*f.prefs).shortcuts.size(), 4);
    EXPECT_EQ(capture.shortcutRow(CaptureAction::fullScreenScreenshot)->subtitle(),
              "Copy a screenshot of the whole display.")
        << "our own second grab is a conflict, not another program";

    // A combination another program holds: the X server refuses it and the row says so.
    const xcb_keycode_t eight = keycodeOf('8');
    ASSERT_TRUE(other.grab(eight, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1));
    f.record(capture, CaptureAction::ocrArea, Qt::Key_8, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_TRUE(f.coordinator->isHotKeyRefused(CaptureAction::ocrArea));
    EXPECT_EQ(capture.shortcutRow(CaptureAction::ocrArea)->subtitle(),
              "Another program already uses Ctrl+Alt+8, so it does nothing here. Choose another shortcut.");
    f.screenshot(QStringLiteral("capture-shortcuts"));

    // Cleared: the entry goes, and reopening shows no shortcut rather than the default.
    f.record(capture, CaptureAction::screenRecording, Qt::Key_Delete, Qt::NoModifier);
    EXPECT_FALSE(CaptureShortcutPreferences::load(*f.prefs).shortcuts.contains(CaptureAction::screenRecording));
    f.select(SettingsPane::general);
    CapturePane &again = f.openCapture();
    EXPECT_EQ(recorderText(again, CaptureAction::screenRecording), "Click to record");
    EXPECT_EQ(f.coordinator->captureHotKeyIDs().size(), 1) << "area only: full screen duplicates it, OCR is refused";
    EXPECT_NE(again.shortcutRow(CaptureAction::ocrArea)->subtitle().indexOf("Another program"), -1);
}

TEST(CapturePane, AfterCaptureChoicesAreWrittenAtOnceAndReadBackFromTheFile)
{
    CapturePaneFixture f;
    f.prefs->setString(PreferenceKeys::captureOverlayPosition, "upperLeft");
    // A table binding one action to the panel's own shortcut.
    CaptureShortcutPreferences table;
    table.shortcuts[CaptureAction::ocrArea] = {9, shift | command};
    f.prefs->setJSON(table, CaptureShortcutPreferences::key);
    CapturePane &capture = f.openCapture();
    EXPECT_EQ(capture.conflictRow()->message(),
              "Copy text, History panel share the same shortcut. Give each a unique combo so they all trigger.");
    EXPECT_EQ(capture.positionPicker()->currentText(), "Bottom left");
    EXPECT_EQ(capture.outputPicker()->currentText(), "Copy screenshot");
    EXPECT_EQ(capture.afterScreenshotRow()->subtitle(), "Copy the image so Ctrl+V pastes the screenshot.");
    EXPECT_TRUE(capture.toastSwitch()->isChecked());
    EXPECT_EQ(f.prefs->string(PreferenceKeys::captureOverlayPosition), "upperLeft") << "kept until a corner is picked";
    EXPECT_FALSE(f.prefs->contains(PreferenceKeys::notchCaptureToastEnabled));

    capture.outputPicker()->activated(1);
    capture.positionPicker()->activated(3);
    QTest::mouseClick(capture.toastSwitch(), Qt::LeftButton);
    EXPECT_EQ(capture.afterScreenshotRow()->subtitle(),
              "Upload automatically and copy the public URL; copy the screenshot if upload fails.");
    EXPECT_EQ(capture.afterScreenshotRow()->systemImage(), "link");

    const QByteArray file = f.storedFile();
    Preferences reread(f.prefs.dir.filePath(QStringLiteral("prefs.json")));
    EXPECT_EQ(reread.string(PreferenceKeys::screenshotClipboardOutput), "shareLink") << file.toStdString();
    EXPECT_EQ(reread.string(PreferenceKeys::captureOverlayPosition), "topRight");
    EXPECT_EQ(reread.value(PreferenceKeys::notchCaptureToastEnabled), QVariant(false));
    EXPECT_EQ(screenshotClipboardOutput(reread), ScreenshotClipboardOutput::shareLink);
    EXPECT_EQ(captureOverlayPosition(reread), CaptureOverlayPosition::topRight);
    EXPECT_FALSE(notchCaptureToastEnabled(reread));

    // The switch follows a change made elsewhere while the pane is open.
    f.prefs->setBool(PreferenceKeys::notchCaptureToastEnabled, true);
    EXPECT_TRUE(capture.toastSwitch()->isChecked());
    EXPECT_EQ(f.shortcutNotices, 0);
}

// Real keys while a field records: the program's own hot keys are let go so their combinations
// reach the field, and taken back however the recording ends.
TEST(CapturePane, AFieldWaitingForKeysGetsOurOwnHotKeysAndGivesThemBackAfter)
{
    if (!test::onX11() || !test::windowManagerRunning())
        FAIL() << "needs an X11 display with a window manager";
    CapturePaneFixture f;
    f.suspendHotKeys = [&f] { return f.hotKeys->suspendGrabs(); };
    int panel = 0;
    ASSERT_TRUE(f.hotKeys->registerHotKey(9, shift | command, [&] { ++panel; }));
    f.coordinator->start();
    CapturePane &capture = f.openCapture();
    f.window->activateWindow();
    ASSERT_TRUE(test::waitUntil([&] { return QGuiApplication::focusWindow() == f.window->windowHandle(); }, 5000));
    const auto key = [](const char *chord) { QProcess::execute("xdotool", {"key", "--delay", "120", chord}); };
    OtherProgram other;
    const xcb_keycode_t three = keycodeOf('3'), v = keycodeOf('v');
    const uint16_t ctrlShift = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT,
                   shiftSuper = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_4;
    const auto ours = [&] { return !other.canGrab(three, ctrlShift) && !other.canGrab(v, shiftSuper); };
    ASSERT_TRUE(ours());

    ShortcutRecorderView *area = capture.recorder(CaptureAction::areaScreenshot);
    int beeps = 0;
    area->setBeep([&] { ++beeps; });
    QTest::mouseClick(area, Qt::LeftButton);
    ASSERT_TRUE(area->isRecording());
    EXPECT_TRUE(other.canGrab(three, ctrlShift) && other.canGrab(v, shiftSuper)) << "let go while recording";
    f.screenshot(QStringLiteral("capture-shortcut-recording"));

    key("shift+super+v");
    ASSERT_TRUE(test::waitUntil([&] { return beeps == 1; }, 3000));
    EXPECT_TRUE(area->isRecording());
    EXPECT_EQ(capture.shortcutRow(CaptureAction::areaScreenshot)->subtitle(),
              "History panel already uses Shift+Super+V. Choose another shortcut.");
    f.screenshot(QStringLiteral("capture-shortcut-ours-refused"));

    key("ctrl+shift+3");
    ASSERT_TRUE(test::waitUntil([&] { return !area->isRecording(); }, 3000));
    EXPECT_EQ(recorderText(capture, CaptureAction::areaScreenshot), "Ctrl+Shift+3");
    EXPECT_EQ(capture.conflictRow()->message(),
              "Capture area, Full screen share the same shortcut. Give each a unique combo so they all trigger.");
    EXPECT_TRUE(ours()) << "taken back once recorded";
    key("shift+super+v");
    EXPECT_TRUE(test::waitUntil([&] { return panel == 1; }, 3000));

    // Cancelled, left for another window, or closed with the window: taken back each time.
    QTest::mouseClick(area, Qt::LeftButton);
    ASSERT_FALSE(ours());
    key("Escape");
    ASSERT_TRUE(test::waitUntil([&] { return !area->isRecording(); }, 3000));
    EXPECT_TRUE(ours());

    QTest::mouseClick(area, Qt::LeftButton);
    ASSERT_FALSE(ours());
    QWidget elsewhere;
    elsewhere.show();
    elsewhere.activateWindow();
    ASSERT_TRUE(test::waitUntil([&] { return !area->isRecording(); }, 5000));
    EXPECT_TRUE(ours());

    f.window->activateWindow();
    ASSERT_TRUE(test::waitUntil([&] { return QGuiApplication::focusWindow() == f.window->windowHandle(); }, 5000));
    QTest::mouseClick(capture.recorder(CaptureAction::ocrArea), Qt::LeftButton);
    ASSERT_FALSE(ours());
    f.window->close();
    EXPECT_TRUE(ours());
    EXPECT_EQ(panel, 1);
}
