#include "Quillmere/Platform/Core/NotificationCenter.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/Notices.h"
#include "Quillmere/Sync/CloudSyncStatus.h"
#include "Quillmere/Sync/SyncHealth.h"

#include "Support/TestSupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

class CloudSyncStatusTest : public ::testing::Test {
protected:
    std::unique_ptr<CloudSyncStatus> make(PersistenceMode mode, bool probes = true, ClipStore *store = nullptr)
    {
        CloudSyncStatus::Dependencies deps;
        deps.store = store;
        deps.health = &health;
        deps.notifications = &notifications;
        deps.clock = clock.clock();
        deps.accountStatus = [this](const QString &) {
            ++accountChecks;
            return account;
        };
        auto status = std::make_unique<CloudSyncStatus>(mode, probes, deps);
        notifications.addObserver(Notices::cloudImportDidSucceed, status.get(),
                                  [this](const Notification &) { ++importNotices; });
        return status;
    }
    SyncEvent event(SyncEvent::Type type, std::optional<bool> succeeded, std::optional<QString> error = {})
    {
        SyncEvent e{type, clock.now(), std::nullopt, false, error};
        if (succeeded) {
            e.endDate = clock.now();
            e.succeeded = *succeeded;
        }
        return e;
    }

    FakeClock clock;
    TempPreferences prefs;
    SyncHealthStore health{*prefs, clock.clock()};
    NotificationCenter notifications;
    CloudSyncStatus::AccountAnswer account{CloudSyncStatus::AccountStatus::available, {}};
    int accountChecks = 0;
    int importNotices = 0;
};

TEST_F(CloudSyncStatusTest, ModesGiveTheirStatesAndOnlyTheFolderModeProbes)
{
    auto local = make(PersistenceMode::localOnly);
    auto memory = make(PersistenceMode::inMemory);
    local->handleEvent(event(SyncEvent::Type::import, false, QStringLiteral("boom")));
    QTest::qWait(0);
    EXPECT_EQ(local->state(), CloudSyncStatus::State::localOnly);
    EXPECT_EQ(local->statusText(), QStringLiteral("Sync is off: no sync folder is chosen (Settings \u2192 Sync)"));
    EXPECT_EQ(memory->statusText(), QStringLiteral("Storage unavailable \u2014 history will NOT survive relaunch"));
    EXPECT_FALSE(local->lastSyncFailure());
    EXPECT_EQ(accountChecks, 0);
    EXPECT_FALSE(health.facts().cloudKitActive);

    auto cloud = make(PersistenceMode::cloudKit);
    EXPECT_EQ(cloud->state(), CloudSyncStatus::State::syncing);
    EXPECT_EQ(cloud->statusText(), QStringLiteral("Sync is on: the history goes through the sync folder"));
    EXPECT_EQ(cloud->lastCheckedText(), QStringLiteral("Not checked yet"));
    EXPECT_TRUE(health.facts().cloudKitActive);
    ASSERT_TRUE(waitUntil([&] { return accountChecks == 1; }));
    EXPECT_TRUE(cloud->lastCheckedText().startsWith(QStringLiteral("Checked ")));
}

TEST_F(CloudSyncStatusTest, InFlightCountsNeverGoBelowZero)
{
    auto status = make(PersistenceMode::cloudKit);
    status->handleEvent(event(SyncEvent::Type::import, std::nullopt));
    status->handleEvent(event(SyncEvent::Type::import, std::nullopt));
    status->handleEvent(event(SyncEvent::Type::import, true));
    EXPECT_TRUE(status->isImporting());
    status->handleEvent(event(SyncEvent::Type::import, true));
    EXPECT_FALSE(status->isImporting());
    status->handleEvent(event(SyncEvent::Type::import, true));
    status->handleEvent(event(SyncEvent::Type::import, std::nullopt));
    EXPECT_TRUE(status->isImporting());
    EXPECT_EQ(importNotices, 3);
}

