#include "Support/PagesFixture.h"
#include "Support/PoolBlocker.h"

#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/StoreCaretaker.h"
#include "Quillmere/Model/StoreFileGuard.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QThread>
#include <QTimer>
#include <optional>

using namespace quillmere;
using CopyStep = StoreFileGuard::CopyStep;

namespace {

// The store deleted a second time `afterMs` after `step` of putting its copy back.
struct Again {
    const char *name;
    CopyStep step;
    int afterMs;
};

class StoreDeletedAgainTest : public ::testing::TestWithParam<Again>, public test::StoreFixture {
protected:
    StoreDeletedAgainTest() : StoreFixture(true)
    {
        add("old", 30);
        QObject::connect(store.get(), &ClipStore::storeFileChanged, &timers, [this](const QString &told) {
            EXPECT_TRUE(!told.contains("with every copy it held") || store->fileGuard().holdsFileAtPath())
                << qPrintable(told);
        });
    }

    void add(const char *prefix, int count)
    {
        for (int i = 0; i < count; ++i) {
            clock.advance(1000);
            ASSERT_TRUE(store->insertClip(textContent(QStringLiteral("%1 %2").arg(prefix).arg(i))));
        }
    }

    void deleteAgain(CopyStep at)
    {
        if (at != GetParam().step || !std::exchange(armed, false))
            return;
        const auto remove = [this] { EXPECT_TRUE(deleted = QFile::remove(path)); };
        GetParam().afterMs > 0 ? QTimer::singleShot(GetParam().afterMs, &timers, remove) : remove();
    }

    // Saves more, then reads the file at the path as the next start would.
    void expectEveryCopyAtPath()
    {
        add("later", 3);
        store.reset();
        QString error;
        auto container = ModelContainer::open(path, clock.clock(), &error);
        ASSERT_TRUE(container) << qPrintable(error);
        EXPECT_EQ(container->mainContext().clipCount(), 36);
        EXPECT_FALSE(QFile::exists(StoreFileGuard::rewrittenPath(path)));
    }

    bool armed = true;
    bool deleted = false;
    QObject timers;
};

} // namespace

TEST_P(StoreDeletedAgainTest, RightAfterItsCopyIsBackItIsCopiedAgainWithEveryCopy)
{
    store->fileGuard().setStepHook([this](CopyStep step) { deleteAgain(step); });
    ASSERT_TRUE(QFile::remove(path));
    add("new", 3);
    EXPECT_TRUE(test::waitUntil([&] { return deleted && store->fileGuard().holdsFileAtPath(); }, 10000));
    expectEveryCopyAtPath();
}

TEST_P(StoreDeletedAgainTest, RightAfterAFallbackStoreIsCopiedWholeToItsPathItIsCopiedAgainWithEveryCopy)
{
    StoreCaretaker caretaker(*store, PersistenceSetup{nullptr, PersistenceMode::localOnly});
    caretaker.setRetryDelays(10, 40);
    caretaker.start();
    QThreadPool &pool = *QThreadPool::globalInstance();
    const int threads = pool.maxThreadCount();
    pool.setMaxThreadCount(1);
    // No copy fits at the path: the history goes on in a fallback store, whose whole copy back waits.
    ASSERT_TRUE(QDir().mkdir(StoreFileGuard::rewritingPath(path)));
    std::optional<test::PoolBlocker> held;
    QObject::connect(&store->fileGuard(), &StoreFileGuard::copiedToFallback, &timers, [&] {
        held.emplace();
        QDir().rmdir(StoreFileGuard::rewritingPath(path));
    });
    // As the session goes on in the copy back.
    QObject::connect(&store->fileGuard(), &StoreFileGuard::rearmed, &timers, [&] {
        if (store->container().storeURL() == path)
            deleteAgain(CopyStep::connectionClosed);
    });
    ASSERT_TRUE(QFile::remove(path));
    add("new", 3);
    ASSERT_TRUE(test::waitUntil([&] { return held && caretaker.step() != StoreCaretaker::Step::none; }, 10000));
    held->release();
    // No event is handled until the copy has its name: the caretaker hears of it only after this.
    QDeadlineTimer deadline(10000);
    while (!QFile::exists(path) && !deadline.hasExpired())
        QThread::usleep(200);
    deleteAgain(CopyStep::inPlace);
    EXPECT_TRUE(test::waitUntil(
        [&] {
            return deleted && !caretaker.hasLeftStore() && store->fileGuard().holdsFileAtPath()
                && FallbackStore::all(path).isEmpty();
        },
        10000));
    pool.setMaxThreadCount(threads);
    expectEveryCopyAtPath();
}

INSTANTIATE_TEST_SUITE_P(Moments, StoreDeletedAgainTest,
                         ::testing::Values(Again{"AsItTakesThePath", CopyStep::inPlace, 0},
                                           Again{"WhileItIsOpened", CopyStep::connectionClosed, 0},
                                           Again{"FiveMsLater", CopyStep::inPlace, 5},
                                           Again{"ThirtyMsLater", CopyStep::inPlace, 30}),
                         [](const auto &moment) { return std::string(moment.param.name); });
