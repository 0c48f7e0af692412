// The view model over a changing store: lists rebuilt on every save, the selection carried by
// clip, locked Pages kept out, the search, the mode notices and the paste paths.
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include "ModelFixture.h"
#include "Quillmere/Platform/Core/Notices.h"

#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::test;

TEST(HistoryViewModel, SelectionFollowsItsClipAcrossEverySave)
{
    ModelFixture f;
    // A new clip while the first card is selected: the new clip is selected and the strip scrolls.
    const int scrolls = f.state().selectionScrollRevision;
    f.changeStore([](HistorySnapshot &s) { s.clips.insert(s.clips.begin(), makeClip(100)); });
    EXPECT_EQ(f.state().selectedIndex, 0);
    EXPECT_EQ(f.selectedRow(), 100);
    EXPECT_EQ(f.state().selectionScrollRevision, scrolls + 1);

    // A new clip during navigation keeps the selected clip.
    f.model->setSelectedIndex(5);
    const auto selected = f.selectedRow();
    f.changeStore([](HistorySnapshot &s) { s.clips.insert(s.clips.begin(), makeClip(101)); });
    EXPECT_EQ(f.state().selectedIndex, 6);
    EXPECT_EQ(f.selectedRow(), selected);

    // Saves that change neither the count nor the newest clip still refresh: a clip deleted
    // elsewhere while another arrives, and an edit that drops a clip from the query.
    f.changeStore([](HistorySnapshot &s) {
        s.clips.erase(s.clips.begin() + 2);
        s.clips.push_back(makeClip(102));
    });
    EXPECT_EQ(f.selectedRow(), selected);
    EXPECT_EQ(f.state().selectedIndex, 5);
    f.model->search().expandSearch();
    f.model->search().setQuery(QStringLiteral("clip"));
    ASSERT_EQ(f.lists().visibleCount(), 12);
    f.model->setSelectedIndex(11);
    f.changeStore([](HistorySnapshot &s) { s.clips.back().text = QStringLiteral("edited"); });
    EXPECT_EQ(f.lists().visibleCount(), 11);
    EXPECT_EQ(f.state().selectedIndex, 10) << "the nearest index when the clip left the list";

    f.changeStore([](HistorySnapshot &s) { s.clips.clear(); });
    EXPECT_EQ(f.state().selectedIndex, 0);
    EXPECT_EQ(f.model->pasteSelection(), KeyPressResult::ignored);
}

TEST(HistoryViewModel, ListsFollowPinsAndPagesWithoutAnOrderChange)
{
    std::vector<ClipSnapshot> clips = makeClips(4);
    clips[1].isPinned = true;
    clips[2].pageID = pageID(1);
    ModelFixture f(clips, {makePage(1, QStringLiteral("Work")), makePage(2, QStringLiteral("Home"))});
    f.model->search().setFilters({.pinnedOnly = true});
    EXPECT_EQ(f.visibleRows(), (std::vector<qint64>{2}));
    f.changeStore([](HistorySnapshot &s) { s.clips[1].isPinned = false; });
    EXPECT_TRUE(f.visibleRows().empty()) << "Unpin under Pinned Only";

    f.model->search().setFilters({});
    f.model->tabs().selectTab(PanelTab::page(pageID(1)), true);
    EXPECT_EQ(f.visibleRows(), (std::vector<qint64>{3}));
    f.changeStore([](HistorySnapshot &s) { s.clips[2].pageID = pageID(2); });
    EXPECT_TRUE(f.visibleRows().empty()) << "moved to another Page";
    f.changeStore([](HistorySnapshot &s) { s.clips[2].pageID.reset(); });
    f.model->tabs().selectTab(PanelTab::history(), true);
    EXPECT_EQ(f.lists().visibleCount(), 4) << "removed from the Page, back in the history";
}