TEST_F(CloudSyncStatusTest, FailuresClearAsTheirEventsSucceedAndArePersisted)
{
    auto status = make(PersistenceMode::cloudKit);
    status->handleEvent(event(SyncEvent::Type::export_, false, QStringLiteral("disk gone")));
    EXPECT_EQ(status->statusText(), QStringLiteral("Sync error: disk gone"));
    EXPECT_EQ(health.facts().lastFailureMessage, QStringLiteral("disk gone"));
    status->handleEvent(event(SyncEvent::Type::import, true));
    EXPECT_FALSE(status->lastSyncFailure());
    EXPECT_EQ(importNotices, 1);
    EXPECT_EQ(health.facts().lastImportSuccessAt, clock.now());

    // A successful export does not clear an import failure.
    status->handleEvent(event(SyncEvent::Type::import, false, QStringLiteral("bad file")));
    status->handleEvent(event(SyncEvent::Type::export_, true));
    EXPECT_EQ(status->statusText(), QStringLiteral("Sync error: bad file"));

    // A failure without a message: "Unknown error" shown, the stored message removed.
    status->handleEvent(event(SyncEvent::Type::export_, false));
    EXPECT_EQ(status->lastSyncFailure()->message, QStringLiteral("Unknown error"));
    EXPECT_FALSE(health.facts().lastFailureMessage);

    // Setup failures show but are not persisted.
    clock.advance(60000);
    status->handleEvent(event(SyncEvent::Type::setup, false, QStringLiteral("no folder")));
    EXPECT_EQ(status->lastSyncFailure()->eventType, CloudSyncStatus::EventType::setup);
    EXPECT_NE(health.facts().lastExportFailureAt, clock.now());
}

TEST_F(CloudSyncStatusTest, AMissingFolderReadsAsSignedOutWithTheFailureKept)
{
    account = {CloudSyncStatus::AccountStatus::noAccount, {}};
    auto status = make(PersistenceMode::cloudKit);
    status->handleEvent(event(SyncEvent::Type::export_, false, QStringLiteral("gone")));
    ASSERT_TRUE(waitUntil([&] { return status->state() == CloudSyncStatus::State::noAccount; }));
    EXPECT_FALSE(status->hasSyncError());
    EXPECT_TRUE(status->lastSyncFailure());
    EXPECT_EQ(status->statusText(),
              QStringLiteral("The sync folder cannot be reached \u2014 items stay on this computer until it can"));

    account = {CloudSyncStatus::AccountStatus::available, {}};
    status->accountChanged();
    EXPECT_FALSE(status->lastSyncFailure());
    ASSERT_TRUE(waitUntil([&] { return status->state() == CloudSyncStatus::State::syncing; }));
}

// "Not saved" is said of a history in memory and of nothing else: a start in memory whose store
// file was read back later (a repair at the start), or a store file left for memory meanwhile.
TEST_F(CloudSyncStatusTest, TheStateFollowsWhereTheHistoryIsKept)
{
    QTemporaryDir dir;
    QString error;
    const auto open = [&](const QString &path) {
        return std::shared_ptr<ModelContainer>(ModelContainer::open(path, clock.clock(), &error).release());
    };
    ClipStore store(open({}), {prefs.prefs.get(), &notifications, clock.clock()});
    auto status = make(PersistenceMode::inMemory, true, &store);
    EXPECT_EQ(status->state(), CloudSyncStatus::State::ephemeral);
    QSignalSpy changed(status.get(), &CloudSyncStatus::changed);
    store.moveHistoryTo(open(dir.filePath("read-back.store")));
    EXPECT_EQ(status->state(), CloudSyncStatus::State::localOnly) << "a history saved to its file is saved";
    EXPECT_EQ(changed.size(), 1);

    store.switchToContainer(open({}));
    EXPECT_EQ(status->state(), CloudSyncStatus::State::ephemeral);
    EXPECT_EQ(status->statusText(), QStringLiteral("Storage unavailable \u2014 history will NOT survive relaunch"));
    EXPECT_EQ(changed.size(), 2);
}

