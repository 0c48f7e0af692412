// The panel's content on a real display: header, cards, menus and sheets rendered from the demo
// history and driven with the mouse, the wheel and the keyboard; pictures of each go to the
// test artefacts. The last test is the whole road from another program's copy to the paste.
#include "Quillmere/App/AppDelegate.h"
#include "Quillmere/App/AppEnvironment.h"
#include "Quillmere/App/StatusGlyph.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Pages/Widgets/PinboardTabStrip.h"
#include "Quillmere/Panel/HistoryViewModel.h"
#include "Quillmere/Panel/Window/HistoryCardArea.h"
#include "Quillmere/Panel/Window/HistoryContentView.h"
#include "Quillmere/Panel/Window/HistoryPanel.h"
#include "Quillmere/Panel/Window/HistorySheets.h"
#include "Quillmere/Panel/Window/PanelController.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/SoundPlayer.h"
#include "Quillmere/Platform/WindowActivator.h"
#include "Support/DisplayTestSupport.h"
#include "Support/ForeignClipboardOwner.h"
#include "Support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace Qt::StringLiterals;

namespace {

constexpr int patience = 8000;

struct Quiet : SoundPlayer {
    void play(const QString &) override {}
};

QString artefact(const QString &name)
{
    QDir().mkpath(QStringLiteral(QUILLMERE_ARTIFACTS_DIR));
    return QStringLiteral(QUILLMERE_ARTIFACTS_DIR "/") + name;
}

// The screen around the panel, with whatever menu or sheet hangs from it.
void saveScreen(const QString &name, int height = 560)
{
    // Lets pending paints and popups reach the server first; the picture asserts nothing.
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 40);
    const QImage shot = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    EXPECT_TRUE(shot.copy(0, 0, shot.width(), height).save(artefact(name)));
}

QStringList actionTitles(const QMenu &menu)
{
    QStringList titles;
    for (const QAction *a : menu.actions())
        titles << (a->isSeparator() ? u"-"_s : a->toolTip()); // the whole title where the text is cut
    return titles;
}

void wheel(QWidget *target, QPoint pixel, QPoint angle)
{
    QWheelEvent event(QPointF(40, 40), target->mapToGlobal(QPointF(40, 40)), pixel, angle, Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(target, &event);
}

class HistoryContentX11 : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!test::windowManagerRunning())
            FAIL() << "needs an X display with a window manager";
    }
    void TearDown() override
    {
        if (delegate) {
            controller().hideImmediately();
            delegate->applicationWillTerminate();
        }
    }
    // The demo history in memory, or the store file at `storePath`.
    void launch(bool hotKeys = false, const QString &storePath = {})
    {
        AppEnvironment::Options options;
        options.arguments = storePath.isEmpty() ? QStringList{u"quillmere"_s, u"--demo-data"_s, u"--keep-open"_s}
                                                : QStringList{u"quillmere"_s, u"--keep-open"_s};
        options.persistence.storePath = storePath;
        options.store.preferences = prefs.prefs.get();
        options.store.notificationCenter = &center;
        environment = std::make_unique<AppEnvironment>(options);
        AppDelegate::Platform platform;
        platform.glyphs = std::make_shared<StatusGlyphs>();
        platform.sounds = std::make_unique<Quiet>();
        platform.watchDrops = false;
        platform.installStatusItem = false;
        platform.registerHotKeys = hotKeys;
        delegate = std::make_unique<AppDelegate>(*environment, *prefs, center, std::move(platform));
        delegate->applicationDidFinishLaunching(options.arguments);
        ASSERT_TRUE(delegate->panelController());
    }
    void showPanel()
    {
        delegate->handleArguments({u"--show-panel"_s});
        ASSERT_TRUE(QTest::qWaitFor([&] { return controller().isShown(); }, patience));
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&controller().panel()));
    }
    PanelController &controller() { return *delegate->panelController(); }
    HistoryContentView &content() { return controller().contentView(); }
    HistoryCardArea &cards() { return content().cardArea(); }
    HistoryViewModel &model() { return controller().model(); }
    ClipStore &store() { return environment->store(); }

    test::TempPreferences prefs;
    NotificationCenter center;
    std::unique_ptr<AppEnvironment> environment;
    std::unique_ptr<AppDelegate> delegate;
};

} // namespace

