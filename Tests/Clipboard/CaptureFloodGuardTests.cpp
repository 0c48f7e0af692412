#include "Quillmere/Clipboard/CaptureFloodGuard.h"

#include "Support/TestSupport.h"

#include <gtest/gtest.h>
#include <random>
#include <set>

using namespace quillmere;
using namespace quillmere::test;

namespace {

// Copies kept of `changes` from one source at `perSecond`, beside a person's at 2 a second.
struct FloodRun {
    std::set<QUuid> kept;
    std::set<QUuid> person;
    int announced = 0;
};

FloodRun flood(FakeClock &clock, CaptureFloodGuard &guard, int perSecond, int changes)
{
    FloodRun run;
    const qint64 step = 1000000 / perSecond; // microseconds
    qint64 elapsedUs = 0;
    for (int i = 0; i < changes; ++i) {
        const qint64 next = elapsedUs + step;
        clock.advance(next / 1000 - elapsedUs / 1000);
        elapsedUs = next;
        const QUuid id = QUuid::createUuid();
        run.kept.insert(id);
        const auto verdict = guard.admit(QStringLiteral("org.example.Flooder"), id);
        run.announced += verdict.announce;
        for (const QUuid &replaced : verdict.replaced)
            EXPECT_EQ(run.kept.erase(replaced), 1u) << "only a copy of the flood is named";
        if (i % (perSecond / 2) == 0) {
            const QUuid mine = QUuid::createUuid();
            run.person.insert(mine);
            EXPECT_TRUE(guard.admit(QStringLiteral("org.example.Editor"), mine).replaced.empty());
        }
    }
    return run;
}

TEST(CaptureFloodGuard, AFloodKeepsItsNewestCopyPerSlotAndSaysSoOnce)
{
    FakeClock clock;
    CaptureFloodGuard guard(clock.clock());
    const FloodRun run = flood(clock, guard, 1000, 2000);
    // The first second's allowance, then one per 100 ms for the two seconds.
    EXPECT_LE(run.kept.size(), size_t(CaptureFloodGuard::floodRate + 2 * 10 + 2));
    EXPECT_GE(run.kept.size(), size_t(20));
    EXPECT_EQ(run.announced, 1);
    EXPECT_TRUE(guard.isFlooding(QStringLiteral("org.example.Flooder")));
    EXPECT_FALSE(guard.isFlooding(QStringLiteral("org.example.Editor")));

    // After a pause the same program copies like anyone; a new flood is told again.
    clock.advance(2000);
    EXPECT_TRUE(guard.admit(QStringLiteral("org.example.Flooder"), QUuid::createUuid()).replaced.empty());
    EXPECT_FALSE(guard.isFlooding(QStringLiteral("org.example.Flooder")));
    EXPECT_EQ(flood(clock, guard, 500, 1000).announced, 1);
}

TEST(CaptureFloodGuard, QuickButHumanCopyingIsNeverThinned)
{
    FakeClock clock;
    CaptureFloodGuard guard(clock.clock());
    // Twenty a second is the most a person manages: all kept.
    const FloodRun run = flood(clock, guard, 20, 200);
    EXPECT_EQ(run.kept.size(), 200u);
    EXPECT_EQ(run.announced, 0);
}

TEST(CaptureFloodGuard, OnlyASourceOverTheRateForAWholeSecondIsThinned)
{
    FakeClock clock;
    CaptureFloodGuard guard(clock.clock());
    const QDateTime start = clock.now();
    std::mt19937 random(20);
    // Twenty a second, each copy up to 20 ms early or late: some seconds hold 21, none is a flood.
    std::uniform_int_distribution<int> jitter(-20, 20);
    for (int i = 0; i < 1200; ++i) {
        const auto verdict = guard.admit(QStringLiteral("org.example.Ticker"), QUuid::createUuid(),
                                         start.addMSecs(50 * i + jitter(random)));
        ASSERT_TRUE(verdict.replaced.empty()) << "copy " << i;
        ASSERT_FALSE(verdict.announce);
    }

    // Thirty a second for three seconds is one: its first second is thinned once it is known.
    std::set<QUuid> kept;
    int announced = 0;
    const QDateTime later = start.addSecs(120);
    for (int i = 0; i < 90; ++i) {
        const QUuid id = QUuid::createUuid();
        kept.insert(id);
        const auto verdict = guard.admit(QStringLiteral("org.example.Ticker"), id, later.addMSecs(33 * i));
        announced += verdict.announce;
        for (const QUuid &replaced : verdict.replaced)
            EXPECT_EQ(kept.erase(replaced), 1u);
    }
    EXPECT_EQ(announced, 1);
    // The first second's twenty, then one per 100 ms.
    EXPECT_LE(kept.size(), size_t(CaptureFloodGuard::floodRate + 3 * 10 + 1));
    EXPECT_GE(kept.size(), size_t(CaptureFloodGuard::floodRate + 2 * 10));
}

TEST(CaptureFloodGuard, CopiesJudgedByWhenTheyWereMadeNotWhenTheyWereHandled)
{
    FakeClock clock;
    CaptureFloodGuard guard(clock.clock());
    const QDateTime start = clock.now();
    // A busy main thread hands forty copies made 200 ms apart over in one go: a person's pace.
    std::set<QUuid> kept;
    for (int i = 0; i < 40; ++i) {
        const QUuid id = QUuid::createUuid();
        kept.insert(id);
        const auto verdict = guard.admit(QStringLiteral("org.example.Editor"), id, start.addMSecs(200 * i));
        EXPECT_TRUE(verdict.replaced.empty());
        EXPECT_FALSE(verdict.announce);
    }
    EXPECT_FALSE(guard.isFlooding(QStringLiteral("org.example.Editor")));

    // Made a millisecond apart for two seconds, a backlog is a flood whenever it is handled.
    clock.advance(60000);
    const QDateTime later = clock.now();
    size_t replaced = 0;
    for (int i = 0; i < 2000; ++i)
        replaced +=
            guard.admit(QStringLiteral("org.example.Flooder"), QUuid::createUuid(), later.addMSecs(i)).replaced.size();
    EXPECT_TRUE(guard.isFlooding(QStringLiteral("org.example.Flooder")));
    EXPECT_GT(replaced, 0);
}

} // namespace
