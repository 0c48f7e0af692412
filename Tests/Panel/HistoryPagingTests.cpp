// The history view reads the store only while the panel shows, and then only its newest part
// until a search, a filter or a long scroll needs more.

#include "ModelFixture.h"

#include <QCoreApplication>
#include <QSemaphore>
#include <QThreadPool>
#include <atomic>
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
    qsizetype clipCount() const override { return qsizetype(data.clips.size()); }
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

// Reads the whole history on a worker as the clip store does; each read waits at the gate until
// the test lets it through, so a test can type or save while it runs.
class WorkerHistoryStore : public PagedHistoryStore {
public:
    std::shared_ptr<QSemaphore> gate = std::make_shared<QSemaphore>();
    std::shared_ptr<std::atomic<int>> started = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<std::atomic<int>> stopped = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<std::atomic<int>> namesReads = std::make_shared<std::atomic<int>>(0);

    // A test that failed half-way leaves no worker waiting.
    ~WorkerHistoryStore() override { gate->release(1000); }

    SearchRead searchRead() const override
    {
        return [clips = data.clips, gate = gate, started = started, stopped = stopped](
                   const HistorySearch &search, const std::atomic<bool> &stop) -> std::optional<HistorySearchAnswer> {
            ++*started;
            gate->acquire();
            if (stop) {
                ++*stopped;
                return std::nullopt;
            }
            SearchCollector collect(search);
            for (const ClipSnapshot &clip : clips)
                if (!collect.offer(clip))
                    break;
            return collect.take();
        };
    }
    NamesRead sourceAppNamesRead() const override
    {
        return [clips = data.clips, reads = namesReads]() -> std::optional<QStringList> {
            ++*reads;
            QStringList names;
            for (const ClipSnapshot &clip : clips)
                if (clip.sourceAppName)
                    names << *clip.sourceAppName;
            return names;
        };
    }
};

