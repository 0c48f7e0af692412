#include "SyncTestDevice.h"

#include "Quillmere/Platform/Core/PreferenceKeys.h"
#include "Quillmere/Sync/CloudSyncStatus.h"
#include "Quillmere/Sync/SyncFolder.h"
#include "Quillmere/Sync/SyncSettings.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

class SyncEngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(a.engine->start());
        ASSERT_TRUE(b.engine->start());
        ASSERT_TRUE(a.settle() && b.settle());
    }
    QString deviceDir(const char *device) const { return SyncFolder::devicePath(root, QString::fromLatin1(device)); }
    // Every byte the folder holds, for checks that something never left a device.
    QByteArray folderBytes() const
    {
        QByteArray all;
        QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile f(it.next());
            if (f.open(QIODevice::ReadOnly))
                all += f.readAll();
        }
        return all;
    }

    QTemporaryDir shared;
    QString root = shared.path();
    FakeClock clock;
    SyncDevice a{root, QStringLiteral("device-aaaa"), clock};
    SyncDevice b{root, QStringLiteral("device-bbbb"), clock};
};

TEST_F(SyncEngineTest, ClipsPagesPinsRenamesAndDeletionsTravelBothWays)
{
    ClipRef kept = a.add(QStringLiteral("kept"));
    ClipRef doomed = a.add(QStringLiteral("doomed"));
    CapturedContent picture;
    picture.kind = ClipKind::image;
    picture.imageData = QByteArray("\x89PNG fake bytes", 15);
    ASSERT_TRUE(a.store->insertClip(picture));
    PageRef page = a.store->createPage(QStringLiteral("Recipes"), QStringLiteral("blue"));
    a.store->assignClip(kept, page);
    a.store->togglePin(kept);
    a.store->renameClip(kept, QStringLiteral("Soup"));
    ASSERT_TRUE(carry(a, b));

    ClipRef there = b.clip(QStringLiteral("kept"));
    ASSERT_TRUE(there);
    EXPECT_EQ(there->customTitle(), QStringLiteral("Soup"));
    EXPECT_TRUE(there->isPinned());
    ASSERT_TRUE(there->pinboard());
    EXPECT_EQ(there->pinboard()->name(), QStringLiteral("Recipes"));
    EXPECT_EQ(there->pinboard()->colorName(), QStringLiteral("blue"));
    EXPECT_EQ(there->dedupID(), kept->dedupID());
    ASSERT_TRUE(b.clip(QStringLiteral("doomed")));
    bool pictureArrived = false;
    for (const ClipRef &c : b.store->historyNewestFirst())
        pictureArrived = pictureArrived || c->imageData() == picture.imageData;
    EXPECT_TRUE(pictureArrived);

    a.store->deleteClip(doomed);
    clock.advance(1000);
    b.store->renameClip(there, QStringLiteral("Stew"));
    ASSERT_TRUE(carry(a, b));
    ASSERT_TRUE(carry(b, a));
    EXPECT_FALSE(b.clip(QStringLiteral("doomed")));
    EXPECT_EQ(a.clip(QStringLiteral("kept"))->customTitle(), QStringLiteral("Stew"));
    EXPECT_EQ(a.store->historyNewestFirst().size(), b.store->historyNewestFirst().size());
}

