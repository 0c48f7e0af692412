// A peer's folder written by hand, as an attacker would: every read is bounded, every record
// checked, and the main thread keeps answering.
#include "SyncTestDevice.h"

#include "Quillmere/Model/StoreReader.h"
#include "Quillmere/Sync/SyncFolder.h"
#include "Quillmere/Sync/SyncTransfer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThreadPool>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

const QString kPeer = QStringLiteral("device-cccc");
const QString kUs = QStringLiteral("device-aaaa");

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

class HostileFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(us.engine->start() && us.settle());
        QString error;
        ASSERT_TRUE(SyncFolder::prepareDevice(root, kPeer, &error)) << qPrintable(error);
    }

    qint64 nowMs() const { return clock.now().toMSecsSinceEpoch(); }
    QJsonObject clip(const QString &text, qint64 modifiedAt,
                     const QString &id = QUuid::createUuid().toString(QUuid::WithoutBraces))
    {
        return {{QStringLiteral("type"), QStringLiteral("ClipItem")},
                {QStringLiteral("id"), id},
                {QStringLiteral("modifiedAt"), double(modifiedAt)},
                {QStringLiteral("fields"),
                 QJsonObject{{QStringLiteral("createdAt"), double(nowMs())},
                             {QStringLiteral("kind"), QStringLiteral("text")},
                             {QStringLiteral("text"), text},
                             {QStringLiteral("contentHash"), text}}}};
    }
    // A picture clip whose bytes are the blob named `hash`.
    QJsonObject picture(const QString &text, const QString &hash)
    {
        QJsonObject record = clip(text, nowMs());
        QJsonObject fields = record.value(QStringLiteral("fields")).toObject();
        fields.insert(QStringLiteral("kind"), QStringLiteral("image"));
        fields.insert(QStringLiteral("image"), hash);
        record.insert(QStringLiteral("fields"), fields);
        return record;
    }
    QByteArray changeFile(qint64 number, const QJsonArray &records) const
    {
        return QJsonDocument(QJsonObject{{QStringLiteral("format"), 1},
                                         {QStringLiteral("device"), kPeer},
                                         {QStringLiteral("number"), double(number)},
                                         {QStringLiteral("records"), records}})
            .toJson(QJsonDocument::Compact);
    }
    void write(qint64 number, const QJsonArray &records) const
    {
        QString error;
        ASSERT_TRUE(SyncFolder::writeFileAtomically(SyncFolder::changePath(root, kPeer, number),
                                                    changeFile(number, records), &error));
    }
    // Imports while a 1 ms timer measures the longest the event loop went unanswered.
    qint64 importMeasuringStall(int timeoutMs = 60000)
    {
        QElapsedTimer since;
        qint64 longest = 0;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] { longest = std::max(longest, since.restart()); });
        since.start();
        tick.start(1);
        us.engine->scheduleImport();
        EXPECT_TRUE(waitUntil([this] { return us.engine->isIdle(); }, timeoutMs));
        return longest;
    }
    QString progressRow() { return SyncBookkeeping(us.store->context()).meta(QStringLiteral("import.progress")); }

    QTemporaryDir shared;
    QString root = shared.path();
    FakeClock clock;
    SyncDevice us{root, kUs, clock};
};

TEST_F(HostileFolderTest, AFarNumberIsJumpedNotEnumeratedAndItsClipArrives)
{
    write(1, {clip(QStringLiteral("one"), nowMs())});
    write(5000000000LL, {clip(QStringLiteral("far ahead"), nowMs())});
    const qint64 before = residentKiB();
    QElapsedTimer took;
    took.start();
    const qint64 stall = importMeasuringStall();
    EXPECT_LT(took.elapsed(), 10000);
    EXPECT_LT(stall, 1000);
    EXPECT_TRUE(us.clip(QStringLiteral("one")));
    EXPECT_TRUE(us.clip(QStringLiteral("far ahead")));
    EXPECT_LT(progressRow().size(), 1000) << qPrintable(progressRow().left(200));
    EXPECT_LT(residentKiB() - before, 100 * 1024);
    // Ids spelt the peer's way are still its records: nothing goes back out as ours.
    ASSERT_TRUE(us.exportNow());
    QByteArray ours;
    for (qint64 n : SyncFolder::changeNumbers(root, kUs)) {
        QFile f(SyncFolder::changePath(root, kUs, n));
        if (f.open(QIODevice::ReadOnly))
            ours += f.readAll();
    }
    EXPECT_FALSE(ours.contains("far ahead"));

    // A file within the window after a gap waits for the numbers between, and only for those.
    write(5000000010LL, {clip(QStringLiteral("after a small gap"), nowMs())});
    ASSERT_TRUE(us.importNow());
    EXPECT_TRUE(us.clip(QStringLiteral("after a small gap")));
    EXPECT_LT(progressRow().size(), 1000);
}