TEST(SyncHealthEvaluationTest, VerdictFollowsStateAndErrorNotAStaleMessage)
{
    SyncHealthFacts facts;
    facts.lastFailureMessage = QStringLiteral("old");
    using S = CloudSyncStatus::State;
    const auto critical = SyncHealth::evaluate(S::ephemeral, false, facts, {}, 0, 0);
    EXPECT_EQ(critical.level, SyncHealthLevel::critical);
    EXPECT_FALSE(critical.failureReason);
    EXPECT_EQ(SyncHealth::evaluate(S::syncing, true, facts, {}, 0, 0).failureReason, QStringLiteral("old"));
    EXPECT_EQ(SyncHealth::evaluate(S::syncing, true, facts, {}, 0, 0).level, SyncHealthLevel::warning);
    EXPECT_EQ(SyncHealth::evaluate(S::localOnly, false, facts, {}, 0, 0).level, SyncHealthLevel::warning);
    const auto healthy = SyncHealth::evaluate(S::syncing, false, facts, {}, 0, 0);
    EXPECT_EQ(healthy.level, SyncHealthLevel::healthy);
    EXPECT_FALSE(healthy.failureReason);
}

TEST(SyncHealthEvaluationTest, LinesReadAsTheRowShowsThem)
{
    const QDateTime now(QDate(2026, 3, 2), QTime(12, 0), Qt::UTC);
    SyncHealthFacts facts;
    SyncHealth h = SyncHealth::evaluate(CloudSyncStatus::State::syncing, false, facts, {}, 0, 0);
    EXPECT_EQ(h.lastSyncedText(now), QStringLiteral("Last synced: never"));
    EXPECT_EQ(h.roundTripText(now), QStringLiteral("Round-trip: not verified yet"));
    facts.lastExportSuccessAt = now.addDays(-1);
    facts.lastImportSuccessAt = now.addSecs(-3 * 3600);
    facts.lastVerifiedAt = now.addSecs(-5 * 60);
    h = SyncHealth::evaluate(CloudSyncStatus::State::syncing, false, facts, {}, 0, 0);
    EXPECT_EQ(h.lastSyncedText(now), QStringLiteral("Last synced: 3 hours ago"));
    EXPECT_EQ(h.roundTripText(now), QStringLiteral("Round-trip verified: 5 minutes ago \u2713"));
    facts.lastImportSuccessAt.reset();
    EXPECT_EQ(SyncHealth::lastSyncedAtFrom(facts), now.addDays(-1));

    h.audit.added = 3;
    EXPECT_EQ(h.auditText(), QStringLiteral("3 added \u00b7 0 removed this week"));
    h.audit.prunedByReason = {
        {ClipPruneReason::dedupe, 2}, {ClipPruneReason::expired, 4}, {ClipPruneReason::overLimit, 5}};
    EXPECT_EQ(h.auditText(), QStringLiteral("3 added \u00b7 11 removed (limit 5, expired 4, dupes 2) this week"));
}

TEST(SyncStoreModeTest, ASetFolderOpensTheLocalStoreInFolderMode)
{
    QTemporaryDir dir;
    PersistenceOptions options;
    options.storePath = dir.filePath(QStringLiteral("a.store"));
    EXPECT_EQ(ModelContainerFactory::makeSetup(options).mode, PersistenceMode::localOnly);
    options.storePath = dir.filePath(QStringLiteral("b.store"));
    options.syncFolder = dir.filePath(QStringLiteral("not mounted yet"));
    const PersistenceSetup setup = ModelContainerFactory::makeSetup(options);
    EXPECT_EQ(setup.mode, PersistenceMode::cloudKit);
    EXPECT_EQ(setup.container->storeURL(), options.storePath);
}

} // namespace