TEST_F(SyncEngineTest, ConcurrentEditsResolveTheSameOnBothDevicesAndDoNotEcho)
{
    a.add(QStringLiteral("shared"));
    ASSERT_TRUE(carry(a, b));
    clock.advance(1000);
    // Same moment on both: the larger device id wins everywhere.
    a.store->renameClip(a.clip(QStringLiteral("shared")), QStringLiteral("from A"));
    b.store->renameClip(b.clip(QStringLiteral("shared")), QStringLiteral("from B"));
    ASSERT_TRUE(a.exportNow() && b.exportNow());
    ASSERT_TRUE(a.importNow() && b.importNow());
    EXPECT_EQ(a.clip(QStringLiteral("shared"))->customTitle(), QStringLiteral("from B"));
    EXPECT_EQ(b.clip(QStringLiteral("shared"))->customTitle(), QStringLiteral("from B"));

    // A later edit wins over the larger id.
    clock.advance(1000);
    b.store->renameClip(b.clip(QStringLiteral("shared")), QStringLiteral("B early"));
    clock.advance(5);
    a.store->renameClip(a.clip(QStringLiteral("shared")), QStringLiteral("A late"));
    ASSERT_TRUE(a.exportNow() && b.exportNow());
    ASSERT_TRUE(b.importNow() && a.importNow());
    EXPECT_EQ(a.clip(QStringLiteral("shared"))->customTitle(), QStringLiteral("A late"));
    EXPECT_EQ(b.clip(QStringLiteral("shared"))->customTitle(), QStringLiteral("A late"));

    // Taking in the other's version is not a change of one's own: the folder comes to rest.
    ASSERT_TRUE(carry(a, b) && carry(b, a));
    const auto before = SyncFolder::changeNumbers(root, QStringLiteral("device-aaaa")).size()
        + SyncFolder::changeNumbers(root, QStringLiteral("device-bbbb")).size();
    ASSERT_TRUE(carry(a, b) && carry(b, a));
    EXPECT_EQ(SyncFolder::changeNumbers(root, QStringLiteral("device-aaaa")).size()
                  + SyncFolder::changeNumbers(root, QStringLiteral("device-bbbb")).size(),
              before);
}

TEST_F(SyncEngineTest, ExpiringClipsNeverLeaveAndAClipGainingAnExpiryGoesAsDeleted)
{
    ClipRef secret = a.add(QStringLiteral("otp 493021"));
    secret->setExpiresAt(clock.now().addSecs(300));
    ASSERT_TRUE(a.store->save());
    ClipRef later = a.add(QStringLiteral("plain at first"));
    ASSERT_TRUE(carry(a, b));
    EXPECT_FALSE(b.clip(QStringLiteral("otp 493021")));
    EXPECT_FALSE(folderBytes().contains("493021"));
    ASSERT_TRUE(b.clip(QStringLiteral("plain at first")));

    clock.advance(1000);
    later->setExpiresAt(clock.now().addSecs(300));
    ASSERT_TRUE(a.store->save());
    ASSERT_TRUE(carry(a, b));
    EXPECT_FALSE(b.clip(QStringLiteral("plain at first")));
}

TEST_F(SyncEngineTest, DamagedFilesAndBlobsAreSkippedAndHalfSyncedOnesTakenOnceComplete)
{
    b.engine->stop(); // no look at the folder until the damage is in place
    a.add(QStringLiteral("first"));
    ASSERT_TRUE(a.exportNow());
    const QString changes = deviceDir("device-aaaa") + QStringLiteral("/changes/");
    // A file still arriving, one from a newer format, and a record that cannot be read.
    QString error;
    const QString half = SyncFolder::changePath(root, QStringLiteral("device-aaaa"), 2);
    ASSERT_TRUE(SyncFolder::writeFileAtomically(half, QByteArray("{\"format\":1,\"device\":\"dev"), &error));
    ASSERT_TRUE(SyncFolder::writeFileAtomically(
        SyncFolder::changePath(root, QStringLiteral("device-aaaa"), 3),
        QByteArray("{\"format\":9,\"device\":\"device-aaaa\",\"number\":3,\"records\":[]}"), &error));
    ASSERT_TRUE(SyncFolder::writeFileAtomically(
        SyncFolder::changePath(root, QStringLiteral("device-aaaa"), 4),
        QByteArray("{\"format\":1,\"device\":\"device-aaaa\",\"number\":4,\"records\":[{\"type\":\"ClipItem\","
                   "\"id\":\"not a uuid\",\"modifiedAt\":1}, {\"type\":\"ClipItem\",\"id\":"
                   "\"6a1f0f64-3f0e-4c54-9a53-0d7e5d2f7b11\",\"modifiedAt\":5,\"fields\":{\"kind\":3}}]}"),
        &error));
    // An image whose blob does not match its name.
    CapturedContent picture;
    picture.kind = ClipKind::image;
    picture.imageData = QByteArray("pixels");
    ASSERT_TRUE(a.store->insertClip(picture));
    ASSERT_TRUE(a.exportNow());
    const QString blob = SyncFolder::blobPath(root, QStringLiteral("device-aaaa"), SyncFolder::sha256Hex("pixels"));
    ASSERT_TRUE(QFile::exists(blob));
    QFile::remove(blob);
    ASSERT_TRUE(SyncFolder::writeFileAtomically(blob, QByteArray("tampered"), &error));

    ASSERT_TRUE(b.engine->start() && b.settle());
    EXPECT_TRUE(b.clip(QStringLiteral("first")));
    EXPECT_EQ(b.store->historyNewestFirst().size(), 1u);

    // Once complete, the late file and the real blob are taken on the next look.
    const QString real = changes + QStringLiteral("late.tmp");
    SyncRecord r;
    r.type = QStringLiteral("ClipItem");
    r.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    r.modifiedAt = clock.now().toMSecsSinceEpoch();
    r.device = QStringLiteral("device-aaaa");
    r.fields = {{QStringLiteral("createdAt"), double(r.modifiedAt)},
                {QStringLiteral("kind"), QStringLiteral("text")},
                {QStringLiteral("text"), QStringLiteral("arrived late")},
                {QStringLiteral("contentHash"), QStringLiteral("x")}};
    QFile::remove(half);
    ASSERT_TRUE(SyncFolder::writeFileAtomically(half, SyncFolder::encode(r.device, 2, false, {r}), &error));
    QFile::remove(blob);
    ASSERT_TRUE(SyncFolder::writeFileAtomically(blob, QByteArray("pixels"), &error));
    ASSERT_TRUE(b.importNow());
    EXPECT_TRUE(b.clip(QStringLiteral("arrived late")));
    EXPECT_EQ(b.store->historyNewestFirst().size(), 3u);
}

