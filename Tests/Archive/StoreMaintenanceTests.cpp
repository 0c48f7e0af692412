#include "Support/GoldenFiles.h"
#include "Support/PagesFixture.h"

#include "Quillmere/Archive/StoreMaintenance.h"

#include <QDir>
#include <QTest>
#include <QThreadPool>

using namespace quillmere;
using quillmere::test::StoreFixture;

namespace {

std::vector<ClipFact> waitForFacts(const ClipStore &store, int batchSize)
{
    QObject receiver;
    std::optional<std::vector<ClipFact>> facts;
    storageFacts(store, batchSize, &receiver, [&](std::vector<ClipFact> result) { facts = std::move(result); });
    EXPECT_FALSE(facts) << "delivered before returning to the event loop";
    EXPECT_TRUE(QTest::qWaitFor([&] { return facts.has_value(); }, 10000));
    return facts.value_or(std::vector<ClipFact>{});
}

} // namespace

TEST(StoreMaintenance, CapturesCountFromTheCutoffOn)
{
    StoreFixture f;
    f.putText("one");
    const QDateTime cutoff = f.putText("two")->createdAt();
    f.putText("three");
    EXPECT_EQ(countClips(*f.store, cutoff), 2);
    EXPECT_EQ(countClips(*f.store, cutoff.addMSecs(1)), 1);
}

TEST(StoreMaintenance, FootprintCountsTheStoreItsCompanionsAndSupportFolder)
{
    StoreFixture memory;
    EXPECT_EQ(storeFootprintBytes(*memory.store), 0);

    QTemporaryDir dir;
    const QString store = dir.filePath("default.store");
    EXPECT_EQ(storagestats::onDiskBytes(store), 0);
    test::writeBytes(store, QByteArray(1000, 's'));
    EXPECT_EQ(storagestats::onDiskBytes(store), 1000);
    test::writeBytes(store + "-wal", QByteArray(200, 'w'));
    test::writeBytes(store + "-shm", QByteArray(30, 'm'));
    const QString support = dir.filePath(".default.store_SUPPORT");
    ASSERT_TRUE(QDir().mkpath(support + "/a/.hidden"));
    test::writeBytes(support + "/top", QByteArray(4, 't'));
    test::writeBytes(support + "/a/.hidden/deep", QByteArray(5, 'd'));
    test::writeBytes(dir.filePath("unrelated"), QByteArray(99999, 'u'));
    EXPECT_EQ(storagestats::onDiskBytes(store), 1000 + 200 + 30 + 4 + 5);

    StoreFixture disk(true);
    disk.putText("something");
    EXPECT_EQ(storeFootprintBytes(*disk.store), storagestats::onDiskBytes(disk.path));
    EXPECT_GT(storeFootprintBytes(*disk.store), QFileInfo(disk.path).size());
}

TEST(StoreMaintenance, FactsAreReadInBatchesOffTheMainThreadNewestFirst)
{
    StoreFixture f(true);
    PageRef unnamed = f.store->createPage(QString());
    CapturedContent both = StoreFixture::textContent(QString::fromUtf8("\xC3\xA9")); // two UTF-8 bytes
    both.imageData = QByteArray(300, 'i');
    both.fileData = QByteArray(40, 'f');
    both.recognizedText = QStringLiteral("not counted");
    ClipRef heavy = f.put(both);
    f.store->assignClip(heavy, unnamed);
    for (int i = 0; i < 150; ++i)
        f.putText(QStringLiteral("clip %1").arg(i));

    const auto facts = waitForFacts(*f.store, 150);
    ASSERT_EQ(facts.size(), 151u);
    EXPECT_EQ(facts.front().preview, "clip 149");
    const ClipFact &last = facts.back();
    EXPECT_EQ(last.id, heavy->dedupID());
    EXPECT_EQ(last.byteCount, 300 + 40 + 2);
    EXPECT_EQ(last.pageName, QString("Untitled"));
    EXPECT_EQ(last.contentHash, heavy->contentHash());
    EXPECT_EQ(last, ClipFact::from(*heavy));

    // Exactly one batch's worth reads completely too.
    EXPECT_EQ(ClipFact::fetchAll(f.path, 151).size(), 151u);
    EXPECT_EQ(ClipFact::fetchAll(f.path, 1).size(), 151u);
}

TEST(StoreMaintenance, FactsOfAStoreInMemoryAndAReceiverThatGoesAway)
{
    StoreFixture memory;
    memory.putText("only");
    const auto facts = waitForFacts(*memory.store, 150);
    ASSERT_EQ(facts.size(), 1u);
    EXPECT_EQ(facts[0].preview, "only");

    StoreFixture disk(true);
    disk.putText("x");
    bool called = false; // the receiver is gone as soon as the call returns
    storageFacts(*disk.store, 150, std::make_unique<QObject>().get(), [&](std::vector<ClipFact>) { called = true; });
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    EXPECT_FALSE(called);
}
