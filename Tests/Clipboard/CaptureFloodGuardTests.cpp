#include "Quillmere/Clipboard/CaptureFloodGuard.h"

#include "Support/TestSupport.h"

#include <gtest/gtest.h>
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
        if (verdict.replaced) {
            EXPECT_EQ(run.kept.erase(*verdict.replaced), 1u) << "only a copy of the flood is named";
        }
        if (i % (perSecond / 2) == 0) {
            const QUuid mine = QUuid::createUuid();
            run.person.insert(mine);
            EXPECT_FALSE(guard.admit(QStringLiteral("org.example.Editor"), mine).replaced);
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
    EXPECT_FALSE(guard.admit(QStringLiteral("org.example.Flooder"), QUuid::createUuid()).replaced);
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
        EXPECT_FALSE(verdict.replaced);
        EXPECT_FALSE(verdict.announce);
    }
    EXPECT_FALSE(guard.isFlooding(QStringLiteral("org.example.Editor")));

    // Made a millisecond apart, the same backlog is a flood whenever it is handled.
    clock.advance(60000);
    const QDateTime later = clock.now();
    int replaced = 0;
    for (int i = 0; i < 40; ++i)
        replaced += guard.admit(QStringLiteral("org.example.Flooder"), QUuid::createUuid(), later.addMSecs(i))
                        .replaced.has_value();
    EXPECT_TRUE(guard.isFlooding(QStringLiteral("org.example.Flooder")));
    EXPECT_GT(replaced, 0);
}

} // namespace
