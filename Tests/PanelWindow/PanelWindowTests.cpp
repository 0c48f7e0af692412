// The history panel on a real X display with a window manager (Xvfb + openbox), driven the way a
// user drives it: the hot key and keys through xdotool, a text window of this process standing
// in for the application pasted into. Skipped without a window manager or xdotool.
#include "PanelX11Fixture.h"
#include "Quillmere/App/AppDelegate.h"
#include "Quillmere/App/AppEnvironment.h"
#include "Quillmere/App/StatusItem.h"
#include "Quillmere/Clipboard/PasteService.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Panel/HistoryViewModel.h"
#include "Quillmere/Panel/Window/HistoryCardArea.h"
#include "Quillmere/Panel/Window/HistoryContentView.h"
#include "Quillmere/Panel/Window/HistoryPanel.h"
#include "Quillmere/Panel/Window/PanelController.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/SoundPlayer.h"
#include "Quillmere/Platform/WindowActivator.h"
#include "Quillmere/Platform/XcbSupport.h"
#include "Support/DisplayTestSupport.h"
#include "Support/TestSupport.h"

#include <QClipboard>
#include <QDir>
#include <QDropEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace Qt::StringLiterals;

namespace {

std::vector<quint32> cardinals(quint32 window, const char *property, xcb_atom_t type)
{
    auto *c = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
    XcbReply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, internAtom(c, property), type, 0, 64), nullptr));
    std::vector<quint32> values;
    if (reply && reply->format == 32) {
        const auto *data = static_cast<const quint32 *>(xcb_get_property_value(reply.get()));
        values.assign(data, data + xcb_get_property_value_length(reply.get()) / 4);
    }
    return values;
}

class PanelWindowX11 : public PanelX11 {
protected:
    ClipRef clipAt(int visibleIndex) { return store().context().clip(model().lists().visibleAt(visibleIndex).id); }
};

} // namespace

TEST_F(PanelWindowX11, HotKeyOpensAtTopCentreOfThePointersScreenAndEscapeGivesTheKeyboardBack)
{
    launch();
    TargetWindow target(u"target"_s);
    makeActive(target);
    ASSERT_TRUE(xdotool({u"mousemove"_s, u"700"_s, u"600"_s}));
    openWithHotKey();

    HistoryPanel &panel = controller().panel();
    const QRect screen = QGuiApplication::screenAt(QPoint(700, 600))->geometry();
    const int notch =
        std::max(QGuiApplication::screenAt(QPoint(700, 600))->availableGeometry().top() - screen.top(), 22);
    EXPECT_EQ(panel.geometry(), QRect(screen.left(), screen.top(), screen.width(), notch + 52 + 1 + 172));
    ASSERT_TRUE(controller().pasteTarget());
    EXPECT_EQ(controller().pasteTarget()->app.window, target.id());

    // Out of the taskbar and pager, on every desktop.
    const auto states = cardinals(quint32(panel.winId()), "_NET_WM_STATE", XCB_ATOM_ATOM);
    auto *c = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
    for (const char *state : {"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER", "_NET_WM_STATE_ABOVE"})
        EXPECT_NE(std::find(states.begin(), states.end(), internAtom(c, state)), states.end()) << state;
    EXPECT_EQ(cardinals(quint32(panel.winId()), "_NET_WM_DESKTOP", XCB_ATOM_CARDINAL),
              std::vector<quint32>{0xFFFFFFFF});

    // The demo clips, newest first, the first one selected; a picture of it for the record.
    HistoryCardArea &cards = controller().contentView().cardArea();
    ASSERT_EQ(cards.currentWidget(), cards.scroller());
    ASSERT_TRUE(cards.card(0));
    EXPECT_TRUE(cards.card(0)->inputs().isSelected);
    EXPECT_EQ(cards.card(model().lists().renderedCount() - 1)->inputs().item.id,
              model().lists().visibleAt(model().lists().renderedCount() - 1).id);
    QDir().mkpath(QStringLiteral(QUILLMERE_ARTIFACTS_DIR));
    const QImage shot = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    EXPECT_TRUE(shot.save(QStringLiteral(QUILLMERE_ARTIFACTS_DIR "/panel-open.png")));

    ASSERT_TRUE(xdotool({u"key"_s, u"Escape"_s}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !panel.isVisible(); }, patience));
    EXPECT_TRUE(QTest::qWaitFor([&] { return isActive(target) && target.field->hasFocus(); }, patience));

    // The width is read at every showing; the hot key also closes what it opened.
    prefs->setString(u"panelWidthMode"_s, u"twoThirds"_s);
    openWithHotKey();
    EXPECT_EQ(panel.geometry().width(), screen.width() * 2 / 3);
    EXPECT_EQ(panel.geometry().center().x(), screen.center().x());
    ASSERT_TRUE(xdotool({u"key"_s, u"shift+super+v"_s}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !panel.isVisible(); }, patience));
    EXPECT_TRUE(QTest::qWaitFor([&] { return isActive(target); }, patience));
}