TEST_F(HistoryContentX11, LaysOutTheRowsAndOpensEveryMenuAsTheModelBuildsIt)
{
    launch();
    showPanel();
    HistoryHeaderBar &header = content().header();
    EXPECT_EQ(header.height(), 52);
    EXPECT_EQ(cards().height(), 172);
    EXPECT_EQ(cards().geometry().top(), 52 + 1);
    EXPECT_EQ(header.syncBadge()->parentWidget()->width(), HistoryHeaderBar::leftSlotWidth);
    EXPECT_EQ(header.button(HistoryHeaderBar::Menu::more)->parentWidget()->width(), HistoryHeaderBar::rightSlotWidth);
    EXPECT_EQ(header.syncBadge()->badge().label, u"Not saved"_s) << "the demo history lives in memory";
    ASSERT_TRUE(cards().card(0));
    EXPECT_EQ(cards().card(0)->inputs().quickPasteIndex, 0);
    saveScreen(u"panel.png"_s);

    controller().actions().togglePasteStack(model().lists().visibleAt(0).id);
    controller().actions().togglePasteStack(model().lists().visibleAt(1).id);
    EXPECT_EQ(header.button(HistoryHeaderBar::Menu::pasteStack)->badgeCount(), 2);
    EXPECT_EQ(header.button(HistoryHeaderBar::Menu::pasteStack)->toolTip(), u"Paste Stack (2 clips)"_s);

    const std::pair<HistoryHeaderBar::Menu, QString> menus[] = {{HistoryHeaderBar::Menu::filters, u"filters"_s},
                                                                {HistoryHeaderBar::Menu::add, u"add"_s},
                                                                {HistoryHeaderBar::Menu::pasteStack, u"stack"_s},
                                                                {HistoryHeaderBar::Menu::more, u"more"_s}};
    for (const auto &[which, name] : menus) {
        QTest::mouseClick(header.button(which), Qt::LeftButton);
        QMenu *menu = header.openedMenu();
        ASSERT_TRUE(menu) << name.toStdString();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(menu));
        MenuModel expected;
        switch (which) {
        case HistoryHeaderBar::Menu::filters:
            expected = content().menus().filtersMenu();
            break;
        case HistoryHeaderBar::Menu::add:
            expected = content().menus().addMenu();
            break;
        case HistoryHeaderBar::Menu::pasteStack:
            expected = content().menus().pasteStackMenu();
            break;
        case HistoryHeaderBar::Menu::more:
            expected = content().menus().moreMenu();
            break;
        }
        EXPECT_EQ(actionTitles(*menu), menuTitles(expected)) << name.toStdString();
        saveScreen(u"menu-"_s + name + u".png"_s);
        menu->close();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !header.openedMenu(); }, patience));
    }

    // A right click on a card opens its clip's menu; its entries act on that clip.
    ClipCardView *first = cards().card(1);
    QContextMenuEvent right(QContextMenuEvent::Mouse, QPoint(20, 20), first->mapToGlobal(QPoint(20, 20)));
    QCoreApplication::sendEvent(first, &right);
    QMenu *clipMenu = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (clipMenu = content().findChild<QMenu *>()) && clipMenu->isVisible(); },
                                patience));
    EXPECT_EQ(model().state().selectedIndex, 1);
    EXPECT_EQ(actionTitles(*clipMenu).first(), u"Paste"_s);
    saveScreen(u"menu-clip.png"_s, 700);
    const ClipRef clip = store().context().clip(first->inputs().item.id);
    const bool pinned = clip->isPinned();
    for (QAction *a : clipMenu->actions())
        if (a->text() == u"Pin"_s || a->text() == u"Unpin"_s)
            a->trigger();
    EXPECT_NE(clip->isPinned(), pinned);
    clipMenu->close();

    // With a locked Page selected the add and stack menus are off; the prompt replaces the cards.
    const PageRef page = store().pages().front();
    ASSERT_TRUE(store().setPageLock(page, u"1234"_s));
    model().tabs().selectTab(PanelTab::page(page->persistentModelID()), true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return cards().currentWidget() == cards().lockedPrompt(); }, patience));
    EXPECT_FALSE(header.button(HistoryHeaderBar::Menu::add)->isEnabled());
    EXPECT_FALSE(header.button(HistoryHeaderBar::Menu::pasteStack)->isEnabled());
    EXPECT_TRUE(header.button(HistoryHeaderBar::Menu::more)->isEnabled());
    model().tabs().setInlineUnlockPassword(u"12"_s);
    model().tabs().submitInlineUnlock();
    EXPECT_EQ(cards().unlockError()->text(), u"Wrong password."_s);
    EXPECT_TRUE(cards().unlockField()->text().isEmpty());
    QCoreApplication::processEvents();
    saveScreen(u"panel-locked.png"_s, 300);
    model().tabs().setInlineUnlockPassword(u"1234"_s);
    model().tabs().submitInlineUnlock();
    EXPECT_EQ(cards().currentWidget(), cards().scroller());
}

