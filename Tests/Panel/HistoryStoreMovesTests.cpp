// The history's store over a ClipStore whose history goes on in another store file mid-session.
#include "ManualScheduler.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/StoreFileGuard.h"
#include "Quillmere/Model/StoreSearchKeys.h"
#include "Quillmere/Panel/HistoryStore.h"
#include "Quillmere/Panel/HistoryViewModel.h"
#include "Quillmere/Platform/Core/Notices.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Support/TestSupport.h"

#include <QFile>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <thread>

using namespace quillmere;
using namespace quillmere::test;

namespace {

int count(ClipStore &store, const char *sql)
{
    QSqlQuery q(store.context().database());
    return q.exec(QString::fromLatin1(sql)) && q.next() ? q.value(0).toInt() : -1;
}

// The store file at `path` (in memory when empty), on the test's clock.
std::shared_ptr<ModelContainer> openStore(const QString &path, FakeClock &clock)
{
    QString error;
    std::shared_ptr<ModelContainer> container(ModelContainer::open(path, clock.clock(), &error).release());
    EXPECT_TRUE(container) << qPrintable(error);
    return container;
}

// 40 clips at `path` without their search keys, as a store read back or of an older release holds them.
::testing::AssertionResult writeKeylessStore(const QString &path, FakeClock &clock, const ClipStoreDependencies &deps)
{
    ClipStore keyless(openStore(path, clock), deps);
    for (int i = 0; i < 40; ++i)
        keyless.insertClip({.kind = ClipKind::text, .text = QStringLiteral("plumb %1").arg(i)});
    QSqlQuery q(keyless.context().database());
    for (const char *sql : {"DROP TRIGGER clip_search_follows_deletes", "DROP TABLE clip_search",
                            "DROP TABLE clip_search_fill", "PRAGMA user_version = 4"})
        if (!q.exec(QString::fromLatin1(sql)))
            return ::testing::AssertionFailure() << sql;
    return ::testing::AssertionSuccess();
}

} // namespace

// A store read back from a damaged file, or put in place of the last, holds clips without their
// search keys: they get them in the same session, and a showing panel searches that store, whether
// the history was in memory or in another file before.
TEST(HistoryStoreMoves, TheStoreTheHistoryGoesOnInGetsItsKeysAndIsSearchedWhileShown)
{
    for (const bool fromMemory : {true, false}) {
        SCOPED_TRACE(fromMemory ? "from memory" : "from another file");
        QTemporaryDir dir;
        FakeClock clock;
        TempPreferences prefs;
        NotificationCenter center;
        const ClipStoreDependencies deps{prefs.prefs.get(), &center, clock.clock()};
        const QString next = dir.filePath("next.store");
        ASSERT_TRUE(writeKeylessStore(next, clock, deps));

        ClipStore store(openStore(fromMemory ? QString() : dir.filePath("first.store"), clock), deps);
        ClipStoreHistory history(store);
        history.keepSearchReads(true);
        if (!fromMemory) // the fill of the first file has found it whole and ended
            QTest::qWait(int(ClipStoreHistory::keyFillDelay.count()) + 300);
        if (fromMemory)
            store.moveHistoryTo(openStore(next, clock));
        else
            store.switchToContainer(openStore(next, clock));
        EXPECT_TRUE(waitUntil([&] { return count(store, "SELECT count(*) FROM clip_search") == 40; }, 20000));

        std::atomic<bool> stop = false;
        std::optional<HistorySearchAnswer> answer;
        std::thread([&, read = history.searchRead()] {
            answer = read({QStringLiteral("plumb"), {}, clock.now(), 100}, stop);
        }).join();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->clips.size(), 40u);
        history.keepSearchReads(false);
    }
}

// A salvage ends with the history in the store it read back: a search answered before (or one that
// met the damage) is asked again of it, and the cards of clips it left out go. More clips than the
// panel reads at once, so that searches are answered by the store.
TEST(HistoryStoreMoves, WhenTheHistoryGoesOnInAStoreReadBackTheListAndTheSearchAreReadFromIt)
{
    QTemporaryDir dir;
    FakeClock clock;
    TempPreferences prefs;
    NotificationCenter center;
    ManualScheduler scheduler;
    const ClipStoreDependencies deps{prefs.prefs.get(), &center, clock.clock()};
    const auto fill = [&](ClipStore &store, int plumbs) {
        store.setHistoryLimit(-1);
        for (int i = 0; i < HistoryViewModel::historyPageSize + plumbs; ++i)
            store.context().insert(store.makeClip(
                {.kind = ClipKind::text,
                 .text = i < plumbs ? QStringLiteral("plumb %1").arg(i) : QStringLiteral("filler %1").arg(i)}));
        ASSERT_TRUE(store.save());
    };
    const QString first = dir.filePath("first.store"), next = dir.filePath("next.store");
    {
        ClipStore readBack(openStore(next, clock), deps);
        fill(readBack, 30);
    }
    ClipStore store(openStore(first, clock), deps);
    fill(store, 3);
    clock.advance(1000);
    store.insertClip({.kind = ClipKind::image, .imageData = QByteArray("picture").repeated(100)});
    ClipStoreHistory history(store);
    HistoryViewModel model(
        HistoryViewDependencies{&history, &center, prefs.prefs.get(), &scheduler, nullptr, nullptr, clock.clock()}, {});
    center.post(Notices::panelDidShow);
    scheduler.runPending();
    const auto newest = [&] { return model.lists().navigableAt(0)->kindRawValue; };
    ASSERT_EQ(newest(), "image");
    store.switchToContainer(openStore(next, clock));
    scheduler.runPending();
    EXPECT_EQ(newest(), "text");

    store.switchToContainer(openStore(first, clock));
    scheduler.runPending();
    model.search().setQuery("plumb");
    const auto matchesShown = [&](int n) {
        return waitUntil(
            [&] {
                scheduler.runPending();
                return model.lists().visibleCount() == n;
            },
            5000);
    };
    ASSERT_TRUE(matchesShown(3)) << model.lists().visibleCount();
    store.switchToContainer(openStore(next, clock));
    EXPECT_TRUE(matchesShown(30)) << model.lists().visibleCount();
}

// The fill never makes a file at the path of a store deleted under it, which the guard would take
// for one put in its place: the guard puts the history back there, and the fill gives it its keys.
TEST(HistoryStoreMoves, TheKeyFillMakesNoFileWhereTheStoreWasDeletedAndFillsTheOneTheGuardPutsBack)
{
    QTemporaryDir dir;
    FakeClock clock;
    TempPreferences prefs;
    NotificationCenter center;
    const ClipStoreDependencies deps{prefs.prefs.get(), &center, clock.clock()};
    const QString path = dir.filePath("deleted.store");
    ASSERT_TRUE(writeKeylessStore(path, clock, deps));
    ClipStore store(openStore(path, clock), deps);
    ClipStoreHistory history(store);
    ASSERT_TRUE(QFile::remove(path));

    bool done = false;
    QString error;
    EXPECT_FALSE(StoreSearchKeys::fillSliceOf(path, 16, &done, &error));
    EXPECT_FALSE(QFile::exists(path));

    store.fileGuard().check();
    EXPECT_TRUE(waitUntil([&] { return count(store, "SELECT count(*) FROM clip_search") == 40; }, 20000));
    EXPECT_TRUE(store.fileGuard().holdsFileAtPath());
    EXPECT_EQ(count(store, "SELECT count(*) FROM clips"), 40);
}
