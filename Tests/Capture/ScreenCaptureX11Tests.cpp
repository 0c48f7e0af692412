#include "CaptureFixture.h"

#include "Quillmere/App/HotKeyCenter.h"
#include "Quillmere/Capture/CaptureFeatureCoordinator.h"
#include "Quillmere/Capture/OCRAreaCaptureService.h"
#include "Quillmere/Capture/ScreenCapturePermission.h"
#include "Quillmere/Capture/ScreenshotCaptureService.h"
#include "Quillmere/Platform/RootPixels.h"
#include "Quillmere/Platform/X11Desktop.h"
#include "Quillmere/Platform/XcbSupport.h"

#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <gtest/gtest.h>

using namespace quillmere;
using test::CaptureServiceHarness;

namespace {

bool xdotool(const QStringList &arguments)
{
    return QProcess::execute(QStringLiteral("xdotool"), arguments) == 0;
}

xcb_connection_t *connection()
{
    return qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
}

// The selection overlay is ready once it holds the pointer: our own grab then fails. A grab we
// do get is given back at once.
bool waitForSelectionOverlay()
{
    xcb_connection_t *c = connection();
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    return test::waitUntil(
        [&] {
            XcbReply<xcb_grab_pointer_reply_t> reply(
                xcb_grab_pointer_reply(c,
                                       xcb_grab_pointer(c, 0, root, 0, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC,
                                                        XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
                                       nullptr));
            if (reply && reply->status == XCB_GRAB_STATUS_SUCCESS) {
                xcb_ungrab_pointer(c, XCB_CURRENT_TIME);
                xcb_flush(c);
                return false;
            }
            return reply && reply->status == XCB_GRAB_STATUS_ALREADY_GRABBED;
        },
        10000);
}

// A borderless window at a fixed place, shown until its pixels are on the screen.
std::unique_ptr<QLabel> showOnScreen(const QImage &image, QPoint at)
{
    auto label = std::make_unique<QLabel>(
        nullptr, Qt::FramelessWindowHint | Qt::BypassWindowManagerHint | Qt::WindowStaysOnTopHint);
    label->setPixmap(QPixmap::fromImage(image));
    label->setGeometry(QRect(at, image.size()));
    label->show();
    const QImage expected = image.convertToFormat(QImage::Format_RGB32);
    EXPECT_TRUE(test::waitUntil([&] { return grabRootPixels(QRect(at, image.size())) == expected; }));
    return label;
}

QImage decoded(const ClipRef &clip)
{
    return QImage::fromData(clip->imageData().value_or(QByteArray())).convertToFormat(QImage::Format_RGB32);
}

class ScreenCaptureOnX11 : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!test::onX11())
            FAIL() << "needs an X display";
        if (QStandardPaths::findExecutable("xdotool").isEmpty())
            FAIL() << "needs xdotool";
        auto options = h.toolOptions(QStringLiteral(QUILLMERE_SCREENSHOT_TOOL));
        runner = std::make_unique<ScreenshotToolRunner>(options);
        context = h.context(runner.get());
        screen = QGuiApplication::primaryScreen()->geometry();
        // A button left down by an earlier failure would swallow the next press.
        xdotool({"mouseup", "1"});
        xdotool({"mousemove", "5", "5"});
    }
    void TearDown() override { qunsetenv("QT_SCALE_FACTOR"); }

    // Drags from `from` to `to` (device pixels) once the overlay holds the pointer.
    void drag(QPoint from, QPoint to)
    {
        ASSERT_TRUE(waitForSelectionOverlay());
        ASSERT_TRUE(xdotool({"mousemove", QString::number(from.x()), QString::number(from.y()), "mousedown", "1",
                             "mousemove", QString::number((from.x() + to.x()) / 2), QString::number(to.y()),
                             "mousemove", QString::number(to.x()), QString::number(to.y()), "mouseup", "1"}));
    }

    CaptureServiceHarness h;
    std::unique_ptr<ScreenshotToolRunner> runner;
    CaptureServiceContext context;
    QRect screen;
};

} // namespace

