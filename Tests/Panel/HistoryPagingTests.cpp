// The history view reads the store only while the panel shows, and then only its newest part
// until a search, a filter or a long scroll needs more.

#include "ModelFixture.h"

#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

// Answers for a part the way the clip store does, and counts what it was asked.
class PagedHistoryStore : public FakeHistoryStore {
public:
    mutable int wholeReads = 0;
    mutable std::vector<int> partReads;

    HistorySnapshot snapshot() const override
    {
        ++wholeReads;
        return data;
    }
    HistorySnapshot newestSnapshot(int count, const std::vector<QUuid> &also) const override
    {
        partReads.push_back(count);
        if (int(data.clips.size()) <= count)
            return data;
        HistorySnapshot out{{data.clips.begin(), data.clips.begin() + count}, data.pages, count};
        for (auto it = data.clips.begin() + count; it != data.clips.end(); ++it)
            if (it->pageID || std::find(also.begin(), also.end(), it->dedupID) != also.end())
                out.clips.push_back(*it);
        return out;
    }
};

struct PagedFixture {
    PagedHistoryStore store;
    NotificationCenter center;
    TempPreferences prefs;
    ManualScheduler scheduler;
    FakeScorer engine;
    FakePasteStack stack;
    FakeClock clock;
    std::unique_ptr<HistoryViewModel> model;

    explicit PagedFixture(int clips)
    {
        store.data.clips = makeClips(clips);
        store.data.pages = {makePage(1, QStringLiteral("Work"))};
        model = std::make_unique<HistoryViewModel>(
            HistoryViewDependencies{&store, &center, prefs.prefs.get(), &scheduler, &engine, &stack, clock.clock()},
            HistoryViewCallbacks{});
    }
    void show()
    {
        center.post(Notices::panelDidShow);
        scheduler.runPending();
    }
    int reads() const { return store.wholeReads + int(store.partReads.size()); }
    const ClipLists &lists() const { return model->lists(); }
};

} // namespace

TEST(HistoryPaging, AHiddenPanelReadsNothingAndAShownOneReadsOncePerSave)
{
    PagedFixture f(50);
    EXPECT_EQ(f.reads(), 0) << "nothing is read at start";
    for (int i = 0; i < 5; ++i) {
        f.store.data.clips.insert(f.store.data.clips.begin(), makeClip(100 + i));
        f.store.publish();
        f.center.post(Notices::clipCaptured);
        f.scheduler.runPending();
    }
    EXPECT_EQ(f.reads(), 0) << "captures cost a hidden panel nothing";

    f.show();
    EXPECT_EQ(f.reads(), 1);
    EXPECT_EQ(f.lists().visibleCount(), 55);
    f.store.data.clips.insert(f.store.data.clips.begin(), makeClip(200));
    f.store.publish();
    f.center.post(Notices::clipCaptured);
    f.scheduler.advance(100);
    EXPECT_EQ(f.reads(), 2) << "the save and its capture notice share one read";
    EXPECT_EQ(f.lists().visibleCount(), 56);

    f.model->panelDidHide();
    f.store.publish();
    f.show();
    f.show();
    EXPECT_EQ(f.reads(), 3) << "one read for the change made while hidden, none for a second showing";
}

TEST(HistoryPaging, ALongHistoryShowsItsNewestPartThenMoreOnScrollAndAllForWords)
{
    const int total = HistoryViewModel::historyPageSize * 10;
    PagedFixture f(total);
    // An old clip on a Page and one queued to paste stay reachable.
    f.store.data.clips[size_t(total - 1)].pageID = pageID(1);
    f.stack.ids = {f.store.data.clips[size_t(total - 2)].dedupID};
    f.show();
    ASSERT_FALSE(f.lists().isComplete());
    EXPECT_EQ(f.lists().visibleCount(), HistoryViewModel::historyPageSize) << "no gap after the newest clips";
    EXPECT_NE(f.lists().clipWithDedupID(f.stack.ids.front()), nullptr);
    EXPECT_EQ(f.model->pasteStackItems().size(), 1u);

    f.model->tabs().selectTab(PanelTab::page(pageID(1)), false);
    f.scheduler.runPending();
    EXPECT_EQ(f.lists().visibleCount(), 1);
    f.model->tabs().selectTab(PanelTab::history(), false);
    f.scheduler.runPending();

    f.model->setSelectedIndex(HistoryViewModel::historyPageSize - 1);
    EXPECT_EQ(f.lists().visibleCount(), HistoryViewModel::historyPageSize * 4);
    EXPECT_EQ(f.model->state().selectedIndex, HistoryViewModel::historyPageSize - 1);
    EXPECT_EQ(f.store.wholeReads, 0);

    // The oldest clip is found by its words.
    f.model->search().expandSearch();
    for (QChar c : QStringLiteral("clip %1").arg(total - 3))
        f.model->handleCapturedKey({c.toUpper().unicode(), {}, QString(c)});
    f.scheduler.runPending();
    EXPECT_TRUE(f.lists().isComplete());
    ASSERT_EQ(f.lists().visibleCount(), 1);
    EXPECT_EQ(f.lists().visibleAt(0).id.rowID, total - 3);

    // Hidden again, the whole history is let go; the next showing reads a part.
    f.model->panelDidHide();
    f.scheduler.runPending();
    EXPECT_EQ(f.lists().items().size(), 0u);
    f.show();
    EXPECT_FALSE(f.lists().isComplete());
    EXPECT_EQ(f.store.partReads.back(), HistoryViewModel::historyPageSize);
}