TEST_F(HistoryContentX11, WheelClicksAndTheSearchCapsuleDriveTheSelection)
{
    launch();
    showPanel();
    QWidget *viewport = cards().scroller()->viewport();
    wheel(viewport, {}, QPoint(0, -120)); // one notch down: one card on
    EXPECT_EQ(model().state().selectedIndex, 1);
    wheel(viewport, QPoint(-41, 0), {});
    EXPECT_EQ(model().state().selectedIndex, 1) << "41 points are not a step";
    wheel(viewport, QPoint(-1, 0), {});
    EXPECT_EQ(model().state().selectedIndex, 2);
    wheel(viewport, QPoint(130, 0), {});
    EXPECT_EQ(model().state().selectedIndex, 0);
    EXPECT_TRUE(cards().card(0)->inputs().isSelected);

    QTest::mouseClick(cards().card(3), Qt::LeftButton);
    EXPECT_EQ(model().state().selectedIndex, 3);
    EXPECT_TRUE(cards().card(3)->inputs().isSelected);
    EXPECT_FALSE(cards().card(0)->inputs().isSelected);

    // The capsule opens an empty search; typing reaches the query through the key capture.
    QTest::mouseClick(content().header().searchCapsule(), Qt::LeftButton);
    EXPECT_TRUE(model().state().isSearchExpanded);
    EXPECT_EQ(cards().currentWidget(), cards().emptyState());
    EXPECT_EQ(cards().emptyState()->title(), u"Search clips"_s);
    model().search().setQuery(u"zzzz-nothing"_s);
    EXPECT_EQ(content().header().searchCapsule()->shownText(), u"zzzz-nothing"_s);
    EXPECT_EQ(cards().emptyState()->title(), QString::fromUtf8("No clips match \u201czzzz-nothing\u201d"));
    saveScreen(u"panel-search-empty.png"_s, 300);
    QTest::mouseClick(content().header().searchCapsule(), Qt::LeftButton);
    EXPECT_EQ(model().state().query, u"zzzz-nothing"_s) << "a second tap keeps the query";
}

