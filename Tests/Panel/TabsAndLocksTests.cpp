// The opening tab, the tab memory, the locked-Page prompt, adding a file and the empty states.
#include "ModelFixture.h"
#include "Quillmere/Panel/FileClipReader.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QThreadPool>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

std::vector<PageSnapshot> twoPages()
{
    return {makePage(1, QStringLiteral("One")), makePage(2, QStringLiteral("Two"), true)};
}

QString uuidOf(int page)
{
    return PanelTabs::uuidText(makePage(page, {}).dedupID);
}

} // namespace

TEST(PanelTabs, OpeningTabForEachBehaviour)
{
    struct Case {
        QString behavior, openPageID, lastUsed;
        PanelTab expected;
    };
    const QString gone = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const std::vector<Case> cases = {
        {QStringLiteral("history"), uuidOf(1), QStringLiteral("page:") + uuidOf(1), PanelTab::history()},
        {QStringLiteral("lastUsed"), {}, {}, PanelTab::history()},
        {QStringLiteral("lastUsed"), {}, QStringLiteral("history"), PanelTab::history()},
        {QStringLiteral("lastUsed"), {}, QStringLiteral("page:") + uuidOf(2), PanelTab::page(pageID(2))},
        {QStringLiteral("lastUsed"), {}, QStringLiteral("page:") + gone, PanelTab::history()},
        {QStringLiteral("lastUsed"), {}, QStringLiteral("Page:") + uuidOf(2), PanelTab::history()},
        {QStringLiteral("page"), uuidOf(1), {}, PanelTab::page(pageID(1))},
        {QStringLiteral("page"), uuidOf(1).toLower(), {}, PanelTab::page(pageID(1))},
        {QStringLiteral("page"), QStringLiteral("{") + uuidOf(1) + QStringLiteral("}"), {}, PanelTab::history()},
        {QStringLiteral("page"), gone, {}, PanelTab::history()},
        {QStringLiteral("page"), QStringLiteral("not a uuid"), {}, PanelTab::history()},
        {QStringLiteral("someday"), uuidOf(1), {}, PanelTab::history()},
    };
    ModelFixture f(makeClips(3), twoPages());
    for (const Case &c : cases) {
        f.model->tabs().selectTab(PanelTab::page(pageID(1)), false);
        f.prefs->setString(PreferenceKeys::panelOpenBehavior, c.behavior);
        f.prefs->setString(PreferenceKeys::panelOpenPageID, c.openPageID);
        f.prefs->setString(PreferenceKeys::panelLastUsedTarget, c.lastUsed);
        f.show();
        EXPECT_EQ(f.state().selectedTab, c.expected)
            << qPrintable(c.behavior + u' ' + c.openPageID + u' ' + c.lastUsed);
        EXPECT_EQ(f.pref(PreferenceKeys::panelLastUsedTarget), c.lastUsed) << "opening never rewrites the memory";
    }
    EXPECT_EQ(f.model->interactionMode(), PanelKeyboardMode::browsing);
}

TEST(PanelTabs, MemoryFollowsChosenTabsAndVanishedPages)
{
    ModelFixture f(makeClips(3), twoPages());
    f.model->tabs().selectTab(PanelTab::page(pageID(1)), true);
    EXPECT_EQ(f.pref(PreferenceKeys::panelLastUsedTarget), QStringLiteral("page:") + uuidOf(1));
    f.prefs->setString(PreferenceKeys::panelLastUsedTarget, QStringLiteral("stale"));
    f.model->tabs().selectTab(PanelTab::page(pageID(1)), true);
    EXPECT_EQ(f.pref(PreferenceKeys::panelLastUsedTarget), QStringLiteral("page:") + uuidOf(1))
        << "choosing the selected tab again rewrites the memory";
    f.model->tabs().selectTab(PanelTab::history(), false);
    EXPECT_EQ(f.pref(PreferenceKeys::panelLastUsedTarget), QStringLiteral("page:") + uuidOf(1));
    EXPECT_FALSE(f.state().suppressNextTabMemory);

    // The open Page is deleted on another device: back to the history, forgotten as unlocked.
    f.model->tabs().selectTab(PanelTab::page(pageID(2)), true);
    f.model->tabs().appendToInlineUnlockPassword(f.store.password);
    f.model->tabs().submitInlineUnlock();
    ASSERT_TRUE(f.state().unlockedBoardIDs.contains(pageID(2)));
    f.changeStore([](HistorySnapshot &s) { s.pages.pop_back(); });
    EXPECT_EQ(f.state().selectedTab, PanelTab::history());
    EXPECT_TRUE(f.state().unlockedBoardIDs.isEmpty());
    EXPECT_EQ(f.pref(PreferenceKeys::panelLastUsedTarget), QStringLiteral("page:") + uuidOf(2))
        << "falling back is not a choice of the user";
}