TEST_F(SyncEngineTest, FolderIsPrivateAndLinksOutOfItAreNotFollowed)
{
    a.add(QStringLiteral("private"));
    CapturedContent picture;
    picture.kind = ClipKind::image;
    picture.imageData = QByteArray("img");
    a.store->insertClip(picture);
    ASSERT_TRUE(a.exportNow());
    auto mode = [](const QString &path) {
        struct stat st {};
        ::lstat(QFile::encodeName(path).constData(), &st);
        return st.st_mode & 0777;
    };
    EXPECT_EQ(mode(SyncFolder::containerPath(root)), 0700u);
    EXPECT_EQ(mode(deviceDir("device-aaaa")), 0700u);
    EXPECT_EQ(mode(SyncFolder::changePath(root, QStringLiteral("device-aaaa"), 1)), 0600u);
    EXPECT_EQ(mode(SyncFolder::blobPath(root, QStringLiteral("device-aaaa"), SyncFolder::sha256Hex("img"))), 0600u);

    // A device folder that is a link elsewhere, holding a valid change file, is passed over.
    QTemporaryDir elsewhere;
    SyncDevice c{elsewhere.path(), QStringLiteral("device-cccc"), clock};
    ASSERT_TRUE(c.engine->start());
    c.add(QStringLiteral("from outside"));
    ASSERT_TRUE(c.exportNow());
    ASSERT_TRUE(
        QFile::link(SyncFolder::devicePath(elsewhere.path(), QStringLiteral("device-cccc")), deviceDir("device-cccc")));
    ASSERT_TRUE(b.importNow());
    EXPECT_TRUE(b.clip(QStringLiteral("private")));
    EXPECT_FALSE(b.clip(QStringLiteral("from outside")));
}