TEST_F(PanelWindowX11, ArrowsAndReturnOrCtrlDigitPasteIntoTheWindowThatWasInFront)
{
    launch();
    TargetWindow target(u"paste target"_s);
    makeActive(target);

    openWithHotKey();
    const ClipRef third = clipAt(2);
    ASSERT_TRUE(third && third->text());
    ASSERT_TRUE(xdotool({u"key"_s, u"Right"_s, u"Right"_s}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return model().state().selectedIndex == 2; }, patience));
    EXPECT_TRUE(controller().contentView().cardArea().card(2)->inputs().isSelected);
    ASSERT_TRUE(xdotool({u"key"_s, u"Return"_s}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return target.field->toPlainText() == *third->text(); }, patience))
        << target.field->toPlainText().toStdString();
    EXPECT_FALSE(controller().panel().isVisible());
    EXPECT_EQ(store().historyNewestFirst().front(), third) << "the pasted clip moves to the top";

    target.field->clear();
    openWithHotKey();
    const ClipRef second = clipAt(1);
    ASSERT_TRUE(second && second->text());
    ASSERT_TRUE(xdotool({u"key"_s, u"ctrl+2"_s}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return target.field->toPlainText() == *second->text(); }, patience))
        << target.field->toPlainText().toStdString();
    EXPECT_EQ(store().historyNewestFirst().front(), second);
}

TEST_F(PanelWindowX11, TypingWhileBrowsingClosesThePanelAndTheTextArrivesOnceInOrder)
{
    launch();
    TargetWindow target(u"typing target"_s);
    makeActive(target);
    const int clips = int(store().context().clipCount());

    openWithHotKey();
    ASSERT_TRUE(xdotool({u"type"_s, u"--delay"_s, u"15"_s, u"abc"_s}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return target.field->toPlainText() == u"abc"_s; }, patience))
        << target.field->toPlainText().toStdString();
    EXPECT_FALSE(controller().panel().isVisible());

    // Keys typed right after Escape, while the panel slides away, follow it to the window.
    openWithHotKey();
    ASSERT_TRUE(xdotool({u"key"_s, u"--delay"_s, u"10"_s, u"Escape"_s, u"x"_s, u"Y"_s, u"space"_s, u"z"_s}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return target.field->toPlainText() == u"abcxY z"_s; }, patience))
        << target.field->toPlainText().toStdString();
    EXPECT_EQ(int(store().context().clipCount()), clips) << "typing through pastes nothing";
}