TEST_F(HostileFolderTest, FifosAndOversizedFilesAreTurnedDownWithoutWaiting)
{
    const QString changes = SyncFolder::devicePath(root, kPeer) + QStringLiteral("/changes/");
    ASSERT_EQ(::mkfifo(QFile::encodeName(SyncFolder::changePath(root, kPeer, 1)).constData(), 0600), 0);
    // A record naming a blob that is a FIFO, and one naming a blob larger than a local copy may be.
    const QString fifoHash = QString(64, QLatin1Char('a'));
    ASSERT_EQ(::mkfifo(QFile::encodeName(SyncFolder::blobPath(root, kPeer, fifoHash)).constData(), 0600), 0);
    QJsonObject viaFifo = clip(QStringLiteral("fifo blob"), nowMs());
    QJsonObject fields = viaFifo.value(QStringLiteral("fields")).toObject();
    fields.insert(QStringLiteral("kind"), QStringLiteral("image"));
    fields.insert(QStringLiteral("image"), fifoHash);
    viaFifo.insert(QStringLiteral("fields"), fields);
    QByteArray big(SyncFolder::maxBlobBytes + 1, 'x');
    const QString bigHash = SyncFolder::sha256Hex(big);
    QString error;
    ASSERT_TRUE(SyncFolder::writeFileAtomically(SyncFolder::blobPath(root, kPeer, bigHash), big, &error));
    big.clear();
    QJsonObject viaBig = clip(QStringLiteral("big blob"), nowMs());
    fields.insert(QStringLiteral("image"), bigHash);
    viaBig.insert(QStringLiteral("fields"), fields);
    write(2, {viaFifo, viaBig, clip(QStringLiteral("plain"), nowMs())});
    // A change file past the size bound, made sparse so the test writes nothing much.
    QFile huge(SyncFolder::changePath(root, kPeer, 3));
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly) && huge.resize(SyncFolder::maxChangeFileBytes + 1));
    huge.close();
    write(4, {clip(QStringLiteral("after the big one"), nowMs())});

    QElapsedTimer took;
    took.start();
    ASSERT_TRUE(us.importNow());
    EXPECT_LT(took.elapsed(), 10000);
    EXPECT_TRUE(us.clip(QStringLiteral("plain")));
    EXPECT_TRUE(us.clip(QStringLiteral("after the big one")));
    EXPECT_FALSE(us.clip(QStringLiteral("fifo blob")));
    EXPECT_FALSE(us.clip(QStringLiteral("big blob")));
    // Stopping with the FIFO still there does not hold the pool.
    us.engine->scheduleImport();
    us.engine->stop();
    EXPECT_TRUE(QThreadPool::globalInstance()->waitForDone(5000));
}