TEST_F(SyncEngineTest, AnExportLostWithTheFolderIsWrittenOnceTheFolderIsBack)
{
    // A device that looks at the folder often, as the periodic rescan does.
    SyncDevice x{root, QStringLiteral("device-xxxx"), clock, 64, {}, 50};
    TempPreferences statusPrefs;
    SyncHealthStore health{*statusPrefs, clock.clock()};
    CloudSyncStatus status(PersistenceMode::cloudKit, true, {&health, &x.notifications, clock.clock(), {}});
    QObject::connect(x.engine.get(), &SyncEngine::event, &status, &CloudSyncStatus::handleEvent);
    ASSERT_TRUE(x.engine->start() && x.settle());

    const QString away = root + QStringLiteral("-away");
    ASSERT_TRUE(QDir().rename(root, away));
    x.add(QStringLiteral("while away"));
    // The failed export is reported after the folder reads as gone: wait for the report itself.
    ASSERT_TRUE(waitUntil([&] { return !x.engine->isFolderAvailable() && status.hasSyncError(); }, 20000));
    EXPECT_TRUE(health.facts().lastExportFailureAt);

    ASSERT_TRUE(QDir().rename(away, root));
    // The next look finds the folder and writes what was missed.
    ASSERT_TRUE(waitUntil([&] { return x.engine->isFolderAvailable() && !status.hasSyncError(); }, 20000));
    ASSERT_TRUE(x.settle());
    ASSERT_TRUE(b.importNow());
    EXPECT_TRUE(b.clip(QStringLiteral("while away")));
}

TEST_F(SyncEngineTest, AnEmptiedFolderIsWrittenAgainUnderNumbersThatGoOn)
{
    a.add(QStringLiteral("before"));
    ASSERT_TRUE(carry(a, b));
    ASSERT_TRUE(QDir(deviceDir("device-aaaa")).removeRecursively());
    clock.advance(1000);
    a.add(QStringLiteral("after"));
    ASSERT_TRUE(carry(a, b));
    EXPECT_TRUE(b.clip(QStringLiteral("after")));
    EXPECT_GT(SyncFolder::snapshotNumber(root, QStringLiteral("device-aaaa")), 1);

    SyncDevice c{root, QStringLiteral("device-cccc"), clock};
    ASSERT_TRUE(c.engine->start() && c.settle());
    EXPECT_TRUE(c.clip(QStringLiteral("before")));
    EXPECT_TRUE(c.clip(QStringLiteral("after")));
}

TEST_F(SyncEngineTest, CompactionKeepsNewcomersAndLateReadersWhole)
{
    QTemporaryDir small;
    SyncDevice x{small.path(), QStringLiteral("device-xxxx"), clock, 2};
    SyncDevice y{small.path(), QStringLiteral("device-yyyy"), clock};
    ASSERT_TRUE(x.engine->start() && y.engine->start());
    x.add(QStringLiteral("one"));
    ASSERT_TRUE(carry(x, y));
    ClipRef two = x.add(QStringLiteral("two"));
    ASSERT_TRUE(x.exportNow());
    x.add(QStringLiteral("three"));
    ASSERT_TRUE(x.exportNow());
    x.store->deleteClip(two);
    ASSERT_TRUE(x.exportNow());
    EXPECT_GT(SyncFolder::snapshotNumber(small.path(), QStringLiteral("device-xxxx")), 0);

    SyncDevice z{small.path(), QStringLiteral("device-zzzz"), clock};
    ASSERT_TRUE(z.engine->start() && z.settle());
    ASSERT_TRUE(y.importNow());
    for (SyncDevice *d : {&y, &z}) {
        EXPECT_TRUE(d->clip(QStringLiteral("one")));
        EXPECT_FALSE(d->clip(QStringLiteral("two")));
        EXPECT_TRUE(d->clip(QStringLiteral("three")));
    }
}