TEST_F(PanelWindowX11, FilesDroppedOnThePanelBecomeOneTemporaryClipOnTheClipboard)
{
    launch();
    QTemporaryDir dir;
    QList<QUrl> urls;
    for (const char *name : {"report.txt", "notes.md"}) {
        QFile file(dir.filePath(QString::fromLatin1(name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("content");
        urls << QUrl::fromLocalFile(file.fileName());
    }
    const int clips = int(store().context().clipCount());
    QWidget *container = controller().panel().content();

    // Text alone is no drop.
    QMimeData text;
    text.setText(u"just words"_s);
    QDragEnterEvent refused(QPoint(20, 100), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(container, &refused);
    EXPECT_FALSE(refused.isAccepted());

    QMimeData files;
    files.setUrls(urls);
    QDragEnterEvent enter(QPoint(20, 100), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(container, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(20, 100), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(container, &drop);
    EXPECT_TRUE(drop.isAccepted());

    ASSERT_EQ(int(store().context().clipCount()), clips + 1);
    const ClipRef clip = store().historyNewestFirst().front();
    EXPECT_EQ(clip->kind(), ClipKind::file);
    EXPECT_EQ(clip->text(), urls[0].toLocalFile() + u"\n"_s + urls[1].toLocalFile());
    EXPECT_EQ(clip->sourceAppName(), u"Quillmere Drop"_s);
    ASSERT_TRUE(clip->expiresAt()) << "a dropped clip is temporary";
    EXPECT_GT(*clip->expiresAt(), store().now().addSecs(23 * 3600));
    const QMimeData *board = QGuiApplication::clipboard()->mimeData();
    ASSERT_TRUE(board);
    EXPECT_EQ(board->urls().size(), 2);
    EXPECT_TRUE(QTest::qWaitFor([&] { return controller().isShown(); }, patience)) << "the drop opens the panel";
    EXPECT_EQ(controller().contentView().cardArea().card(0)->inputs().item.id, clip->persistentModelID());
}

TEST_F(PanelWindowX11, ShowingWhileTheHideSlideRunsTurnsItRound)
{
    launch();
    TargetWindow target(u"reverse"_s);
    makeActive(target);
    delegate->handleArguments({u"--show-panel"_s});
    ASSERT_TRUE(QTest::qWaitFor([&] { return panelIsOpen(); }, patience));

    HistoryPanel &panel = controller().panel();
    QSignalSpy hidden(&controller(), &PanelController::hidden);
    // Asked for as soon as the slide has started, so the turn comes mid-slide on any machine; a
    // slide that ended before the request was served (a stalled machine) is simply tried again.
    bool turned = false;
    for (int attempt = 0; attempt < 10 && !turned; ++attempt) {
        const int before = hidden.count();
        double turnedAt = 1;
        auto watch = std::make_shared<QMetaObject::Connection>();
        *watch = QObject::connect(&panel, &HistoryPanel::visibleFractionChanged, [&, watch](double f) {
            if (f <= 0 || f >= 1)
                return;
            QObject::disconnect(*watch);
            turnedAt = f;
            QMetaObject::invokeMethod(
                delegate.get(), [&] { delegate->togglePanel(); }, Qt::QueuedConnection);
        });
        controller().hide();
        ASSERT_TRUE(QTest::qWaitFor([&] { return controller().isShown() || hidden.count() > before; }, patience));
        QObject::disconnect(*watch);
        turned = hidden.count() == before;
        if (turned) {
            EXPECT_LT(turnedAt, 1);
        } else {
            QCoreApplication::sendPostedEvents(); // a late toggle, if one was asked for
            if (!controller().isVisible())
                controller().show();
            ASSERT_TRUE(QTest::qWaitFor([&] { return panelIsOpen(); }, patience));
        }
    }
    ASSERT_TRUE(turned);
    EXPECT_EQ(panel.visibleFraction(), 1);
    EXPECT_TRUE(panel.isVisible());
    EXPECT_FALSE(controller().isHiding());
}

TEST_F(PanelWindowX11, APasteForAWindowThatIsGoneStaysOnTheClipboard)
{
    launch({}, false);
    TargetWindow other(u"other"_s);
    auto gone = std::make_unique<TargetWindow>(u"closing"_s);
    makeActive(*gone);
    controller().show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return panelIsOpen(); }, patience));
    const WindowTarget goneTarget{gone->id(), 0};
    gone.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return windows.isTerminated(goneTarget); }, patience));

    QSignalSpy keystrokes(delegate->pasteService(), &PasteService::pasteKeystrokeSent);
    const ClipRef first = clipAt(2), second = clipAt(4);
    ASSERT_TRUE(first && first->text() && second && second->text());
    controller().paste(first);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), *first->text());

    // A later paste into a live window: any keystroke of the first one would have come before.
    makeActive(other);
    controller().show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return panelIsOpen(); }, patience));
    controller().paste(second);
    EXPECT_TRUE(QTest::qWaitFor([&] { return other.field->toPlainText() == *second->text(); }, patience))
        << other.field->toPlainText().toStdString();
    EXPECT_EQ(keystrokes.count(), 1);
}

TEST_F(PanelWindowX11, AnotherWindowTakingTheFocusClosesThePanel)
{
    launch({}, false);
    TargetWindow target(u"focus thief"_s);
    makeActive(target);
    controller().show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return panelIsOpen(); }, patience));
    windows.activate(WindowTarget{target.id(), 0});
    EXPECT_TRUE(QTest::qWaitFor([&] { return !controller().panel().isVisible(); }, patience));
    EXPECT_TRUE(isActive(target)) << "the window the user went to keeps the focus";
}