TEST(PanelTabs, InlineUnlockAsksForThePasswordEachShowing)
{
    std::vector<ClipSnapshot> clips = makeClips(3);
    clips[0].pageID = pageID(2);
    ModelFixture f(clips, twoPages());
    HistoryTabController &tabs = f.model->tabs();
    tabs.selectTab(PanelTab::page(pageID(2)), true);
    f.scheduler.runPending();
    EXPECT_TRUE(f.state().isInlineUnlockFocused);
    EXPECT_EQ(f.lists().visibleCount(), 0);

    f.type(QStringLiteral("nope"));
    f.key(Qt::Key_Return, {}, QStringLiteral("\r"));
    EXPECT_EQ(f.state().inlineUnlockError, QStringLiteral("Wrong password."));
    EXPECT_TRUE(f.state().inlineUnlockPassword.isEmpty());
    EXPECT_TRUE(f.state().isInlineUnlockFocused);
    f.type(QStringLiteral("x"));
    f.key(Qt::Key_Backspace);
    EXPECT_TRUE(f.state().inlineUnlockError.isEmpty()) << "typing clears the error, deleting does not bring it back";
    tabs.submitInlineUnlock();
    f.scheduler.runPending();
    EXPECT_TRUE(f.state().isInlineUnlockFocused) << "an empty submit keeps focus in the field";

    f.type(f.store.password);
    f.key(Qt::Key_Enter, Qt::KeypadModifier, QStringLiteral("\r"));
    EXPECT_EQ(f.lists().visibleCount(), 1);
    EXPECT_TRUE(f.state().isGridFocused);
    EXPECT_EQ(f.model->interactionMode(), PanelKeyboardMode::browsing);
    tabs.selectTab(PanelTab::history(), true);
    tabs.selectTab(PanelTab::page(pageID(2)), true);
    EXPECT_EQ(f.lists().visibleCount(), 1) << "no second question within one showing";

    f.show();
    tabs.selectTab(PanelTab::page(pageID(2)), true);
    EXPECT_EQ(f.lists().visibleCount(), 0);
    tabs.selectTab(PanelTab::page(pageID(1)), true);
    tabs.appendToInlineUnlockPassword(QStringLiteral("pw"));
    tabs.submitInlineUnlock();
    EXPECT_TRUE(f.state().inlineUnlockError.isEmpty()) << "a Page without a lock is not checked";
}