TEST(HistoryViewModel, ClipsOfALockedPageNeverReachAListSearchEngineOrThumbnail)
{
    std::vector<ClipSnapshot> clips = makeClips(6);
    for (ClipSnapshot &c : clips)
        c.hasImageData = true;
    clips[0].pageID = pageID(1);
    clips[0].text = QStringLiteral("secret plan");
    clips[3].pageID = pageID(1);
    ModelFixture f(clips, {makePage(1, QStringLiteral("Vault"), true)});
    f.stack.ids = {clips[0].dedupID, clips[1].dedupID};

    const auto seesLocked = [&] {
        for (int i = 0; i < f.lists().navigableCount(); ++i) {
            if (f.lists().navigableAt(i)->pageID)
                return true;
        }
        return false;
    };
    EXPECT_FALSE(seesLocked());
    for (const auto &batch : f.thumbnails) {
        for (const ThumbnailRequest &r : batch)
            EXPECT_NE(r.id, clipID(1)) << "no thumbnail of a locked clip";
    }
    EXPECT_EQ(f.model->pasteStackItems().size(), 1u);
    EXPECT_EQ(f.stack.ids.size(), 2u);

    f.model->search().expandSearch();
    f.model->search().setFilters({.kind = ClipKind::text});
    f.type(QStringLiteral("secret plan"));
    EXPECT_FALSE(seesLocked());
    f.scheduler.advance(200);
    ASSERT_EQ(f.engine.calls.size(), 1u);
    for (const SemanticDocument &d : f.engine.calls[0].documents)
        EXPECT_TRUE(d.id != clipID(1) && d.id != clipID(4)) << "locked clips reach no semantic query";
    f.engine.calls[0].reply({{clipID(1), 0.99}, {clipID(2), 0.8}});
    EXPECT_EQ(f.lists().relatedCount(), 1);
    EXPECT_FALSE(seesLocked());

    // Opened through its prompt, the Page's clips come back; locking it again hides them at once.
    f.model->tabs().selectTab(PanelTab::page(pageID(1)), true);
    f.type(QStringLiteral("open sesame"));
    f.key(Qt::Key_Return, {}, QStringLiteral("\r"));
    EXPECT_EQ(f.lists().visibleCount(), 2);
    f.model->tabs().selectTab(PanelTab::history(), true);
    EXPECT_EQ(f.lists().visibleCount(), 6);
    f.model->tabs().lockNow(pageID(1));
    EXPECT_EQ(f.lists().visibleCount(), 4);
    EXPECT_FALSE(seesLocked());
}

TEST(HistoryViewModel, SemanticResultsArriveAfterThePauseAndStaleOnesAreDropped)
{
    std::vector<ClipSnapshot> clips = makeClips(5);
    clips[0].text = QStringLiteral("quarterly report draft");
    ModelFixture f(clips);
    f.model->search().expandSearch();
    f.type(QStringLiteral("report"));
    f.scheduler.advance(200);
    EXPECT_TRUE(f.engine.calls.empty()) << "one word under 8 characters starts nothing";

    f.type(QStringLiteral(" d"));
    f.scheduler.advance(200);
    ASSERT_EQ(f.engine.calls.size(), 1u);
    EXPECT_EQ(f.engine.calls[0].query, QStringLiteral("report d"));
    EXPECT_EQ(f.engine.calls[0].documents.size(), 4u) << "the literal match is not sent";
    f.type(QStringLiteral("r"));
    f.engine.calls[0].reply({{clipID(2), 0.9}});
    EXPECT_TRUE(f.state().relatedItemIDs.empty()) << "a result for an earlier query is dropped";

    f.scheduler.advance(200);
    ASSERT_EQ(f.engine.calls.size(), 2u);
    f.engine.calls[1].reply({{clipID(1), 0.99}, {clipID(3), 0.6}, {clipID(2), 0.5999}});
    EXPECT_EQ(f.state().relatedItemIDs, (std::vector<PersistentIdentifier>{clipID(3)}));
    ASSERT_EQ(f.lists().relatedCount(), 1);
    f.model->setSelectedIndex(1); // the related card
    EXPECT_EQ(f.selectedRow(), 3);

    f.key(Qt::Key_Escape);
    EXPECT_TRUE(f.state().relatedItemIDs.empty());
    EXPECT_EQ(f.lists().relatedCount(), 0);
    EXPECT_EQ(f.state().selectedIndex, 0);

    f.prefs->setBool(PreferenceKeys::semanticSearchDisabled, true);
    f.model->search().expandSearch();
    f.type(QStringLiteral("two words"));
    f.scheduler.advance(500);
    EXPECT_EQ(f.engine.calls.size(), 2u);
}