template <typename Store = PagedHistoryStore> struct PagedFixture {
    Store store;
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

namespace {

std::vector<QUuid> visibleIDs(const ClipLists &lists)
{
    std::vector<QUuid> ids;
    for (int i = 0; i < lists.visibleCount(); ++i)
        ids.push_back(lists.visibleAt(i).dedupID);
    return ids;
}

template <typename Fixture> void type(Fixture &f, const QString &text)
{
    for (QChar c : text)
        f.model->handleCapturedKey({c.toUpper().unicode(), {}, QString(c)});
}

// What the view shows for `query` over `clips` when the whole history is read on the main thread.
std::vector<QUuid> answeredInPlace(const std::vector<ClipSnapshot> &clips, const QString &query)
{
    PagedFixture f(0);
    f.store.data.clips = clips;
    f.show();
    f.model->search().expandSearch();
    type(f, query);
    f.scheduler.runPending();
    EXPECT_TRUE(f.lists().isComplete());
    return visibleIDs(f.lists());
}

} // namespace

TEST(HistoryPaging, AWordSearchReadsTheRestOnAWorkerAndAnswersTheQueryTypedMeanwhile)
{
    PagedFixture<WorkerHistoryStore> f(HistoryViewModel::historyPageSize * 3);
    f.show();
    f.model->search().expandSearch();
    type(f, QStringLiteral("clip 1"));
    ASSERT_TRUE(waitUntil([&] { return *f.store.started >= 1; }));
    EXPECT_FALSE(f.lists().holdsMatches()) << "the newest part answers at once";
    EXPECT_GT(f.lists().visibleCount(), 0);

    type(f, QStringLiteral("0"));
    f.scheduler.runPending();
    EXPECT_EQ(f.store.wholeReads, 0) << "nothing is read on the main thread";
    f.store.gate->release(1000);
    const std::vector<QUuid> expected = answeredInPlace(f.store.data.clips, QStringLiteral("clip 10"));
    EXPECT_GT(expected.size(), 100u);
    ASSERT_TRUE(waitUntil([&] { return visibleIDs(f.lists()) == expected; }));
    EXPECT_FALSE(f.lists().isComplete()) << "only the matches are held, not the history";
    EXPECT_LE(f.lists().items().size(), expected.size() + HistoryViewModel::historyPageSize);
    EXPECT_EQ(f.store.wholeReads, 0);
}

// Letters added to a search whose whole answer is held narrow it without asking the store; after
// a save (a clip stored, another removed), or a letter taken back, the store is asked again.
TEST(HistoryPaging, AddedLettersNarrowAWholeAnswerAndASaveOrABackspaceAsksTheStoreAgain)
{
    PagedFixture<WorkerHistoryStore> f(HistoryViewModel::historyPageSize * 3);
    f.show();
    f.model->search().expandSearch();
    f.store.gate->release(1000);
    const auto shows = [&](const char *query) {
        return visibleIDs(f.lists()) == answeredInPlace(f.store.data.clips, QString::fromLatin1(query));
    };
    type(f, QStringLiteral("clip 11"));
    ASSERT_TRUE(waitUntil([&] { return shows("clip 11") && f.lists().holdsMatches(); }));
    int asked = *f.store.started;
    type(f, QStringLiteral("5"));
    EXPECT_TRUE(shows("clip 115"));
    f.scheduler.runPending();
    QCoreApplication::processEvents();
    EXPECT_EQ(*f.store.started, asked) << "the held answer is narrowed";

    ClipSnapshot fresh = makeClip(5000, QStringLiteral("clip 1157 fresh"));
    fresh.createdAt = f.store.data.clips.front().createdAt.addSecs(60);
    f.store.data.clips.insert(f.store.data.clips.begin(), fresh);
    const QUuid gone = makeClip(1157).dedupID;
    std::erase_if(f.store.data.clips, [&](const ClipSnapshot &c) { return c.dedupID == gone; });
    f.store.publish();
    f.scheduler.runPending();
    type(f, QStringLiteral("7"));
    ASSERT_TRUE(waitUntil([&] { return shows("clip 1157"); }));
    EXPECT_GT(*f.store.started, asked) << "a save since the answer asks the store again";
    const std::vector<QUuid> found = visibleIDs(f.lists());
    EXPECT_EQ(std::count(found.begin(), found.end(), fresh.dedupID), 1);
    EXPECT_EQ(std::count(found.begin(), found.end(), gone), 0);

    ASSERT_TRUE(waitUntil([&] { return QThreadPool::globalInstance()->activeThreadCount() == 0; }));
    asked = *f.store.started;
    f.model->handleCapturedKey({Qt::Key_Backspace, {}, QString()});
    f.model->handleCapturedKey({Qt::Key_Backspace, {}, QString()});
    ASSERT_EQ(f.model->state().query, QStringLiteral("clip 11"));
    ASSERT_TRUE(waitUntil([&] { return *f.store.started > asked && shows("clip 11"); }));
}

TEST(HistoryPaging, ASaveDuringTheReadShowsItsAnswerThenReadsOnceMore)
{
    PagedFixture<WorkerHistoryStore> f(HistoryViewModel::historyPageSize * 2);
    f.show();
    f.model->search().expandSearch();
    type(f, QStringLiteral("clip 7"));
    ASSERT_TRUE(waitUntil([&] { return *f.store.started >= 1; }));

    ClipSnapshot fresh = makeClip(5000, QStringLiteral("clip 7 fresh"));
    fresh.createdAt = f.store.data.clips.front().createdAt.addSecs(60);
    f.store.data.clips.insert(f.store.data.clips.begin(), fresh);
    f.store.data.clips.erase(f.store.data.clips.end() - 1); // an old match goes
    const QUuid gone = makeClip(HistoryViewModel::historyPageSize * 2).dedupID;
    for (int i = 0; i < 5; ++i) {
        f.store.publish();
        f.scheduler.runPending();
    }
    EXPECT_EQ(visibleIDs(f.lists()).front(), fresh.dedupID) << "the newest part as saved now answers at once";
    f.store.gate->release(1000);
    const std::vector<QUuid> expected = answeredInPlace(f.store.data.clips, QStringLiteral("clip 7"));
    ASSERT_TRUE(waitUntil([&] { return visibleIDs(f.lists()) == expected; }));
    const std::vector<QUuid> shown = visibleIDs(f.lists());
    EXPECT_EQ(std::count(shown.begin(), shown.end(), gone), 0);
}

namespace {

QUuid selectedID(const HistoryViewModel &model)
{
    const std::vector<QUuid> ids = model.lists().navigableDedupIDs();
    const int index = model.state().selectedIndex;
    return index >= 0 && index < int(ids.size()) ? ids[size_t(index)] : QUuid();
}

// After the whole answer to a search was shown and an old match selected, saves that add a clip
// or delete another old match keep every other match and the selection on its clip. `settle`
// lets whatever the model reads after a save land.
template <typename Store> void savesKeepTheWholeAnswer(const std::function<void(PagedFixture<Store> &)> &settle)
{
    PagedFixture<Store> f(HistoryViewModel::historyPageSize * 3);
    f.show();
    f.model->search().expandSearch();
    type(f, QStringLiteral("clip 1"));
    settle(f);
    const auto answered = [&] { return f.lists().isComplete() || f.lists().holdsMatches(); };
    ASSERT_TRUE(answered());
    // Scrolled to its end, an answer with more grows until it is whole.
    int whole = 0;
    while (whole != f.lists().visibleCount()) {
        whole = f.lists().visibleCount();
        f.model->moveSelection(whole - 1 - f.model->state().selectedIndex);
        settle(f);
    }
    ASSERT_GT(whole, HistoryViewModel::historyPageSize / 2);
    const QUuid picked = selectedID(*f.model);
    ASSERT_EQ(f.model->state().selectedIndex, whole - 1);

    ClipSnapshot fresh = makeClip(9000, QStringLiteral("other"));
    fresh.createdAt = f.store.data.clips.front().createdAt.addSecs(60);
    f.store.data.clips.insert(f.store.data.clips.begin(), fresh);
    f.store.publish();
    f.scheduler.runPending();
    EXPECT_TRUE(answered());
    EXPECT_EQ(f.lists().visibleCount(), whole) << "the older matches stay";
    EXPECT_EQ(selectedID(*f.model), picked);
    settle(f);
    EXPECT_EQ(f.lists().visibleCount(), whole);
    EXPECT_EQ(selectedID(*f.model), picked);

    // An old match other than the selected one is deleted: it is not shown once the save was read.
    const QUuid deleted = f.lists().visibleAt(whole - 2).dedupID;
    std::erase_if(f.store.data.clips, [&](const ClipSnapshot &c) { return c.dedupID == deleted; });
    f.store.publish();
    f.scheduler.runPending();
    settle(f);
    const std::vector<QUuid> now = visibleIDs(f.lists());
    EXPECT_EQ(std::count(now.begin(), now.end(), deleted), 0);
    EXPECT_EQ(visibleIDs(f.lists()), answeredInPlace(f.store.data.clips, QStringLiteral("clip 1")));
    EXPECT_EQ(selectedID(*f.model), picked) << "Return pastes the clip the user picked";
}

} // namespace

TEST(HistoryPaging, SavesAfterTheWholeAnswerKeepItsMatchesAndTheSelectedClip)
{
    // Read on a worker: the reads run through, and the test goes on once none runs.
    savesKeepTheWholeAnswer<WorkerHistoryStore>([](PagedFixture<WorkerHistoryStore> &f) {
        f.store.gate->release(1000);
        int quiet = 0;
        ASSERT_TRUE(waitUntil([&] {
            quiet = QThreadPool::globalInstance()->activeThreadCount() == 0 ? quiet + 1 : 0;
            return quiet >= 3;
        }));
    });
    // Read on the main thread, as from a store in memory.
    savesKeepTheWholeAnswer<PagedHistoryStore>([](PagedFixture<PagedHistoryStore> &f) { f.scheduler.runPending(); });
}

TEST(HistoryPaging, AModelGoneWithAReadInFlightStopsTheRead)
{
    std::shared_ptr<QSemaphore> gate;
    std::shared_ptr<std::atomic<int>> stopped;
    std::shared_ptr<std::atomic<int>> started;
    {
        PagedFixture<WorkerHistoryStore> f(HistoryViewModel::historyPageSize * 3);
        gate = f.store.gate;
        stopped = f.store.stopped;
        f.show();
        f.model->search().expandSearch();
        type(f, QStringLiteral("clip 1"));
        ASSERT_TRUE(waitUntil([&] { return *f.store.started >= 1; }));
        f.model.reset();
        started = f.store.started;
    }
    ASSERT_TRUE(waitUntil([&] { return *stopped == *started; })) << "the read gives up rather than run to its end";
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents(); // its answer reaches nothing
}

TEST(HistoryPaging, TheSourceFilterListsSourcesOfClipsBeyondTheNewestPart)
{
    PagedFixture<WorkerHistoryStore> f(HistoryViewModel::historyPageSize * 2);
    f.store.data.clips.front().sourceAppName = QStringLiteral("Editor");
    f.store.data.clips.back().sourceAppName = QStringLiteral(" Old App ");
    f.show();
    ASSERT_FALSE(f.lists().isComplete());
    ASSERT_TRUE(waitUntil([&] { return f.model->state().sourceAppNames.size() == 2; }));
    EXPECT_EQ(f.model->state().sourceAppNames, (QStringList{QStringLiteral("Editor"), QStringLiteral("Old App")}));
}

TEST(HistoryPaging, SourceNamesAreReadAgainOnlyAfterTheStoreChanged)
{
    PagedFixture<WorkerHistoryStore> f(HistoryViewModel::historyPageSize * 2);
    f.store.data.clips.back().sourceAppName = QStringLiteral("Old App");
    f.show();
    ASSERT_TRUE(waitUntil([&] { return f.model->state().sourceAppNames == QStringList{QStringLiteral("Old App")}; }));
    f.model->panelDidHide();
    f.show();
    f.model->panelDidHide();
    f.show();
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    EXPECT_EQ(*f.store.namesReads, 1) << "nothing changed: no scan";

    // The source's last clip goes.
    f.store.data.clips.pop_back();
    f.store.publish();
    f.scheduler.runPending();
    ASSERT_TRUE(waitUntil([&] { return f.model->state().sourceAppNames.isEmpty(); }));
    EXPECT_EQ(*f.store.namesReads, 2);
}