TEST_F(HostileFolderTest, OneFileNamingManyLargeBlobsIsReadWithinEachPassBudget)
{
    // Twelve blobs of 1 MiB in one small change file, and a pass that may hold 3.5 MiB. The second
    // blob comes late.
    constexpr int count = 12;
    constexpr qint64 blobBytes = 1 << 20;
    QJsonArray records;
    QString late;
    for (int i = 0; i < count; ++i) {
        const QByteArray blob(blobBytes, char('a' + i));
        const QString hash = SyncFolder::sha256Hex(blob);
        QString error;
        if (i == 1)
            late = hash;
        else
            ASSERT_TRUE(SyncFolder::writeFileAtomically(SyncFolder::blobPath(root, kPeer, hash), blob, &error));
        records.append(picture(QStringLiteral("image %1").arg(i), hash));
    }
    write(1, records);

    ImportJob job{root, kUs, {}, 3 * blobBytes + blobBytes / 2};
    QStringList arrived;
    int passes = 0;
    auto importAll = [&] {
        for (bool more = true; more && passes < 4 * count; ++passes) {
            const ImportResult result = runImport(job);
            ASSERT_TRUE(result.ok);
            qint64 held = 0;
            for (const ImportBatch &batch : result.batches) {
                for (const SyncRecord &r : batch.records) {
                    arrived << r.fields.value(QStringLiteral("text")).toString();
                    for (const QByteArray &blob : r.blobs)
                        held += blob.size();
                }
                job.progress.insert(batch.device, batch.progress);
            }
            EXPECT_LE(held, job.maxBytesPerPass) << "pass " << passes;
            EXPECT_GT(held, 0) << "every pass gets somewhere";
            more = result.more;
        }
    };
    importAll();
    EXPECT_GE(passes, 4);
    QStringList expected;
    for (int i = 0; i < count; ++i)
        if (i != 1)
            expected << QStringLiteral("image %1").arg(i);
    EXPECT_EQ(arrived, expected);
    // The file waits for the late blob, and is read whole again once it is there.
    EXPECT_TRUE(job.progress.value(kPeer).pending.contains(1));
    QString error;
    ASSERT_TRUE(
        SyncFolder::writeFileAtomically(SyncFolder::blobPath(root, kPeer, late), QByteArray(blobBytes, 'b'), &error));
    arrived.clear();
    importAll();
    EXPECT_TRUE(arrived.contains(QStringLiteral("image 1"))) << qPrintable(arrived.join(u','));
    EXPECT_FALSE(job.progress.value(kPeer).pending.contains(1));
}

TEST_F(HostileFolderTest, LargePicturesAreSavedASliceEachSoNoTurnOfTheLoopSavesThemAll)
{
    constexpr int count = 6;
    const qint64 blobBytes = SyncEngine::sliceBytes + 1;
    QJsonArray records;
    for (int i = 0; i < count; ++i) {
        const QByteArray blob(blobBytes, char('a' + i));
        const QString hash = SyncFolder::sha256Hex(blob);
        QString error;
        ASSERT_TRUE(SyncFolder::writeFileAtomically(SyncFolder::blobPath(root, kPeer, hash), blob, &error));
        records.append(picture(QStringLiteral("picture %1").arg(i), hash));
    }
    write(1, records);
    // What each turn of the event loop added to the history.
    int seen = us.store->context().clipCount();
    int largestStep = 0;
    QTimer turn;
    QObject::connect(&turn, &QTimer::timeout, [&] {
        const int now = us.store->context().clipCount();
        largestStep = std::max(largestStep, now - seen);
        seen = now;
    });
    turn.start(0);
    us.engine->scheduleImport();
    EXPECT_TRUE(waitUntil([this] { return us.engine->isIdle() && us.clip(QStringLiteral("picture 5")); }, 60000));
    EXPECT_EQ(largestStep, 1);
}