TEST(HistoryViewModel, EachModeAndPauseChangeIsAnnouncedOnce)
{
    ModelFixture f(makeClips(3), {makePage(1, QStringLiteral("Vault"), true)});
    EXPECT_EQ(f.pauseNotices, (std::vector<bool>{false}));
    EXPECT_EQ(f.modeNotices, (std::vector<QString>{QStringLiteral("browsing")}));
    f.modeNotices.clear();
    f.pauseNotices.clear();

    f.model->search().expandSearch();
    f.type(QStringLiteral("ab"));
    f.model->setRenamingItem(clipID(1), QStringLiteral("name"));
    f.model->setRenameText(QStringLiteral("other"));
    f.model->setRenamingItem(std::nullopt);
    EXPECT_EQ(f.pauseNotices, (std::vector<bool>{true, false}));
    EXPECT_EQ(
        f.modeNotices,
        (std::vector<QString>{QStringLiteral("searching"), QStringLiteral("paused"), QStringLiteral("searching")}));

    f.modeNotices.clear();
    f.model->tabs().selectTab(PanelTab::page(pageID(1)), true);
    f.model->setShowingClearConfirmation(true);
    EXPECT_EQ(f.model->interactionMode(), PanelKeyboardMode::paused) << "a dialog beats a locked Page";
    EXPECT_FALSE(f.model->canPasteSelection());
    f.model->setShowingClearConfirmation(false);
    EXPECT_EQ(
        f.modeNotices,
        (std::vector<QString>{QStringLiteral("unlocking"), QStringLiteral("paused"), QStringLiteral("unlocking")}));

    f.model->tabs().selectTab(PanelTab::history(), true);
    f.model->setLockSetupBoard(pageID(1));
    EXPECT_FALSE(f.model->canPasteSelection()) << "no paste behind a Page-lock sheet";
    f.key(Qt::Key_Return, {}, QStringLiteral("\r"));
    f.center.post(Notices::panelKeyPressed);
    EXPECT_TRUE(f.pasted.empty());
    f.model->setLockSetupBoard(std::nullopt);
    f.center.post(Notices::panelKeyPressed); // the panel's Return without an event
    EXPECT_EQ(f.pasted, (std::vector<PersistentIdentifier>{clipID(1)}));
}

TEST(HistoryViewModel, ShowingThePanelStartsAfresh)
{
    ModelFixture f(makeClips(5), {makePage(1, QStringLiteral("Vault"), true)});
    f.model->search().expandSearch();
    f.type(QStringLiteral("clip"));
    f.model->setSelectedIndex(3);
    f.model->handleWheelScroll(20);
    f.show();
    EXPECT_TRUE(f.state().query.isEmpty());
    EXPECT_FALSE(f.state().isSearchExpanded);
    EXPECT_EQ(f.state().selectedIndex, 0);
    EXPECT_EQ(f.state().wheelAccumulator, 0);
    EXPECT_TRUE(f.state().isGridFocused);
    EXPECT_FALSE(f.state().isSearchFocused);
}

TEST(HistoryViewModel, WheelStepsAreComputedAtOnceAndBadDeltasIgnored)
{
    ModelFixture f(makeClips(30));
    f.model->handleWheelScroll(41);
    EXPECT_EQ(f.state().selectedIndex, 0);
    f.model->handleWheelScroll(1);
    EXPECT_EQ(f.state().selectedIndex, 1);
    f.model->handleWheelScroll(std::nan(""));
    f.model->handleWheelScroll(std::numeric_limits<double>::infinity());
    EXPECT_EQ(f.state().selectedIndex, 1);
    EXPECT_EQ(f.state().wheelAccumulator, 0);
    f.model->handleWheelScroll(42 * 5);
    EXPECT_EQ(f.state().selectedIndex, 6);
    f.model->handleWheelScroll(-42 * 3 - 10);
    EXPECT_EQ(f.state().selectedIndex, 3);
    EXPECT_DOUBLE_EQ(f.state().wheelAccumulator, -10);
    f.model->handleWheelScroll(1e300);
    EXPECT_EQ(f.state().selectedIndex, 29);
    EXPECT_LT(std::abs(f.state().wheelAccumulator), HistoryViewModel::wheelStep);
}

