#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Sync/SyncHealthStore.h"

#include "Support/TestSupport.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

constexpr qint64 kWeek = SyncHealthStore::auditWindowSeconds;

class SyncHealthTest : public ::testing::Test {
protected:
    double seconds() const { return clock.now().toMSecsSinceEpoch() / 1000.0; }
    qint64 integer(const char *key) const { return prefs.prefs->integer(QString::fromLatin1(key), -1); }

    test::FakeClock clock;
    test::TempPreferences prefs;
    SyncHealthStore health{*prefs, clock.clock()};
};

} // namespace

TEST_F(SyncHealthTest, FreshDefaultsReadAsNothingAndTheFirstRealRecordStartsTheWindow)
{
    EXPECT_EQ(health.facts(), SyncHealthFacts{});
    EXPECT_EQ(health.auditSummary(), SyncAuditSummary::empty());
    EXPECT_FALSE(health.isAuditWindowExpired());

    health.recordPruned(ClipPruneReason::expired, 0);
    health.recordAdded(-3);
    for (const char *key : {"syncHealth.auditWindowStart", "syncHealth.auditPruned.expired", "syncHealth.auditAdded"})
        EXPECT_FALSE(prefs->contains(key)) << key;

    health.recordAdded(1);
    EXPECT_EQ(prefs->doubleValue("syncHealth.auditWindowStart"), seconds());
    health.flush();
    EXPECT_EQ(integer("syncHealth.auditAdded"), 1);
}

TEST_F(SyncHealthTest, CountersAddUpWithinTheWeekAndRestartAtExactlySevenDays)
{
    health.recordAdded(2);
    health.recordPruned(ClipPruneReason::overLimit, 3);
    health.recordPruned(ClipPruneReason::dedupe, 1);
    clock.advance((kWeek - 1) * 1000);
    health.recordAdded(1);
    health.recordPruned(ClipPruneReason::overLimit, 1);
    SyncAuditSummary expected;
    expected.added = 3;
    expected.prunedByReason = {{ClipPruneReason::overLimit, 4}, {ClipPruneReason::dedupe, 1}};
    EXPECT_EQ(health.auditSummary(), expected);
    health.flush();

    // An expired window reads empty without clearing the counters; the next record starts anew.
    clock.advance(1000);
    EXPECT_TRUE(health.isAuditWindowExpired());
    EXPECT_EQ(health.auditSummary(), SyncAuditSummary::empty());
    EXPECT_EQ(integer("syncHealth.auditAdded"), 3);
    health.recordPruned(ClipPruneReason::expired, 5);
    EXPECT_EQ(prefs->doubleValue("syncHealth.auditWindowStart"), seconds());
    EXPECT_FALSE(prefs->contains("syncHealth.auditAdded"));
    EXPECT_FALSE(prefs->contains("syncHealth.auditPruned.overLimit"));
    expected = {};
    expected.prunedByReason = {{ClipPruneReason::expired, 5}};
    EXPECT_EQ(health.auditSummary(), expected);
}

TEST_F(SyncHealthTest, AClockThatWentBackKeepsTheWindowUnlessTheStartIsAWeekAhead)
{
    health.recordAdded(1);
    clock.advance(-3600 * 1000);
    health.recordAdded(1);
    health.flush();
    EXPECT_EQ(integer("syncHealth.auditAdded"), 2);
    EXPECT_FALSE(health.isAuditWindowExpired());

    // A start stamped a week or more in the future (a clock that was set far ahead) would freeze
    // the counters for good; the window starts again.
    clock.advance(-(kWeek + 1) * 1000);
    EXPECT_TRUE(health.isAuditWindowExpired());
    health.recordAdded(1);
    health.flush();
    EXPECT_EQ(integer("syncHealth.auditAdded"), 1);
    EXPECT_EQ(prefs->doubleValue(QString("syncHealth.auditWindowStart")), seconds());
}

TEST_F(SyncHealthTest, FactsReadStoredDatesWithZeroAsNoneAndCloudKitActivationKeepsTheFirstTime)
{
    health.markCloudKitActive();
    const QDateTime first = clock.now();
    clock.advance(5000);
    health.markCloudKitActive();

    const QDateTime t(QDate(2026, 2, 1), QTime(8, 30), Qt::UTC);
    prefs->setDouble("syncHealth.lastExportFailureAt", t.toMSecsSinceEpoch() / 1000.0);
    prefs->setDouble("syncHealth.lastImportFailureAt", 0);
    prefs->setString("syncHealth.lastFailureMessage", "Quota exceeded");
    const SyncHealthFacts facts = health.facts();
    EXPECT_TRUE(facts.cloudKitActive);
    EXPECT_EQ(facts.firstCloudKitActiveAt, first);
    EXPECT_EQ(facts.lastExportFailureAt, t);
    EXPECT_FALSE(facts.lastImportFailureAt);
    EXPECT_EQ(facts.lastFailureMessage, QString("Quota exceeded"));
    EXPECT_FALSE(facts.lastImportSuccessAt);
}

// Every capture adds to the counter: the preferences file is written once for many of them, a
// stop writes what is pending, and the next start reads it.
TEST_F(SyncHealthTest, CountsAreWrittenInOneBatchAndAStopKeepsThem)
{
    const QString path = prefs.dir.filePath(QStringLiteral("prefs.json"));
    health.recordAdded(1);
    int writes = 0;
    QObject::connect(prefs.prefs.get(), &Preferences::changed,
                     [&](const QString &key) { writes += key == QLatin1String("syncHealth.auditAdded"); });
    for (int i = 0; i < 200; ++i) {
        health.recordAdded(1);
        QCoreApplication::processEvents();
    }
    health.recordPruned(ClipPruneReason::overLimit, 2);
    EXPECT_EQ(writes, 0);
    EXPECT_EQ(health.auditSummary().added, 201);
    ASSERT_TRUE(test::waitUntil([&] { return writes == 1; }, 15000));
    EXPECT_EQ(integer("syncHealth.auditAdded"), 201);
    EXPECT_EQ(integer("syncHealth.auditPruned.overLimit"), 2);

    // Counted after the batch, then a clean stop before the timer fired.
    {
        SyncHealthStore stopping{*prefs, clock.clock()};
        stopping.recordAdded(4);
    }
    ASSERT_TRUE(prefs->sync());
    Preferences reopened(path);
    const SyncHealthStore restarted{reopened, clock.clock()};
    EXPECT_EQ(restarted.auditSummary().added, 205);
    EXPECT_EQ(restarted.auditSummary().prunedByReason.value(ClipPruneReason::overLimit), 2);
}