TEST_F(HostileFolderTest, APeerCannotWriteAsAnotherDeviceOrFarIntoTheFuture)
{
    ClipRef ours = us.add(QStringLiteral("ours"));
    const QString oursID = ours->dedupID().toString(QUuid::WithoutBraces);
    ASSERT_TRUE(us.exportNow());
    QJsonObject forged = clip(QStringLiteral("replaced"), nowMs() + 5000, oursID);
    forged.insert(QStringLiteral("device"), kUs);
    QJsonObject third = clip(QStringLiteral("as a third"), nowMs());
    third.insert(QStringLiteral("device"), QStringLiteral("device-dddd"));
    // A deletion dated a hundred years ahead, and settings that would empty the history.
    const qint64 century = nowMs() + 100LL * 365 * 24 * 3600 * 1000;
    ClipRef doomed = us.add(QStringLiteral("deleted far ahead"));
    const QJsonObject deletion{{QStringLiteral("type"), QStringLiteral("ClipItem")},
                               {QStringLiteral("id"), doomed->dedupID().toString(QUuid::WithoutBraces)},
                               {QStringLiteral("modifiedAt"), double(century)},
                               {QStringLiteral("deleted"), true}};
    auto settings = [&](double limit, qint64 at = 0) {
        return QJsonObject{{QStringLiteral("type"), QStringLiteral("AppSettings")},
                           {QStringLiteral("id"), QUuid::createUuid().toString(QUuid::WithoutBraces)},
                           {QStringLiteral("modifiedAt"), double(century + at)},
                           {QStringLiteral("fields"),
                            QJsonObject{{QStringLiteral("historyLimitValue"), limit},
                                        {QStringLiteral("updatedAt"), double(century + at)}}}};
    };
    for (int i = 0; i < 4; ++i)
        us.add(QStringLiteral("keep %1").arg(i));
    clock.advance(10);
    write(1, {forged, third, deletion, settings(1), settings(-2), settings(1e300)});
    ASSERT_TRUE(us.importNow());
    EXPECT_EQ(ours->text(), QStringLiteral("ours"));
    EXPECT_FALSE(us.clip(QStringLiteral("as a third")));
    EXPECT_FALSE(us.clip(QStringLiteral("deleted far ahead")));
    EXPECT_EQ(us.store->historyLimit(), ClipStore::defaultHistoryLimit);
    us.add(QStringLiteral("one more"));
    EXPECT_EQ(us.store->historyNewestFirst().size(), 6u);

    // The deletion counts from the time of import: a later edit here wins over it.
    const QString doomedID = doomed->dedupID().toString(QUuid::WithoutBraces);
    clock.advance(60000);
    write(2, {clip(QStringLiteral("back again"), nowMs(), doomedID)});
    ASSERT_TRUE(us.importNow());
    EXPECT_TRUE(us.clip(QStringLiteral("back again")));

    // A limit the settings offer is taken.
    clock.advance(1000);
    write(3, {settings(1000)});
    ASSERT_TRUE(us.importNow());
    EXPECT_EQ(us.store->historyLimit(), 1000);

    // Unlimited, as this program itself writes it, is one of them.
    clock.advance(1000);
    write(4, {settings(-1, 1000)});
    ASSERT_TRUE(us.importNow());
    EXPECT_EQ(us.store->historyLimit(), -1);
}

TEST_F(HostileFolderTest, OutOfRangeNumbersAndMalformedRecordsAreRefused)
{
    QJsonObject farModified = clip(QStringLiteral("modified 1e300"), 0);
    farModified.insert(QStringLiteral("modifiedAt"), 1e300);
    QJsonObject badCreated = clip(QStringLiteral("created -1e300"), nowMs());
    QJsonObject fields = badCreated.value(QStringLiteral("fields")).toObject();
    fields.insert(QStringLiteral("createdAt"), -1e300);
    badCreated.insert(QStringLiteral("fields"), fields);
    QJsonObject badPayload = clip(QStringLiteral("payload 1e300"), nowMs());
    fields = badPayload.value(QStringLiteral("fields")).toObject();
    fields.insert(QStringLiteral("payloadByteCount"), 1e300);
    badPayload.insert(QStringLiteral("fields"), fields);
    const QJsonObject unnamedPage{{QStringLiteral("type"), QStringLiteral("Pinboard")},
                                  {QStringLiteral("id"), QUuid::createUuid().toString(QUuid::WithoutBraces)},
                                  {QStringLiteral("modifiedAt"), double(nowMs())},
                                  {QStringLiteral("fields"), QJsonObject{{QStringLiteral("sortOrder"), 1e300}}}};
    // A text far longer than a local copy may be is cut as one would be.
    const QString longText(SyncFolder::exportFileBytes / 4, QLatin1Char('y'));
    write(1,
          {farModified, badCreated, badPayload, unnamedPage, clip(longText, nowMs()),
           clip(QStringLiteral("fine"), nowMs())});
    QString error;
    ASSERT_TRUE(SyncFolder::writeFileAtomically(
        SyncFolder::changePath(root, kPeer, 2),
        QByteArray("{\"format\":1,\"device\":\"device-cccc\",\"number\":-1e300,\"records\":[]}"), &error));
    ASSERT_TRUE(SyncFolder::writeFileAtomically(
        SyncFolder::changePath(root, kPeer, 3),
        QByteArray("{\"format\":1e300,\"device\":\"device-cccc\",\"number\":3,\"records\":[]}"), &error));
    ASSERT_TRUE(us.importNow());
    EXPECT_TRUE(us.clip(QStringLiteral("fine")));
    EXPECT_EQ(us.store->historyNewestFirst().size(), 2u);
    EXPECT_TRUE(us.store->context().pinboards().empty());
    for (const ClipRef &c : us.store->historyNewestFirst()) {
        EXPECT_LE(c->text().value_or(QString()).toUtf8().size(), CapturedContent::maxTextBytes);
        EXPECT_GT(c->createdAt().toMSecsSinceEpoch(), 0);
    }
}