TEST(PanelTabs, AddFileStoresRegularFilesUpToTheCap)
{
    QTemporaryDir dir;
    const auto write = [&](const QString &name, const QByteArray &bytes) {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return file.fileName();
    };
    ModelFixture f(makeClips(1), twoPages());
    f.model->tabs().selectTab(PanelTab::page(pageID(1)), true);
    // The read runs on the pool; its answer comes back through the event loop.
    const auto addFile = [&](const QString &path) {
        f.model->tabs().addFile(path);
        for (int i = 0; i < 5; ++i) {
            QThreadPool::globalInstance()->waitForDone();
            QCoreApplication::processEvents();
        }
    };
    const QByteArray png = QByteArray::fromHex("89504e470d0a1a0a0000000d49484452");
    addFile(write(QStringLiteral("shot.png"), png));
    ASSERT_EQ(f.store.inserted.size(), 1u);
    const CapturedContent &c = f.store.inserted[0].first;
    EXPECT_EQ(c.kind, ClipKind::file);
    EXPECT_EQ(c.text, dir.filePath(QStringLiteral("shot.png")));
    EXPECT_EQ(c.fileName, QStringLiteral("shot.png"));
    EXPECT_EQ(c.fileTypeIdentifier, QStringLiteral("public.png"));
    EXPECT_EQ(c.imageData, png);
    EXPECT_EQ(c.fileData, png);
    EXPECT_EQ(c.sourceAppName, QStringLiteral("Quillmere"));
    EXPECT_EQ(f.store.inserted[0].second, pageID(1));

    addFile(write(QStringLiteral("exact.bin"), QByteArray(HistoryViewModel::maxFileBytes, '\0')));
    ASSERT_EQ(f.store.inserted.size(), 2u);
    EXPECT_EQ(f.store.inserted[1].first.fileTypeIdentifier, QStringLiteral("public.data"));
    EXPECT_FALSE(f.store.inserted[1].first.imageData);
    EXPECT_FALSE(f.state().isShowingManualAddError);

    addFile(write(QStringLiteral("big.bin"), QByteArray(HistoryViewModel::maxFileBytes + 1, 'x')));
    EXPECT_EQ(f.state().manualAddErrorMessage, QStringLiteral("Files larger than 8.4 MB cannot be saved yet."));
    EXPECT_TRUE(f.state().isShowingManualAddError);
    EXPECT_EQ(f.model->interactionMode(), PanelKeyboardMode::paused);
    f.model->dismissManualAddError();

    const QString fifo = dir.filePath(QStringLiteral("pipe"));
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString &path :
         {fifo, dir.path(), QStringLiteral("/dev/zero"), dir.filePath(QStringLiteral("missing"))}) {
        addFile(path);
        EXPECT_TRUE(f.state().isShowingManualAddError) << qPrintable(path);
        EXPECT_FALSE(f.state().manualAddErrorMessage.isEmpty());
        f.model->dismissManualAddError();
    }
    EXPECT_EQ(f.store.inserted.size(), 2u);

    f.store.acceptInserts = false;
    addFile(write(QStringLiteral("note.txt"), "hello"));
    EXPECT_EQ(f.state().manualAddErrorMessage, QStringLiteral("The file could not be saved."));
}

TEST(PanelTabs, EmptyStateNamesTheSituation)
{
    const PageSnapshot untitled = makePage(1, {});
    EXPECT_EQ(emptyStateContent(true, QStringLiteral("  "), false, nullptr).title, QStringLiteral("Search clips"));
    EXPECT_EQ(emptyStateContent(true, QStringLiteral("x"), true, nullptr),
              (EmptyStateContent{QStringLiteral("No clips match \u201Cx\u201D"),
                                 QStringLiteral("Try a different search."), QStringLiteral("magnifyingglass")}));
    EXPECT_EQ(emptyStateContent(false, {}, true, &untitled).symbol, QStringLiteral("text.viewfinder"));
    EXPECT_EQ(emptyStateContent(false, {}, false, nullptr),
              (EmptyStateContent{QStringLiteral("Copy something to get started"),
                                 QStringLiteral("Press Shift+Super+V anytime to open Brindlewax."),
                                 QStringLiteral("doc.on.clipboard")}));
    // A history that waits on disk is not a new start.
    const EmptyStateContent waiting = emptyStateContent(false, {}, false, nullptr, QStringLiteral("no room"));
    EXPECT_EQ(waiting.title, QStringLiteral("Your clipboard history is kept on disk"));
    EXPECT_EQ(waiting.subtitle, QStringLiteral("no room"));
    EXPECT_EQ(emptyStateContent(false, {}, false, &untitled, QStringLiteral("no room")).title,
              QStringLiteral("Untitled is empty"));
    EXPECT_EQ(emptyStateContent(false, {}, false, &untitled),
              (EmptyStateContent{QStringLiteral("Untitled is empty"),
                                 QStringLiteral("Right-click any clip to save it to this page."),
                                 QStringLiteral("square.grid.2x2")}));
}