TEST_F(HistoryContentX11, SheetsFollowTheStateAndSaveThroughTheStore)
{
    launch();
    showPanel();
    HistoryDialogs &dialogs = content().dialogs();
    const ClipRef clip = store().context().clip(model().lists().visibleAt(0).id);

    // Rename: typing and Save store the title; the sheet goes.
    controller().actions().startRename(clip->persistentModelID());
    ASSERT_TRUE(dialogs.renameSheet());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialogs.renameSheet()));
    EXPECT_EQ(model().interactionMode(), PanelKeyboardMode::paused);
    auto *field = dialogs.renameSheet()->findChild<QLineEdit *>();
    field->selectAll();
    QTest::keyClicks(field, u"Renamed"_s);
    saveScreen(u"sheet-rename.png"_s, 700);
    QTest::mouseClick(dialogs.renameSheet()->commitButton(), Qt::LeftButton);
    EXPECT_EQ(clip->customTitle(), u"Renamed"_s);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !dialogs.renameSheet(); }, patience));
    EXPECT_FALSE(model().state().renamingItem);

    // Escape dismisses and clears the state, keeping the text.
    controller().actions().startRename(clip->persistentModelID());
    ASSERT_TRUE(dialogs.renameSheet());
    QTest::keyClick(dialogs.renameSheet(), Qt::Key_Escape);
    EXPECT_FALSE(model().state().renamingItem);
    EXPECT_EQ(model().state().renameText, u"Renamed"_s);

    // A blank note brings the alert over the sheet, which keeps what was typed.
    const qsizetype clips = store().context().clipCount();
    model().setShowingManualNoteSheet(true);
    ManualNoteSheet *note = dialogs.noteSheet();
    ASSERT_TRUE(note);
    QTest::keyClicks(note->titleField(), u"Groceries"_s);
    note->save();
    ASSERT_TRUE(dialogs.addError());
    EXPECT_EQ(dialogs.addError()->informativeText(), u"Write something before saving the note."_s);
    EXPECT_EQ(dialogs.noteSheet(), note);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialogs.addError()));
    saveScreen(u"sheet-note-error.png"_s, 700);
    dialogs.addError()->buttons().first()->click();
    EXPECT_FALSE(model().state().isShowingManualAddError);
    note->textField()->setPlainText(u"milk"_s);
    note->save();
    EXPECT_EQ(store().context().clipCount(), clips + 1);
    EXPECT_EQ(store().historyNewestFirst().front()->customTitle(), u"Groceries"_s);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !dialogs.noteSheet(); }, patience));

    // The lock sheet checks its fields; the remove-lock sheet refuses a wrong password.
    const PageRef page = store().pages().front();
    model().setLockSetupBoard(page->persistentModelID());
    PinboardLockSetupSheet *lock = dialogs.lockSetupSheet();
    ASSERT_TRUE(lock);
    lock->passwordField()->setText(u"abcd"_s);
    lock->confirmationField()->setText(u"abce"_s);
    lock->save();
    EXPECT_EQ(lock->errorText(), u"The passwords do not match."_s);
    EXPECT_FALSE(page->isLocked());
    lock->confirmationField()->setText(u"abcd"_s);
    lock->save();
    EXPECT_TRUE(page->isLocked());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !dialogs.lockSetupSheet(); }, patience));
    model().setRemoveLockBoard(page->persistentModelID());
    PinboardUnlockSheet *unlock = dialogs.removeLockSheet();
    ASSERT_TRUE(unlock);
    unlock->passwordField()->setText(u"nope"_s);
    unlock->submit();
    EXPECT_EQ(unlock->errorText(), u"Wrong password."_s);
    unlock->passwordField()->setText(u"abcd"_s);
    unlock->submit();
    EXPECT_FALSE(page->isLocked());

    // The clear confirmation: Cancel keeps everything.
    model().setShowingClearConfirmation(true);
    ASSERT_TRUE(dialogs.clearConfirmation());
    dialogs.clearConfirmation()->button(QMessageBox::Cancel)->click();
    EXPECT_FALSE(model().state().isShowingClearConfirmation);
    EXPECT_EQ(store().context().clipCount(), clips + 1);
}

// The window manager draws each dialog's title with " — Brindlewax" after it and cuts what does
// not fit; a resizable dialog also gets a resize handle drawn under it.
class DialogFramesX11 : public HistoryContentX11 {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(test::windowManagerRunning()) << "needs an X display with a window manager";
        // As the program sets it: Qt then adds it to every title.
        QGuiApplication::setApplicationDisplayName(u"Brindlewax"_s);
    }
    void TearDown() override
    {
        HistoryContentX11::TearDown();
        QGuiApplication::setApplicationDisplayName(QString());
    }

    void expectWholeTitle(QDialog *dialog, const QString &picture)
    {
        ASSERT_TRUE(dialog);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
        QFont bold = dialog->font();
        bold.setBold(true);
        const QFontMetrics metrics(bold);
        const QString title = dialog->windowTitle() + u" \u2014 Brindlewax"_s;
        // The text, and at least a line's width for each of the frame's icon and three buttons.
        const int needed = metrics.horizontalAdvance(title) + 4 * metrics.height();
        EXPECT_GE(dialog->width(), needed) << title.toStdString();
        if (!qobject_cast<QMessageBox *>(dialog)) {
            EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize()) << title.toStdString() << " can be resized";
        }
        saveScreen(picture, 700);
    }
};

