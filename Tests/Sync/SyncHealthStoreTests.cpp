#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Sync/SyncHealthStore.h"

#include "Support/TestSupport.h"

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
    EXPECT_EQ(integer("syncHealth.auditAdded"), 2);
    EXPECT_FALSE(health.isAuditWindowExpired());

    // A start stamped a week or more in the future (a clock that was set far ahead) would freeze
    // the counters for good; the window starts again.
    clock.advance(-(kWeek + 1) * 1000);
    EXPECT_TRUE(health.isAuditWindowExpired());
    health.recordAdded(1);
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