TEST(HistoryViewModel, PasteStackEmptiesOnlyWhenThePasteWasHandedOn)
{
    std::vector<ClipSnapshot> clips = makeClips(3);
    clips[2].kindRawValue = QStringLiteral("image");
    clips[2].primaryText.reset();
    ModelFixture f(clips);
    f.stack.ids = {clips[2].dedupID};
    f.model->pasteStackAsText();
    EXPECT_EQ(f.beeps, 1);
    EXPECT_TRUE(f.pastedTexts.empty());

    f.stack.ids = {clips[1].dedupID, clips[0].dedupID};
    f.acceptPasteText = false;
    f.model->pasteStackAsText();
    EXPECT_EQ(f.pastedTexts.back(), QStringLiteral("clip 2\n\nclip 1"));
    EXPECT_EQ(f.stack.ids.size(), 2u);
    f.acceptPasteText = true;
    f.model->pasteStackAsText();
    EXPECT_TRUE(f.stack.ids.empty());
}

TEST(HistoryViewModel, CaptureAndImportRefreshesWaitForTheLastNotice)
{
    ModelFixture f;
    f.store.data.clips.insert(f.store.data.clips.begin(), makeClip(100)); // saved, not yet announced
    f.center.post(Notices::clipCaptured);
    f.scheduler.advance(50);
    f.center.post(Notices::clipCaptured);
    f.scheduler.advance(79);
    EXPECT_EQ(f.lists().visibleCount(), 10);
    f.scheduler.advance(1);
    EXPECT_EQ(f.lists().visibleCount(), 11);
    EXPECT_EQ(f.selectedRow(), 100);

    f.model->setSelectedIndex(3);
    const auto selected = f.selectedRow();
    f.store.data.clips.insert(f.store.data.clips.begin(), makeClip(101));
    f.model->setSyncImporting(true);
    f.model->setSyncImporting(false);
    f.scheduler.advance(349);
    EXPECT_EQ(f.lists().visibleCount(), 11);
    f.scheduler.advance(1);
    EXPECT_EQ(f.lists().visibleCount(), 12);
    EXPECT_EQ(f.selectedRow(), selected);
}

TEST(QtTaskScheduler, RunsInOrderAndForgetsCancelledWork)
{
    QtTaskScheduler scheduler;
    std::vector<char> ran;
    scheduler.schedule(std::chrono::milliseconds(0), [&] { ran.push_back('a'); });
    scheduler.schedule(std::chrono::milliseconds(0), [&] { ran.push_back('b'); });
    const auto c = scheduler.schedule(std::chrono::milliseconds(5), [&] { ran.push_back('c'); });
    scheduler.schedule(std::chrono::milliseconds(20), [&] { ran.push_back('d'); });
    scheduler.cancel(c);
    scheduler.cancel(c);
    EXPECT_TRUE(waitUntil([&] { return ran.size() == 3; }));
    EXPECT_EQ(ran, (std::vector<char>{'a', 'b', 'd'}));
}

TEST(HistoryViewModel, WithoutAWordModelTheFirstSearchSaysSoAndLiteralMatchesStay)
{
    std::vector<ClipSnapshot> clips = makeClips(5);
    clips[0].text = QStringLiteral("quarterly report draft");
    ModelFixture f(clips);
    f.engine.noModel = true;
    f.model->search().expandSearch();
    f.type(QStringLiteral("report draft"));
    f.scheduler.advance(200);
    ASSERT_EQ(f.engine.calls.size(), 1u);
    EXPECT_FALSE(f.state().isShowingNoWordModelNote) << "nothing is said before the engine answers";
    f.engine.calls[0].reply({});
    EXPECT_TRUE(f.state().isShowingNoWordModelNote);
    EXPECT_EQ(f.lists().visibleCount(), 1) << "the literal match stays";
    EXPECT_EQ(f.selectedRow(), 1);

    f.key(Qt::Key_Escape);
    EXPECT_FALSE(f.state().isShowingNoWordModelNote);
    f.model->search().expandSearch();
    f.type(QStringLiteral("report draft"));
    f.scheduler.advance(200);
    ASSERT_EQ(f.engine.calls.size(), 2u);
    f.engine.calls[1].reply({});
    EXPECT_FALSE(f.state().isShowingNoWordModelNote) << "said once";
    EXPECT_EQ(f.lists().visibleCount(), 1);
}