TEST_F(SyncEngineTest, FilesDeliveredOutOfOrderAreAllRead)
{
    QTemporaryDir small;
    SyncDevice x{small.path(), QStringLiteral("device-xxxx"), clock, 3};
    SyncDevice y{small.path(), QStringLiteral("device-yyyy"), clock};
    ASSERT_TRUE(x.engine->start() && x.settle());
    const QString dev = QStringLiteral("device-xxxx");
    auto hide = [](const QString &path) { return QFile::rename(path, path + QStringLiteral(".away")); };
    auto bring = [](const QString &path) { return QFile::rename(path + QStringLiteral(".away"), path); };
    // y looks only when the folder is arranged.
    auto look = [&] {
        const bool ok = y.engine->start() && y.settle();
        y.engine->stop();
        return ok;
    };

    // 1 and 3 arrive before 2.
    x.add(QStringLiteral("one"));
    ASSERT_TRUE(x.exportNow());
    x.add(QStringLiteral("two"));
    ASSERT_TRUE(x.exportNow());
    x.add(QStringLiteral("three"));
    ASSERT_TRUE(x.exportNow());
    ASSERT_EQ(SyncFolder::changeNumbers(small.path(), dev).size(), 3u);
    ASSERT_TRUE(hide(SyncFolder::changePath(small.path(), dev, 2)));
    ASSERT_TRUE(look());
    EXPECT_TRUE(y.clip(QStringLiteral("three")));
    EXPECT_FALSE(y.clip(QStringLiteral("two")));
    ASSERT_TRUE(bring(SyncFolder::changePath(small.path(), dev, 2)));
    ASSERT_TRUE(look());
    EXPECT_TRUE(y.clip(QStringLiteral("two")));

    // A snapshot folding in changes y never saw arrives after the change that follows it.
    x.add(QStringLiteral("four"));
    ASSERT_TRUE(x.exportNow());
    const qint64 snapshot = SyncFolder::snapshotNumber(small.path(), dev);
    ASSERT_EQ(snapshot, 4);
    ASSERT_TRUE(hide(SyncFolder::snapshotPath(small.path(), dev, snapshot)));
    x.add(QStringLiteral("five"));
    ASSERT_TRUE(x.exportNow());
    ASSERT_TRUE(look());
    EXPECT_TRUE(y.clip(QStringLiteral("five")));
    ASSERT_TRUE(bring(SyncFolder::snapshotPath(small.path(), dev, snapshot)));
    ASSERT_TRUE(look());
    EXPECT_TRUE(y.clip(QStringLiteral("four")));
}

TEST_F(SyncEngineTest, AClipWaitsForItsPageFromAnotherDevice)
{
    PageRef page = b.store->createPage(QStringLiteral("Recipes"), QStringLiteral("blue"));
    ASSERT_TRUE(carry(b, a));
    ClipRef soup = a.add(QStringLiteral("soup"));
    a.store->assignClip(soup, a.store->context().pinboardWithDedupID(page->dedupID()));
    ASSERT_TRUE(a.exportNow());

    // The Page's device folder has not arrived yet where the clip's has.
    b.engine->stop();
    const QString pages = deviceDir("device-bbbb");
    ASSERT_TRUE(QDir().rename(pages, pages + QStringLiteral(".away")));
    SyncDevice c{root, QStringLiteral("device-cccc"), clock};
    ASSERT_TRUE(c.engine->start() && c.settle());
    EXPECT_FALSE(c.clip(QStringLiteral("soup")));
    ASSERT_TRUE(QDir().rename(pages + QStringLiteral(".away"), pages));
    ASSERT_TRUE(c.importNow());
    ClipRef there = c.clip(QStringLiteral("soup"));
    ASSERT_TRUE(there);
    ASSERT_TRUE(there->pinboard());
    EXPECT_EQ(there->pinboard()->name(), QStringLiteral("Recipes"));
}

TEST_F(SyncEngineTest, ImportsReadABoundedAmountPerPassAndGetEverything)
{
    for (const char *name : {"p1", "p2", "p3"}) {
        CapturedContent picture;
        picture.kind = ClipKind::image;
        picture.imageData = QByteArray(name) + QByteArray(1000, 'x');
        ASSERT_TRUE(a.store->insertClip(picture));
        ASSERT_TRUE(a.exportNow());
    }
    ImportJob job{root, QStringLiteral("device-bbbb"), {}, 1};
    size_t records = 0;
    int passes = 0;
    for (bool more = true; more && passes < 10; ++passes) {
        const ImportResult result = runImport(job);
        ASSERT_TRUE(result.ok);
        more = result.more;
        for (const ImportBatch &batch : result.batches) {
            records += batch.records.size();
            job.progress.insert(batch.device, batch.progress);
        }
    }
    EXPECT_EQ(passes, 3);
    EXPECT_EQ(records, 3u);
}