// The real manager, except that while it lags it goes on naming `named` (or no window) active.
class LaggingManager : public X11WindowActivator {
public:
    bool lagging = false;
    std::optional<WindowTarget> named;
    std::optional<WindowTarget> activeWindow() override { return lagging ? named : X11WindowActivator::activeWindow(); }
};

TEST_F(PanelWindowX11, AManagerStillNamingTheWindowInFrontOrNoneLetsThePanelJustShownKeepTheFocus)
{
    auto lagging = std::make_unique<LaggingManager>();
    LaggingManager &manager = *lagging;
    windowManager = std::move(lagging);
    launch({}, false);
    TargetWindow target(u"in front"_s);
    for (const bool namesNone : {false, true}) {
        SCOPED_TRACE(namesNone ? "no window named" : "the window in front named");
        makeActive(target);
        manager.lagging = true;
        manager.named = namesNone ? std::nullopt : std::optional(WindowTarget{target.id(), 0});
        controller().show();
        ASSERT_TRUE(QTest::qWaitFor([&] { return controller().panel().hasKeyFocus(); }, patience));
        // The hot key's grab ending gives the window in front the focus back for a moment, before
        // the manager acts on the panel's request.
        activate(target.id());
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return QGuiApplication::focusWindow() == target.window.windowHandle(); }, patience));
        // The manager catches up.
        const WindowTarget panel{quint32(controller().panel().winId()), 0};
        manager.named = panel;
        activate(panel.window);
        EXPECT_TRUE(QTest::qWaitFor([&] { return panelIsOpen(); }, patience));
        manager.lagging = false;

        // Once it has named the panel, the same window taking the focus is the user going back.
        activate(target.id());
        EXPECT_TRUE(QTest::qWaitFor([&] { return !controller().panel().isVisible(); }, patience));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !controller().isHiding(); }, patience));
    }
}

TEST_F(PanelWindowX11, KeepOpenKeepsThePanelWhenAnotherWindowTakesTheFocus)
{
    launch({u"--keep-open"_s}, false);
    ASSERT_TRUE(delegate->keepsPanelOpen());
    TargetWindow target(u"elsewhere"_s);
    makeActive(target);
    controller().show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return panelIsOpen(); }, patience));
    windows.activate(WindowTarget{target.id(), 0});
    // The panel hears of losing the focus before the other window hears of gaining it.
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return QGuiApplication::focusWindow() == target.window.windowHandle(); }, patience));
    EXPECT_TRUE(controller().isShown());
    EXPECT_TRUE(controller().panel().isVisible());
}

TEST_F(PanelWindowX11, TrayClickAndOpenItemToggleThePanel)
{
    launch({}, false, true);
    StatusItemController *tray = delegate->statusItem();
    ASSERT_TRUE(tray && tray->trayIcon() && tray->menu());
    tray->rebuildMenu();
    QAction *open = nullptr;
    for (QAction *action : tray->menu()->actions())
        open = action->text() == u"Open Brindlewax"_s ? action : open;
    ASSERT_TRUE(open);

    open->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return panelIsOpen(); }, patience));
    open->trigger();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !controller().panel().isVisible(); }, patience));
    Q_EMIT tray->trayIcon()->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(QTest::qWaitFor([&] { return panelIsOpen(); }, patience));
}

TEST_F(PanelWindowX11, AHotKeyHeldDownDoesNotCloseThePanel)
{
    launch();
    TargetWindow target(u"grab"_s);
    makeActive(target);
    openWithHotKey();
    // While a hot key is down its grab has the keyboard; the panel counts as unfocused meanwhile.
    ASSERT_TRUE(xdotool({u"keydown"_s, u"alt+super+v"_s}));
    const bool lostFocus = QTest::qWaitFor([&] { return !controller().panel().hasKeyFocus(); }, 3000);
    ASSERT_TRUE(xdotool({u"keyup"_s, u"alt+super+v"_s}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller().panel().hasKeyFocus(); }, patience));
    EXPECT_TRUE(lostFocus);
    EXPECT_TRUE(controller().isShown());
}