TEST_F(ScreenCaptureOnX11, ScreenIsReadableSoCaptureIsGranted)
{
    EXPECT_TRUE(X11Desktop::screenPixelsReadable());
    EXPECT_EQ(ScreenCapturePermission::current(X11Desktop::screenPixelsReadable(), *h.prefs),
              ScreenCapturePermissionState::granted);
}

TEST_F(ScreenCaptureOnX11, FullScreenBecomesAnImageClipWithTheWindowsPixelsAndText)
{
    const QImage content = test::paintedLines({"FOXTROT 6", "GOLF 7"});
    const auto window = showOnScreen(content, {300, 200});
    context.recognizeText = {}; // Tesseract itself
    ScreenshotCaptureService service(context);
    ClipRef clip;
    service.setOnCaptured([&](const ClipRef &c, ScreenshotClipboardOutput, quint64) { clip = c; });
    service.startFullScreenCapture(++service.captureGeneration().next);
    ASSERT_TRUE(test::waitUntil([&] { return clip != nullptr; }, 20000));

    const QImage shot = decoded(clip);
    EXPECT_EQ(shot.size(), screen.size());
    EXPECT_EQ(shot.copy(QRect(QPoint(300, 200), content.size())), content.convertToFormat(QImage::Format_RGB32));
    EXPECT_EQ(h.pasteboard.data(PasteboardType::png), clip->imageData());
    ASSERT_TRUE(test::waitUntil([&] { return clip->recognizedText().has_value(); }, 30000));
    EXPECT_TRUE(clip->recognizedText()->contains("FOXTROT 6")) << clip->recognizedText()->toStdString();
    EXPECT_TRUE(clip->recognizedText()->contains("GOLF 7"));
    EXPECT_TRUE(h.leftovers().isEmpty());
}

TEST_F(ScreenCaptureOnX11, DraggedAreaGivesExactlyThosePixelsAlsoOnAScaledScreen)
{
    QImage content = test::paintedLines({"HOTEL 8", "INDIA 9"});
    {
        QPainter paint(&content);
        paint.fillRect(QRect(0, 0, 9, 9), Qt::red); // a corner to see any shift by one
    }
    const auto window = showOnScreen(content, {200, 150});
    const QRect dragged(QPoint(200, 150), QSize(401, 161));
    const QImage expected = content.convertToFormat(QImage::Format_RGB32).copy(0, 0, 401, 161);

    for (const char *scale : {"1", "2"}) {
        SCOPED_TRACE(scale);
        qputenv("QT_SCALE_FACTOR", scale);
        ScreenshotCaptureService service(context);
        ClipRef clip;
        service.setOnCaptured([&](const ClipRef &c, ScreenshotClipboardOutput, quint64) { clip = c; });
        service.startAreaCapture(++service.captureGeneration().next);
        drag(dragged.topLeft(), dragged.topLeft() + QPoint(dragged.width(), dragged.height()));
        ASSERT_TRUE(test::waitUntil([&] { return clip != nullptr; }, 20000));
        EXPECT_EQ(decoded(clip), expected);
        ASSERT_TRUE(test::waitUntil([&] { return runner->runningCount() == 0; }));
    }
    EXPECT_TRUE(h.leftovers().isEmpty());
}

