#include "Quillmere/Sync/SyncSelfTest.h"

#include "SyncTestDevice.h"

#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

const QString originA = QStringLiteral("Linux alpha (1a2b3c)");
const QString originB = QStringLiteral("Linux beta (4d5e6f)");

int probesFrom(SyncDevice &device, const QString &origin)
{
    int n = 0;
    for (const ClipRef &probe : SyncProbes::fetchSyncProbes(*device.store, 100))
        n += SyncProbes::syncProbeOrigin(*probe) == origin;
    return n;
}

class SyncAnswerTest : public ::testing::Test {
protected:
    SyncAnswerTest()
    {
        SyncProbes::answerImportedProbes(*a.engine, *a.store, originA);
        SyncProbes::answerImportedProbes(*b.engine, *b.store, originB);
        a.health.markCloudKitActive();
        EXPECT_TRUE(a.engine->start() && b.engine->start());
    }
    // Starts a check on A; polls every 20 ms of real time, the deadline on the fake clock.
    std::unique_ptr<QSignalSpy> verifyOnA(SyncRoundTrip &check)
    {
        auto done = std::make_unique<QSignalSpy>(&check, &SyncRoundTrip::finished);
        check.verify(originA, clock.clock(), 20, 0.02);
        return done;
    }
    SyncVerificationResult result(QSignalSpy &done)
    {
        EXPECT_TRUE(waitUntil([&] { return !done.isEmpty(); }, 5000));
        return done.isEmpty() ? SyncVerificationResult{} : done.front().front().value<SyncVerificationResult>();
    }

    QTemporaryDir root;
    FakeClock clock;
    SyncDevice a{root.path(), QStringLiteral("device-a"), clock};
    SyncDevice b{root.path(), QStringLiteral("device-b"), clock};
};

TEST_F(SyncAnswerTest, OriginsAreDistinctPerDeviceAndReadBack)
{
    const QString one = SyncProbes::deviceOrigin(QStringLiteral("alpha"), QStringLiteral("1a2b3c4d-0000"));
    EXPECT_EQ(one, QStringLiteral("Linux alpha (1a2b3c)"));
    EXPECT_NE(one, SyncProbes::deviceOrigin(QStringLiteral("alpha"), QStringLiteral("9f8e7d6c-0000")));
    EXPECT_EQ(SyncProbes::deviceOrigin(QString(), QStringLiteral("1a2b3c4d")), QStringLiteral("Linux 1a2b3c"));
    const ClipRef probe = SyncProbes::insertSyncProbe(*a.store, one, QStringLiteral("ABC"));
    EXPECT_EQ(SyncProbes::syncProbeOrigin(*probe), one);
    EXPECT_EQ(SyncProbes::probeField(*probe, SyncProbes::answerField), QStringLiteral("ABC"));
    EXPECT_TRUE(probe->text()->startsWith(SyncProbes::title + QStringLiteral("\nOrigin: ") + one + "\n"));
}

TEST_F(SyncAnswerTest, VerifyOnOneLinuxMachineSucceedsOnceTheOtherAnswersAndNobodyAnswersAnAnswer)
{
    SyncRoundTrip check(*a.store, a.health);
    auto done = verifyOnA(check);
    ASSERT_TRUE(carry(a, b));
    EXPECT_EQ(probesFrom(b, originB), 1);
    ASSERT_TRUE(carry(b, a));
    const SyncVerificationResult ok = result(*done);
    EXPECT_EQ(ok.kind, SyncVerificationResult::Case::verified);
    EXPECT_EQ(a.health.facts().lastVerifiedAt, ok.at);

    // The answer went back and forth: neither side answers it, nor the first clip again.
    ASSERT_TRUE(carry(a, b) && carry(b, a) && carry(a, b));
    for (SyncDevice *device : {&a, &b}) {
        EXPECT_EQ(probesFrom(*device, originA), 1);
        EXPECT_EQ(probesFrom(*device, originB), 1);
    }
}

TEST_F(SyncAnswerTest, WithoutAnAnswerTheCheckTimesOutAndOldTestClipsStayUnanswered)
{
    SyncProbes::insertSyncProbe(*a.store, originA);
    clock.advance((SyncProbes::answerWindowSeconds + 1) * 1000);
    ASSERT_TRUE(carry(a, b));
    EXPECT_EQ(probesFrom(b, originB), 0);

    b.engine->stop();
    SyncRoundTrip check(*a.store, a.health);
    auto done = verifyOnA(check);
    ASSERT_TRUE(a.exportNow());
    QTest::qWait(100);
    EXPECT_TRUE(done->isEmpty());
    clock.advance(20000);
    EXPECT_EQ(result(*done).kind, SyncVerificationResult::Case::timedOut);
    EXPECT_FALSE(a.health.facts().lastVerifiedAt);
}

} // namespace