TEST_F(HostileFolderTest, ManyRecordsAndManyFilesAreAppliedInSlicesWithinBounds)
{
    // One file past the record bound is turned down whole; one under it is applied in slices.
    QJsonArray tooMany;
    for (int i = 0; i <= SyncFolder::maxRecordsPerFile; ++i)
        tooMany.append(QJsonObject{{QStringLiteral("type"), QStringLiteral("ClipItem")},
                                   {QStringLiteral("id"), QUuid::createUuid().toString(QUuid::WithoutBraces)},
                                   {QStringLiteral("modifiedAt"), 1},
                                   {QStringLiteral("deleted"), true}});
    write(1, tooMany);
    QJsonArray many;
    for (int i = 0; i < 6000; ++i)
        many.append(clip(QStringLiteral("record %1").arg(i), nowMs()));
    write(2, many);
    for (int i = 3; i < 603; ++i)
        write(i, {clip(QStringLiteral("file %1").arg(i), nowMs())});
    const qint64 before = residentKiB();
    const qint64 stall = importMeasuringStall(120000);
    EXPECT_LT(stall, 1000) << "the longest the event loop waited, ms";
    EXPECT_LT(residentKiB() - before, 500 * 1024);
    EXPECT_TRUE(us.clip(QStringLiteral("record 5999")));
    EXPECT_TRUE(us.clip(QStringLiteral("file 602")));
}

TEST_F(HostileFolderTest, StoppingHalfwayThroughApplyingLosesNothingAfterTheNextStart)
{
    QJsonArray many;
    for (int i = 0; i < 4000; ++i)
        many.append(clip(QStringLiteral("record %1").arg(i), nowMs()));
    write(1, many);
    us.engine->scheduleImport();
    ASSERT_TRUE(waitUntil([this] { return us.store->context().clipCount() > 0; }, 60000));
    us.engine->stop();
    EXPECT_TRUE(us.engine->isIdle() || waitUntil([this] { return us.engine->isIdle(); }, 20000));
    ASSERT_TRUE(us.engine->start() && us.settle());
    EXPECT_EQ(us.store->context().clipCount(), 4000);
}

TEST_F(HostileFolderTest, EachDeviceChangeFolderIsWatchedOnceAsItAppears)
{
    for (int i = 0; i < 40; ++i) {
        QString error;
        ASSERT_TRUE(SyncFolder::prepareDevice(root, QStringLiteral("device-w%1").arg(i), &error));
    }
    ASSERT_TRUE(us.importNow());
    EXPECT_EQ(us.engine->watchedDevices(), 41);
    QString error;
    ASSERT_TRUE(SyncFolder::prepareDevice(root, QStringLiteral("device-late"), &error));
    ASSERT_TRUE(us.importNow());
    EXPECT_EQ(us.engine->watchedDevices(), 42);
    // A file in a watched change folder is noticed without a rescan.
    write(1, {clip(QStringLiteral("noticed"), nowMs())});
    EXPECT_TRUE(waitUntil([this] { return bool(us.clip(QStringLiteral("noticed"))); }, 20000));
}

} // namespace