TEST_F(ScreenCaptureOnX11, EscapeAndRightClickCancelWithNoClipAndNoFile)
{
    const auto window = showOnScreen(test::paintedLines({"JULIET 10"}), {100, 100});
    ScreenshotCaptureService service(context);
    int reported = 0;
    service.setOnCaptured([&](const ClipRef &, ScreenshotClipboardOutput, quint64) { ++reported; });
    for (const QStringList &cancel :
         {QStringList{"key", "Escape"}, QStringList{"mousemove", "300", "300", "click", "3"}}) {
        service.startAreaCapture(++service.captureGeneration().next);
        ASSERT_TRUE(waitForSelectionOverlay());
        // A half-made drag does not survive the cancel either.
        ASSERT_TRUE(xdotool({"mousemove", "120", "120", "mousedown", "1", "mousemove", "200", "200"}));
        ASSERT_TRUE(xdotool(cancel));
        ASSERT_TRUE(test::waitUntil([&] { return runner->runningCount() == 0; }));
        xdotool({"mouseup", "1"});
    }
    QTest::qWait(100);
    EXPECT_EQ(reported, 0);
    EXPECT_TRUE(h.history().empty());
    EXPECT_EQ(h.pasteboard.changeCount(), 0);
    EXPECT_EQ(h.beeps, 0);
    EXPECT_TRUE(h.leftovers().isEmpty());
}

TEST_F(ScreenCaptureOnX11, AreaTextLandsOnTheClipboardAndInTheHistory)
{
    const QImage content = test::paintedLines({"KILO 11", "LIMA 12"});
    const auto window = showOnScreen(content, {400, 300});
    SystemPasteboard pasteboard;
    context.pasteboard = &pasteboard;
    context.recognizeText = {};
    OCRAreaCaptureService service(context);
    ClipRef clip;
    service.setOnCaptured([&](const ClipRef &c) { clip = c; });

    service.start();
    drag({400, 300}, QPoint(400, 300) + QPoint(content.width(), content.height()));
    ASSERT_TRUE(test::waitUntil([&] { return clip != nullptr; }, 30000));
    EXPECT_EQ(clip->text(), QString("KILO 11\nLIMA 12"));
    EXPECT_EQ(clip->sourceAppName(), QString("Quillmere OCR"));
    EXPECT_EQ(test::readWithXclip("UTF8_STRING"), QByteArray("KILO 11\nLIMA 12"));
}

// Two monitors side by side on one X screen, as RandR describes them; restored afterwards.
class TwoMonitors {
public:
    TwoMonitors()
    {
        m_ok = QProcess::execute("xrandr", {"--setmonitor", "QuillmereLeft", "800/211x1000/264+0+0", "screen"}) == 0
            && QProcess::execute("xrandr", {"--setmonitor", "QuillmereRight", "800/211x1000/264+800+0", "none"}) == 0;
    }
    ~TwoMonitors()
    {
        QProcess::execute("xrandr", {"--delmonitor", "QuillmereRight"});
        QProcess::execute("xrandr", {"--delmonitor", "QuillmereLeft"});
    }
    bool ok() const { return m_ok; }

private:
    bool m_ok = false;
};

TEST_F(ScreenCaptureOnX11, CapturesKeepToTheMonitorThatHoldsThePointer)
{
    if (QStandardPaths::findExecutable("xrandr").isEmpty() || screen.size() != QSize(1600, 1000))
        FAIL() << "needs xrandr and the 1600x1000 test screen";
    QImage content = test::paintedLines({"MIKE 13", "NOVEMBER 14"});
    const auto window = showOnScreen(content, {850, 200});
    const QImage screenBefore = grabRootPixels(QRect(0, 0, 1600, 1000));
    TwoMonitors monitors;
    ASSERT_TRUE(monitors.ok());

    ScreenshotCaptureService service(context);
    std::vector<ClipRef> clips;
    service.setOnCaptured([&](const ClipRef &c, ScreenshotClipboardOutput, quint64) { clips.push_back(c); });
    xdotool({"mousemove", "1200", "500"});
    service.startFullScreenCapture(++service.captureGeneration().next);
    ASSERT_TRUE(test::waitUntil([&] { return clips.size() == 1; }, 20000));
    EXPECT_EQ(decoded(clips[0]), screenBefore.copy(800, 0, 800, 1000));

    // The overlay covers the right monitor only; the readout follows the drag.
    service.startAreaCapture(++service.captureGeneration().next);
    ASSERT_TRUE(waitForSelectionOverlay());
    ASSERT_TRUE(
        xdotool({"mousemove", "860", "210", "mousedown", "1", "mousemove", "1000", "300", "mousemove", "1101", "331"}));
    ASSERT_TRUE(test::waitUntil([&] {
        const QImage now = grabRootPixels(QRect(0, 0, 1600, 1000));
        // Left monitor untouched, the right one dimmed except for the selection.
        return now.copy(0, 0, 800, 1000) == screenBefore.copy(0, 0, 800, 1000)
            && now.pixel(1500, 400) != screenBefore.pixel(1500, 400)
            && now.pixel(1000, 300) == screenBefore.pixel(1000, 300);
    }));
    grabRootPixels(QRect(0, 0, 1600, 1000)).save(test::artifactPath("capture-area-overlay.png"));
    ASSERT_TRUE(xdotool({"mouseup", "1"}));
    ASSERT_TRUE(test::waitUntil([&] { return clips.size() == 2; }, 20000));
    EXPECT_EQ(decoded(clips[1]), screenBefore.copy(860, 210, 241, 121));
}