TEST_F(DialogFramesX11, EverySheetAndAlertOfThePanelShowsItsWholeTitle)
{
    launch();
    showPanel();
    HistoryDialogs &dialogs = content().dialogs();
    const ClipRef clip = store().context().clip(model().lists().visibleAt(0).id);
    const PageRef page = store().pages().front();

    controller().actions().startRename(clip->persistentModelID());
    expectWholeTitle(dialogs.renameSheet(), u"frame-rename.png"_s);
    model().setRenamingItem(std::nullopt);
    controller().actions().startEdit(clip->persistentModelID());
    expectWholeTitle(dialogs.editSheet(), u"frame-edit-text.png"_s);
    model().setEditingTextItem(std::nullopt);
    model().setShowingManualNoteSheet(true);
    expectWholeTitle(dialogs.noteSheet(), u"frame-new-note.png"_s);
    model().showManualAddError(u"Write something before saving the note."_s);
    expectWholeTitle(dialogs.addError(), u"frame-add-error.png"_s);
    model().dismissManualAddError();
    model().setShowingManualNoteSheet(false);
    model().setLockSetupBoard(page->persistentModelID());
    expectWholeTitle(dialogs.lockSetupSheet(), u"frame-lock-page.png"_s);
    model().setLockSetupBoard(std::nullopt);
    model().setRemoveLockBoard(page->persistentModelID());
    expectWholeTitle(dialogs.removeLockSheet(), u"frame-remove-lock.png"_s);
    model().setRemoveLockBoard(std::nullopt);
    model().setShowingClearConfirmation(true);
    expectWholeTitle(dialogs.clearConfirmation(), u"frame-clear-history.png"_s);
    model().setShowingClearConfirmation(false);
    model().showManualAddError(controller().actions().previewFailedMessage, controller().actions().previewFailedTitle);
    expectWholeTitle(dialogs.addError(), u"frame-preview-failed.png"_s);
    model().dismissManualAddError();
}

TEST_F(DialogFramesX11, APreviewTheDesktopsOpenerRefusesIsToldInThePanel)
{
    // An xdg-open that finds no program for the file, first on the PATH.
    QTemporaryDir bin;
    ASSERT_TRUE(bin.isValid());
    QFile opener(bin.filePath(u"xdg-open"_s));
    ASSERT_TRUE(opener.open(QIODevice::WriteOnly));
    opener.write("#!/bin/sh\nexit 3\n");
    opener.close();
    opener.setPermissions(opener.permissions() | QFileDevice::ExeOwner);
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", bin.path().toLocal8Bit() + ':' + path);
    launch();
    showPanel();
    const ClipRef clip = store().context().clip(model().lists().visibleAt(0).id);
    controller().actions().preview(clip->persistentModelID());
    const bool told = QTest::qWaitFor([&] { return content().dialogs().addError() != nullptr; }, patience);
    qputenv("PATH", path);
    ASSERT_TRUE(told);
    EXPECT_EQ(content().dialogs().addError()->text(), u"Could Not Open Preview"_s);
    EXPECT_TRUE(content().dialogs().addError()->informativeText().contains(u"xdg-open"_s));
    expectWholeTitle(content().dialogs().addError(), u"preview-failed.png"_s);
}

TEST_F(HistoryContentX11, AnEmptyHistoryNamesTheShortcutAsTheDesktopWritesIt)
{
    launch();
    for (const ClipRef &clip : store().historyNewestFirst())
        store().deleteClip(clip);
    showPanel();
    ASSERT_TRUE(QTest::qWaitFor([&] { return cards().currentWidget() == cards().emptyState(); }, patience));
    EXPECT_EQ(cards().emptyState()->title(), u"Copy something to get started"_s);
    EXPECT_EQ(cards().emptyState()->subtitle(), u"Press Shift+Super+V anytime to open Brindlewax."_s);
    saveScreen(u"panel-empty-history.png"_s, 300);
}