TEST_F(SyncEngineTest, ADamagedBlobInASnapshotDropsOnlyItsRecord)
{
    QTemporaryDir small;
    SyncDevice x{small.path(), QStringLiteral("device-xxxx"), clock, 1};
    ASSERT_TRUE(x.engine->start() && x.settle());
    CapturedContent picture;
    picture.kind = ClipKind::image;
    picture.imageData = QByteArray("pixels");
    ASSERT_TRUE(x.store->insertClip(picture));
    x.add(QStringLiteral("first"));
    ASSERT_TRUE(x.exportNow());
    x.add(QStringLiteral("second"));
    ASSERT_TRUE(x.exportNow());
    ASSERT_GT(SyncFolder::snapshotNumber(small.path(), QStringLiteral("device-xxxx")), 0);
    const QString blob =
        SyncFolder::blobPath(small.path(), QStringLiteral("device-xxxx"), SyncFolder::sha256Hex("pixels"));
    QString error;
    ASSERT_TRUE(QFile::remove(blob) && SyncFolder::writeFileAtomically(blob, QByteArray("tampered"), &error));
    x.add(QStringLiteral("later"));
    ASSERT_TRUE(x.exportNow());

    SyncDevice y{small.path(), QStringLiteral("device-yyyy"), clock};
    ASSERT_TRUE(y.engine->start() && y.settle());
    EXPECT_TRUE(y.clip(QStringLiteral("first")));
    EXPECT_TRUE(y.clip(QStringLiteral("later")));
    EXPECT_EQ(y.store->historyNewestFirst().size(), 3u);
}

TEST(SyncClockTest, AClipFromADeviceWhoseClockRunsAheadKeepsItsDateAndDatesNoLaterCopy)
{
    QTemporaryDir shared;
    FakeClock clock;
    SyncDevice ahead{shared.path(), QStringLiteral("device-aaaa"), clock, 64,
                     [&clock] { return clock.now().addSecs(6 * 3600); }};
    SyncDevice here{shared.path(), QStringLiteral("device-bbbb"), clock};
    ASSERT_TRUE(ahead.engine->start() && here.engine->start());
    ASSERT_TRUE(ahead.settle() && here.settle());

    const ClipRef sent = ahead.add(QStringLiteral("from ahead"));
    ASSERT_TRUE(carry(ahead, here));
    const ClipRef arrived = here.clip(QStringLiteral("from ahead"));
    ASSERT_TRUE(arrived);
    EXPECT_EQ(arrived->createdAt(), sent->createdAt());

    clock.advance(1000);
    const ClipRef mine = here.add(QStringLiteral("copied here"));
    EXPECT_EQ(mine->createdAt(), clock.now());
    EXPECT_EQ(here.store->historyNewestFirst().front(), arrived);
    // Captured here after the synced clip arrived, the copy outlasts it under the limit.
    here.store->setHistoryLimit(1);
    EXPECT_EQ(here.store->historyNewestFirst(), std::vector<ClipRef>{mine});
}

TEST(SyncSettingsTest, ADeviceIDStaysWithItsMachine)
{
    TempPreferences prefs;
    const QString first = SyncSettings::deviceID(*prefs, QStringLiteral("machine-1"));
    EXPECT_TRUE(SyncFolder::isValidDeviceID(first));
    EXPECT_EQ(SyncSettings::deviceID(*prefs, QStringLiteral("machine-1")), first);
    EXPECT_EQ(SyncSettings::deviceID(*prefs, QString()), first);
    // The same preferences on another machine, as after copying a home folder.
    const QString copied = SyncSettings::deviceID(*prefs, QStringLiteral("machine-2"));
    EXPECT_NE(copied, first);
    EXPECT_EQ(SyncSettings::deviceID(*prefs, QStringLiteral("machine-2")), copied);

    // An id kept before the machine was noted is adopted, not replaced.
    TempPreferences older;
    older->setString(PreferenceKeys::syncDeviceID, first);
    EXPECT_EQ(SyncSettings::deviceID(*older, QStringLiteral("machine-3")), first);
    EXPECT_NE(SyncSettings::deviceID(*older, QStringLiteral("machine-4")), first);
}

} // namespace