TEST_F(ScreenCaptureOnX11, EachCaptureShortcutFiresItsAction)
{
    struct CountingRecording : ScreenRecording {
        int toggles = 0;
        bool isAvailable() const override { return true; }
        State state() const override { return State::idle; }
        bool isRegionSelectorOpen() const override { return false; }
        void toggle() override { ++toggles; }
    };
    test::FakeTool fake;
    HotKeyCenter hotKeys;
    CaptureFeatureCoordinator::Dependencies deps;
    deps.services = h.context(nullptr, QStringLiteral("shortcut text"));
    deps.toolOptions = h.toolOptions(fake.writing(test::png(30, 20)));
    deps.registerHotKey = [&](quint32 key, quint32 mods, std::function<void()> handler) {
        return hotKeys.registerHotKey(key, mods, std::move(handler));
    };
    deps.unregisterHotKey = [&](quint32 id) { hotKeys.unregisterHotKey(id); };
    deps.screenPixelsReadable = &X11Desktop::screenPixelsReadable;
    auto recording = std::make_unique<CountingRecording>();
    CountingRecording *toggles = recording.get();
    deps.recording = std::move(recording);
    CaptureFeatureCoordinator coordinator(std::move(deps));
    coordinator.start();
    ASSERT_EQ(coordinator.captureHotKeyIDs().size(), 4) << "another program holds a capture shortcut";

    auto press = [&](const char *keys) {
        ASSERT_TRUE(xdotool({"key", "--clearmodifiers", keys}));
        ASSERT_TRUE(test::waitUntil([&] { return coordinator.tool().runningCount() == 0; }));
    };
    press("ctrl+shift+4");
    ASSERT_TRUE(test::waitUntil([&] { return h.history().size() == 1; }));
    press("ctrl+shift+3");
    // The same picture again: the clip is reused, and its text recognised once more.
    ASSERT_TRUE(test::waitUntil([&] { return *h.recognitions == 2; }));
    EXPECT_EQ(h.history().size(), 1u);
    press("super+shift+2");
    ASSERT_TRUE(test::waitUntil([&] { return h.history().size() == 2; }));
    ASSERT_TRUE(xdotool({"key", "--clearmodifiers", "ctrl+shift+5"}));
    EXPECT_TRUE(test::waitUntil([&] { return toggles->toggles == 1; }));

    // Area and full screen ran the tool with and without "-i"; the OCR shortcut made a text clip.
    const QStringList calls = fake.calls();
    ASSERT_EQ(calls.size(), 3);
    EXPECT_TRUE(calls[0].startsWith("-i "));
    EXPECT_FALSE(calls[1].startsWith("-i "));
    EXPECT_TRUE(calls[2].startsWith("-i "));
    EXPECT_EQ(h.history()[0]->text(), QString("shortcut text"));
    EXPECT_EQ(h.history()[0]->sourceAppName(), QString("Quillmere OCR"));
    EXPECT_EQ(h.history()[1]->sourceAppName(), QString("Quillmere Capture"));
}