TEST_F(HistoryContentX11, ACopyInAnotherProgramIsFirstInThePanelAndReturnPastesIt)
{
    if (QStandardPaths::findExecutable(u"xdotool"_s).isEmpty())
        FAIL() << "needs xdotool";
    launch(true);
    ASSERT_TRUE(delegate->panelHotKeyID()) << "Shift+Super+V is held by another client";
    QWidget targetWindow;
    auto *field = new QPlainTextEdit(&targetWindow);
    (new QVBoxLayout(&targetWindow))->addWidget(field);
    targetWindow.setGeometry(300, 500, 420, 160);
    targetWindow.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&targetWindow));
    X11WindowActivator windows;
    windows.activate(WindowTarget{quint32(targetWindow.winId()), 0});
    ASSERT_TRUE(QTest::qWaitFor([&] { return field->hasFocus() || (field->setFocus(), false); }, patience));

    const QString text = u"road test %1"_s.arg(QUuid::createUuid().toString(QUuid::WithoutBraces));
    {
        test::ForeignClipboardOwner other(
            {{"UTF8_STRING", text.toUtf8()}, {"text/plain;charset=utf-8", text.toUtf8()}});
        ASSERT_TRUE(other.waitUntilOwner());
        ASSERT_TRUE(QTest::qWaitFor([&] { return store().historyNewestFirst().front()->text() == text; }, patience));
    }
    ASSERT_EQ(QProcess::execute(u"xdotool"_s, {u"key"_s, u"shift+super+v"_s}), 0);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return controller().isShown() && controller().panel().hasKeyFocus(); }, patience));
    ASSERT_TRUE(cards().card(0));
    EXPECT_EQ(cards().card(0)->inputs().item.text, text);
    EXPECT_TRUE(cards().card(0)->inputs().isSelected);
    ASSERT_EQ(QProcess::execute(u"xdotool"_s, {u"key"_s, u"Return"_s}), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return field->toPlainText() == text; }, patience))
        << field->toPlainText().toStdString();
    EXPECT_FALSE(controller().panel().isVisible());
}

// The Source filter names the source of a clip far older than the part of the history the panel
// holds: the names are read from the store file on a worker when the panel shows.
TEST_F(HistoryContentX11, TheSourceFilterNamesASourceSeenOnlyInAnOldClip)
{
    QTemporaryDir dir;
    launch(false, dir.filePath(u"history.store"_s));
    store().setHistoryLimit(-1);
    const auto put = [&](const QString &text, const QString &source) {
        store().context().insert(store().makeClip({.kind = ClipKind::text, .text = text, .sourceAppName = source}));
    };
    put(u"an old note"_s, u" Old Editor "_s);
    for (int i = 0; i < HistoryViewModel::historyPageSize + 50; ++i)
        put(u"clip %1"_s.arg(i), u"Terminal"_s);
    ASSERT_TRUE(store().save());

    showPanel();
    ASSERT_FALSE(model().lists().isComplete());
    ASSERT_TRUE(QTest::qWaitFor([&] { return model().state().sourceAppNames.size() == 2; }, patience));
    EXPECT_EQ(model().state().sourceAppNames, (QStringList{u"Old Editor"_s, u"Terminal"_s}));

    HistoryHeaderBar &header = content().header();
    QTest::mouseClick(header.button(HistoryHeaderBar::Menu::filters), Qt::LeftButton);
    QMenu *menu = header.openedMenu();
    ASSERT_TRUE(menu);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(menu));
    QMenu *sources = nullptr;
    for (QAction *a : menu->actions())
        if (a->toolTip() == u"Source"_s)
            sources = a->menu();
    ASSERT_TRUE(sources);
    EXPECT_EQ(actionTitles(*sources), (QStringList{u"Any Source"_s, u"Old Editor"_s, u"Terminal"_s}));
    sources->popup(menu->geometry().topRight());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(sources));
    saveScreen(u"menu-filters-source.png"_s);

    // Picking it finds the old clip.
    for (QAction *a : sources->actions())
        if (a->toolTip() == u"Old Editor"_s)
            a->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model().lists().visibleCount() == 1; }, patience));
    EXPECT_EQ(model().lists().visibleAt(0).text, u"an old note"_s);
    EXPECT_FALSE(model().lists().isComplete()) << "the store found it: the history is not read whole";
}
