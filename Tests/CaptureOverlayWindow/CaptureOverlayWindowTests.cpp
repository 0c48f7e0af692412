// The card and the toast on a real display with a window manager, driven with the pointer.
#include "OverlayWindowHarness.h"

#include "Quillmere/Capture/Overlay/CaptureSaveFolder.h"
#include "Quillmere/Capture/Upload/ShareStorageProvider.h"
#include "Quillmere/Capture/Upload/ShareUploadConfig.h"
#include "Quillmere/Platform/DesktopMotion.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QScreen>

using namespace quillmere;
using namespace quillmere::test;
using Kind = CaptureOverlayUploadProgress::Kind;
using Control = CaptureOverlayController::Control;

namespace {

// A window of this process standing in for the application the user works in.
class FrontWindow : public QWidget {
public:
    int presses = 0;
    void mousePressEvent(QMouseEvent *) override { ++presses; }
};

} // namespace

TEST(CaptureOverlayWindow, TheCardMapsInTheChosenCornerAndTheFrontWindowKeepsTheFocus)
{
    OverlayWindowHarness h;
    FrontWindow front;
    front.setGeometry(500, 300, 400, 300);
    front.show();
    front.activateWindow();
    ASSERT_TRUE(waitUntil([&] { return activeWindow() == xcb_window_t(front.winId()); }, 10000));

    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    for (CaptureOverlayPosition corner : allCaptureOverlayPositions()) {
        h.prefs->setString(PreferenceKeys::captureOverlayPosition, rawValue(corner));
        h.presenter->showCard(h.screenshot(png(64, 36)), Kind::idle);
        ASSERT_TRUE(waitUntil([&] { return h.settled(h.card()); }, 5000)) << rawValue(corner).toStdString();
        const QPoint at = serverPosition(h.card());
        const int x = isLeft(corner) ? available.left() + 16 : available.left() + available.width() - 210 - 16;
        const int y = isBottom(corner) ? available.top() + available.height() - 154 - 16 : available.top() + 16;
        EXPECT_EQ(at, QPoint(x, y)) << rawValue(corner).toStdString();
    }
    h.presenter->showToast(h.text(QStringLiteral("words")));
    ASSERT_TRUE(waitUntil([&] { return h.settled(h.toast()); }, 5000))
        << h.toast().isVisible() << isViewable(h.toast()) << h.toast().isSliding() << " "
        << serverPosition(h.toast()).x() << "," << serverPosition(h.toast()).y() << " target "
        << h.toast().slideTarget().x() << "," << h.toast().slideTarget().y();

    const QList<xcb_atom_t> states = windowStates(h.card());
    for (const char *state : {"_NET_WM_STATE_ABOVE", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"})
        EXPECT_TRUE(states.contains(internAtom(xcb(), state))) << state;
    // This window manager has no sticky state; every desktop is its way of saying the same.
    EXPECT_TRUE(states.contains(internAtom(xcb(), "_NET_WM_STATE_STICKY")) || windowDesktop(h.card()) == 0xFFFFFFFFu);
    // Both are up and settled; the window in front is still the active one and keeps the keyboard.
    EXPECT_EQ(activeWindow(), xcb_window_t(front.winId()));
    EXPECT_EQ(QGuiApplication::focusWindow(), front.windowHandle());
}

TEST(CaptureOverlayWindow, TheCardLeavesAfterSixSecondsButNotWhileThePointerRestsOnIt)
{
    OverlayWindowHarness h;
    h.presenter->showCard(h.screenshot(png(64, 36)), Kind::idle);
    ASSERT_TRUE(waitUntil([&] { return h.settled(h.card()); }, 5000));
    ASSERT_TRUE(h.moveTo(h.centreOf(h.card())));
    ASSERT_TRUE(waitUntil([&] { return h.card().isHovering(); }, 5000));
    EXPECT_FALSE(waitUntil([&] { return !h.card().isVisible(); }, 8000)) << "hovered for 8 s: still there";

    ASSERT_TRUE(h.moveTo({800, 400}));
    ASSERT_TRUE(waitUntil([&] { return !h.card().isHovering(); }, 5000));
    QElapsedTimer left;
    left.start();
    ASSERT_TRUE(waitUntil([&] { return h.gone(h.card()); }, 12000));
    EXPECT_GE(left.elapsed(), 5500) << "a full six seconds after the pointer left";
    EXPECT_LE(left.elapsed(), 11000);
}

TEST(CaptureOverlayWindow, ClicksOnTheToastReachTheWindowBelow)
{
    OverlayWindowHarness h;
    FrontWindow below;
    below.setGeometry(600, 0, 400, 200);
    below.show();
    below.activateWindow();
    ASSERT_TRUE(waitUntil([&] { return activeWindow() == xcb_window_t(below.winId()); }, 10000));
    h.presenter->showToast(h.text(QStringLiteral("Clicks go through me")));
    ASSERT_TRUE(waitUntil([&] { return h.settled(h.toast()); }, 5000));
    const QPoint centre = h.centreOf(h.toast());
    ASSERT_GT(centre.x(), 600);
    ASSERT_LT(centre.x(), 1000);
    ASSERT_TRUE(h.moveTo(centre));
    ASSERT_GT(stackingIndex(h.toast()), stackingIndex(below)) << "the toast is in front of the window";
    ASSERT_TRUE(xdotool({QStringLiteral("click"), QStringLiteral("1")}));
    EXPECT_TRUE(waitUntil([&] { return below.presses == 1; }, 5000)) << "the click stopped at the toast";
    EXPECT_TRUE(h.toast().isVisible()) << "the click happened while the toast was up";
}

namespace {

// xsettingsd on this display with one setting; stops with the test.
class XSettingsDaemon {
public:
    explicit XSettingsDaemon(int animations)
    {
        const QString config = m_dir.filePath(QStringLiteral("xsettingsd.conf"));
        QFile file(config);
        file.open(QIODevice::WriteOnly);
        file.write(QStringLiteral("Gtk/EnableAnimations %1\n").arg(animations).toUtf8());
        file.close();
        EXPECT_FALSE(QStandardPaths::findExecutable(QStringLiteral("xsettingsd")).isEmpty()) << "needs xsettingsd";
        m_process.start(QStringLiteral("xsettingsd"), {QStringLiteral("-c"), config});
        m_process.waitForStarted();
    }
    ~XSettingsDaemon()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished();
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

} // namespace

TEST(CaptureOverlayWindow, WithTheDesktopsAnimationsOffBothAppearAndLeaveWithoutFramesBetween)
{
    OverlayWindowHarness h;
    XSettingsMotion motion;
    {
        XSettingsDaemon daemon(0);
        ASSERT_TRUE(waitUntil([&] { return motion.reduceMotion(); }, 10000)) << "xsettingsd never published";
        const int cardFrames = h.card().intermediateFrames();
        const int toastFrames = h.toast().intermediateFrames();
        h.presenter->showCard(h.screenshot(png(64, 36)), Kind::idle);
        EXPECT_EQ(h.card().pos(), h.card().slideTarget()) << "at its place at once";
        h.toast().present(h.text(QStringLiteral("no motion")), {});
        EXPECT_EQ(h.toast().pos(), h.toast().slideTarget());
        ASSERT_TRUE(waitUntil([&] { return h.settled(h.card()) && h.settled(h.toast()); }, 5000));
        h.card().dismiss();
        h.toast().hideToast();
        EXPECT_FALSE(h.card().isVisible()) << "gone at once";
        EXPECT_FALSE(h.toast().isVisible());
        EXPECT_EQ(h.card().intermediateFrames(), cardFrames);
        EXPECT_EQ(h.toast().intermediateFrames(), toastFrames);
        ASSERT_TRUE(waitUntil([&] { return h.gone(h.card()) && h.gone(h.toast()); }, 5000));
    }
    // Read at each motion: with the daemon gone, the card slides again.
    ASSERT_TRUE(waitUntil([&] { return !motion.reduceMotion(); }, 10000));
    const int before = h.card().intermediateFrames();
    h.presenter->showCard(h.screenshot(png(64, 36)), Kind::idle);
    EXPECT_NE(h.card().pos(), h.card().slideTarget());
    ASSERT_TRUE(waitUntil([&] { return h.settled(h.card()); }, 5000));
    EXPECT_GT(h.card().intermediateFrames(), before);
}

TEST(CaptureOverlayWindow, DraggingTheCardToAnotherProgramDeliversThePng)
{
    OverlayWindowHarness h;
    QProcess probe;
    probe.start(QStringLiteral(QUILLMERE_DROP_PROBE), {QStringLiteral("1000"), QStringLiteral("300")});
    ASSERT_TRUE(probe.waitForStarted());
    ASSERT_TRUE(waitUntil([&] { return probe.canReadLine() && probe.readLine().trimmed() == "ready"; }, 10000));

    const QByteArray shot = png(320, 180, Qt::darkMagenta);
    h.presenter->showCard(h.screenshot(shot), Kind::idle);
    ASSERT_TRUE(waitUntil([&] { return h.settled(h.card()) && h.card().isImageReady(); }, 5000));
    const QPoint from = h.centreOf(h.card());
    // One xdotool run for the whole gesture: this process sits in the drag's own loop meanwhile.
    QProcess gesture;
    QStringList steps{QStringLiteral("mousemove"), QString::number(from.x()), QString::number(from.y()),
                      QStringLiteral("sleep"),     QStringLiteral("0.3"),     QStringLiteral("mousedown"),
                      QStringLiteral("1")};
    for (int i = 1; i <= 10; ++i)
        steps << QStringLiteral("sleep") << QStringLiteral("0.1") << QStringLiteral("mousemove")
              << QString::number(from.x() + (1150 - from.x()) * i / 10)
              << QString::number(from.y() + (450 - from.y()) * i / 10);
    steps << QStringLiteral("sleep") << QStringLiteral("0.5") << QStringLiteral("mouseup") << QStringLiteral("1");
    gesture.start(QStringLiteral("xdotool"), steps);
    QByteArray output;
    ASSERT_TRUE(waitUntil(
        [&] {
            output += probe.readAllStandardOutput();
            return output.contains("dropped");
        },
        20000))
        << output.toStdString();
    gesture.waitForFinished(5000);
    const QByteArray hash = QCryptographicHash::hash(shot, QCryptographicHash::Sha256).toHex();
    EXPECT_TRUE(output.contains("type image/png")) << output.toStdString();
    EXPECT_TRUE(output.contains("type text/uri-list")) << output.toStdString();
    EXPECT_TRUE(output.contains(QByteArray::number(shot.size()) + ' ' + hash)) << "the dropped file is the capture";
    EXPECT_TRUE(output.contains("png " + QByteArray::number(shot.size()) + ' ' + hash));
    probe.waitForFinished(5000);
}

TEST(CaptureOverlayWindow, CopyPutsTheCaptureOnTheClipboardAndClosesTheCard)
{
    OverlayWindowHarness h;
    const QByteArray shot = png(50, 40, Qt::darkGreen);
    h.presenter->showCard(h.screenshot(shot), Kind::idle);
    ASSERT_TRUE(waitUntil([&] { return h.settled(h.card()); }, 5000));
    ASSERT_TRUE(h.moveTo(h.centreOf(h.card())));
    ASSERT_TRUE(waitUntil([&] { return h.card().isHovering(); }, 5000));
    ASSERT_TRUE(h.moveTo(h.centreOf(h.card(), h.card().controlRect(Control::copy))));
    ASSERT_TRUE(xdotool({QStringLiteral("click"), QStringLiteral("1")}));
    ASSERT_TRUE(waitUntil([&] { return h.gone(h.card()); }, 5000)) << "Copy closes the card";
    EXPECT_EQ(readWithXclip(QStringLiteral("image/png")), shot);
}

TEST(CaptureOverlayWindow, SaveWritesWhereTheDialogSaysEvenWhenANewCaptureReplacesTheCardMeanwhile)
{
    OverlayWindowHarness h;
    const QByteArray first = png(40, 30, Qt::darkRed);
    h.presenter->showCard(h.screenshot(first), Kind::idle);
    ASSERT_TRUE(waitUntil([&] { return h.settled(h.card()); }, 5000));
    QTemporaryDir out;
    QString askedTitle;
    const ClipRef second = h.screenshot(png(20, 10));
    h.answerSaveDialog = [&](const CaptureCardActions::SaveRequest &request) {
        askedTitle = request.title;
        h.presenter->showCard(second, Kind::idle); // a capture lands while the dialog is open
        return out.filePath(request.suggestedName);
    };
    h.card().trigger(Control::save);
    EXPECT_EQ(askedTitle, "Save Screenshot");
    // Written off the main thread; the folder is remembered once the file is in place.
    ASSERT_TRUE(waitUntil([&] { return CaptureSaveFolder(h.prefs.prefs.get()).startFolder() == out.path(); }, 5000));
    const QStringList saved = QDir(out.path()).entryList(QDir::Files);
    ASSERT_EQ(saved.size(), 1);
    QFile file(out.filePath(saved[0]));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), first) << "the card the user pressed Save on decides what is saved";
    EXPECT_EQ(h.card().actions()->clip(), second);
    EXPECT_FALSE(h.card().actions()->didSave()) << "the new card starts unsaved";
    EXPECT_TRUE(h.card().isVisible());

    // The card still showing reads Saved once its own file is in place.
    h.answerSaveDialog = [&](const CaptureCardActions::SaveRequest &) { return out.filePath(QStringLiteral("b.png")); };
    h.card().trigger(Control::save);
    ASSERT_TRUE(waitUntil([&] { return h.card().actions()->didSave(); }, 5000));
    EXPECT_TRUE(QFileInfo(out.filePath(QStringLiteral("b.png"))).isFile());
}
