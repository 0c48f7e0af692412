#include "Model/OldRecoveryFiles.h"
#include "Support/PagesFixture.h"

#include "Quillmere/Model/FallbackMoveIn.h"
#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/StoreCaretaker.h"
#include "Quillmere/Model/StoreSchema.h"
#include "Quillmere/Model/UnsavedRecovery.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <map>

#include <sys/stat.h>

using namespace quillmere;

namespace {

std::vector<StoreTrouble> startAndWait(test::StoreFixture &f)
{
    StoreCaretaker caretaker(*f.store, {});
    std::vector<StoreTrouble> told;
    QObject::connect(&caretaker, &StoreCaretaker::troubleOccurred,
                     [&](const StoreTrouble &trouble) { told.push_back(trouble); });
    caretaker.start();
    EXPECT_TRUE(test::waitUntil([&] { return !told.empty(); }, 20000));
    return told;
}

QJsonObject textClip(const QString &text)
{
    return {{"kind", "text"}, {"text", text}, {"createdAt", "2026-01-02T03:04:05.000Z"}, {"isPinned", false}};
}

// A recovery file as an earlier version wrote it: indented, its members in the order of their names.
QString writeSpill(const QString &path, const QJsonArray &clips, const QJsonArray &pages = {},
                   const QString &unsavedAt = "2026-01-02T03:04:05.000Z")
{
    QFile file(path);
    const QByteArray json =
        QJsonDocument(QJsonObject{{"unsavedAt", unsavedAt}, {"pages", pages}, {"clips", clips}}).toJson();
    return file.open(QIODevice::WriteOnly) && file.write(json) == json.size() ? path : QString();
}

int clipsWithText(ModelContext &ctx, const QString &prefix)
{
    QSqlQuery q(ctx.database());
    q.prepare("SELECT COUNT(*) FROM clips WHERE text LIKE ?");
    q.addBindValue(prefix + "%");
    return q.exec() && q.next() ? q.value(0).toInt() : -1;
}

// The clips the recovery `files` of the store at `storePath` are converted into, by their text.
std::map<QString, ClipRef> convertedClips(const QString &storePath, const QStringList &files,
                                          UnsavedRecovery::Conversion *done, int *slices = nullptr)
{
    *done = UnsavedRecovery::convert(storePath, files, QDateTime::currentDateTimeUtc(), [slices] {
        if (slices)
            ++*slices;
    });
    std::map<QString, ClipRef> clips;
    QString error;
    for (const QString &path : UnsavedRecovery::converted(storePath, FallbackStore::all(storePath)))
        if (auto fallback = ModelContainer::open(path, systemClock(), &error))
            for (const ClipRef &clip : fallback->mainContext().allClips())
                clips[clip->text().value_or(QString())] = clip;
    return clips;
}

} // namespace

TEST(UnsavedRecoveryRestore, AClipThatCannotBeReadLeavesTheOthersToComeBackAndIsCounted)
{
    test::StoreFixture f(true);
    QJsonArray clips;
    for (int i = 0; i < 200; ++i) {
        QJsonObject clip = textClip(QString("note %1").arg(i));
        if (i == 120)
            clip = {{"kind", "image"}, {"imageDataBase64", "not*base64!"}};
        if (i == 7)
            clip.insert("pageName", "Receipts");
        clips.append(clip);
    }
    const QString spill = writeSpill(f.path + ".unsaved-20260102-030405.json", clips,
                                     {QJsonObject{{"name", "Receipts"}, {"colorName", "green"}}});
    ASSERT_FALSE(spill.isEmpty());

    const auto told = startAndWait(f);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told.front().kind, StoreTrouble::Kind::unsavedBroughtBack);
    const QString message = told.front().message();
    EXPECT_TRUE(message.startsWith("199 copies")) << qPrintable(message);
    EXPECT_TRUE(message.contains("One copy kept aside earlier could not be read")) << qPrintable(message);
    EXPECT_TRUE(message.contains(spill + ".unreadable")) << qPrintable(message);
    EXPECT_EQ(clipsWithText(f.ctx(), "note "), 199);
    ClipRef filed = f.ctx().newestClipWithHash(test::StoreFixture::textContent("note 7").contentHash());
    ASSERT_TRUE(filed && filed->pinboard());
    EXPECT_EQ(filed->pinboard()->colorName(), "green");
    // Kept aside under a name the next start does not bring back again.
    EXPECT_TRUE(QFile::exists(spill + ".unreadable"));
    EXPECT_TRUE(UnsavedRecovery::all(f.path).isEmpty());
}

TEST(UnsavedRecoveryRestore, ALinkOrAFifoUnderARecoveryFilesNameIsToldOfAndNeverWaitedOn)
{
    test::StoreFixture f(true);
    QTemporaryDir elsewhere;
    const QString target = writeSpill(elsewhere.filePath("target.json"), {textClip("through a link")});
    const QString link = f.path + ".unsaved-20260102-030405.json";
    const QString fifo = f.path + ".unsaved-20260102-030406.json";
    ASSERT_TRUE(QFile::link(target, link));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);

    QElapsedTimer timer;
    timer.start();
    const auto told = startAndWait(f);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told.front().kind, StoreTrouble::Kind::unsavedAtQuit);
    EXPECT_EQ(told.front().path, link + ", " + fifo);
    const QString message = told.front().message();
    EXPECT_TRUE(message.contains(link) && message.contains(fifo)) << qPrintable(message);
    EXPECT_TRUE(message.contains("not a regular file")) << qPrintable(message);
    EXPECT_EQ(f.ctx().clipCount(), 0);
    // Both are left as they are, and the file behind the link too.
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_TRUE(QFile::exists(fifo) && QFile::exists(target));
}

TEST(UnsavedRecoveryRestore, OnlyCopiesNewToTheHistoryAreCountedAsAStartCutShortFindsThem)
{
    test::StoreFixture f(true);
    // 100 of them stored already, as after a start that was stopped once those came back.
    for (int i = 0; i < 100; ++i)
        f.putText(QString("copy %1").arg(i));
    QJsonArray clips;
    for (int i = 0; i < 260; ++i)
        clips.append(textClip(QString("copy %1").arg(i)));
    const QString spill = writeSpill(f.path + ".unsaved-20260102-030405.json", clips);
    ASSERT_FALSE(spill.isEmpty());

    const auto told = startAndWait(f);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_TRUE(told.front().message().startsWith("160 copies")) << qPrintable(told.front().message());
    EXPECT_EQ(f.ctx().clipCount(), 260);
    EXPECT_FALSE(QFile::exists(spill));
}

TEST(UnsavedRecoveryRestore, AFileReadBackASliceAtATimeGivesEveryClipOnce)
{
    test::StoreFixture f(true);
    QJsonArray clips;
    for (int i = 0; i < 130; ++i) {
        QJsonObject clip = textClip(QString("slice %1").arg(i));
        // Characters that need escaping, and brackets in strings, must not cut a clip short.
        clip.insert("customTitle", QString("a \"quoted\" {title} [%1] \\ é").arg(i));
        clips.append(clip);
    }
    const QString spill = writeSpill(f.path + ".unsaved-20260102-030405.json", clips, {QJsonObject{{"name", "Work"}}});
    UnsavedRecovery::Conversion done;
    int slices = 0;
    const auto read = convertedClips(f.path, {spill}, &done, &slices);
    EXPECT_EQ(slices, (130 + int(FallbackMoveIn::sliceClips) - 1) / int(FallbackMoveIn::sliceClips));
    ASSERT_EQ(read.size(), 130u);
    for (int i = 0; i < 130; ++i) {
        const ClipRef clip = read.at(QString("slice %1").arg(i));
        EXPECT_EQ(clip->customTitle(), QString("a \"quoted\" {title} [%1] \\ é").arg(i));
    }
    ASSERT_EQ(done.done.size(), 1u);
    EXPECT_EQ(done.done.front().unreadable, 0);
    EXPECT_EQ(done.done.front().lost, 0);
}

TEST(UnsavedRecoveryRestore, AFileThatBreaksOffKeepsEveryClipBeforeTheBreak)
{
    QJsonArray clips;
    for (int i = 0; i < 130; ++i)
        clips.append(textClip(QString("before the cut %1").arg(i)));
    // As an earlier version wrote it, which does not say how many clips it holds.
    const QByteArray whole =
        QJsonDocument(QJsonObject{{"unsavedAt", "2026-01-02T03:04:05.000Z"}, {"clips", clips}}).toJson();
    for (const QByteArray &tail : {QByteArray(), QByteArray(4096, '\0'), QByteArray("\x93\xff]}garbage{{\"")}) {
        SCOPED_TRACE(tail.size());
        test::StoreFixture f(true);
        QFile spill(f.path + ".unsaved-20260102-030405.json");
        ASSERT_TRUE(spill.open(QIODevice::WriteOnly) && spill.write(whole.left(whole.size() / 2) + tail) > 0);
        spill.close();
        UnsavedRecovery::Conversion done;
        const auto read = convertedClips(f.path, {spill.fileName()}, &done);
        // Every whole clip in the first half.
        ASSERT_GE(read.size(), 60u);
        ASSERT_LT(read.size(), 130u);
        for (size_t i = 0; i < read.size(); ++i)
            EXPECT_TRUE(read.count(QString("before the cut %1").arg(i)));
        ASSERT_EQ(done.done.size(), 1u);
        EXPECT_EQ(done.done.front().lost, -1);
    }
}

TEST(UnsavedRecoveryRestore, ARestoreKilledAfterAnySliceLosesNothingAndTheNextStartFinishesIt)
{
    // The conversion's slices, then the move-in's of the fallback store it wrote.
    const int converted = (260 + int(FallbackMoveIn::sliceClips) - 1) / int(FallbackMoveIn::sliceClips);
    for (const int killedAfter : {1, converted, converted + 3}) {
        SCOPED_TRACE(killedAfter);
        test::StoreFixture f(true);
        for (int i = 0; i < 20; ++i)
            f.putText(QString("older %1").arg(i));
        QJsonArray clips;
        for (int i = 0; i < 260; ++i) {
            QJsonObject clip = textClip(QString("copy %1").arg(i));
            if (i % 100 == 7)
                clip.insert("pageName", "Receipts");
            clips.append(clip);
        }
        const QString spill = writeSpill(f.path + ".unsaved-20260102-030405.json", clips,
                                         {QJsonObject{{"name", "Receipts"}, {"colorName", "green"}}});
        ASSERT_FALSE(spill.isEmpty());
        f.store.reset();

        QProcess probe;
        probe.start(QStringLiteral(QUILLMERE_SPILL_RESTORE_PROBE), {f.path, QString::number(killedAfter)});
        ASSERT_TRUE(probe.waitForFinished(30000)) << "the restore probe did not end";
        ASSERT_EQ(probe.exitStatus(), QProcess::CrashExit)
            << "the restore ended (" << probe.exitCode() << ") before slice " << killedAfter << ": "
            << probe.readAllStandardError().toStdString();
        // Removed only once the store holds what it held.
        EXPECT_TRUE(QFile::exists(spill));

        f.open();
        const int before = clipsWithText(f.ctx(), "copy ");
        EXPECT_EQ(before, std::max(0, killedAfter - converted) * int(FallbackMoveIn::sliceClips));
        StoreCaretaker caretaker(*f.store, {});
        std::vector<StoreTrouble> told;
        QObject::connect(&caretaker, &StoreCaretaker::troubleOccurred,
                         [&](const StoreTrouble &trouble) { told.push_back(trouble); });
        caretaker.start();
        ASSERT_TRUE(test::waitUntil([&] { return !QFile::exists(spill); }, 20000));
        if (before < 260) {
            ASSERT_TRUE(test::waitUntil([&] { return !told.empty(); }));
            EXPECT_TRUE(told.front().message().startsWith(QString("%1 copies").arg(260 - before)))
                << qPrintable(told.front().message());
        }
        EXPECT_EQ(clipsWithText(f.ctx(), "copy "), 260);
        EXPECT_EQ(clipsWithText(f.ctx(), "older "), 20);
        EXPECT_EQ(f.ctx().clipCount(), 280);
        ASSERT_EQ(f.ctx().pinboards().size(), 1u);
        ClipRef filed = f.ctx().newestClipWithHash(test::StoreFixture::textContent("copy 207").contentHash());
        ASSERT_TRUE(filed && filed->pinboard());
        EXPECT_EQ(filed->pinboard()->name(), "Receipts");
    }
}

TEST(UnsavedRecoveryRestore, AFileCutInHalfBringsBackTheClipsBeforeTheCutAndTellsHowManyWereLost)
{
    constexpr int copies = 1000;
    // Not killed, killed after the restore's first slice, and after its last (about half the file).
    const int lastSlice = copies / 2 / int(FallbackMoveIn::sliceClips);
    for (const int killedAfter : {0, 1, lastSlice}) {
        SCOPED_TRACE(killedAfter);
        test::StoreFixture f(true);
        std::vector<std::shared_ptr<PersistentModel>> records;
        for (int i = 0; i < copies; ++i) {
            auto clip = std::make_shared<ClipItem>();
            clip->setKind(ClipKind::text);
            clip->setText(QString("spilled %1").arg(i));
            clip->setCreatedAt(QDateTime::currentDateTimeUtc().addSecs(i - copies));
            records.push_back(clip);
        }
        const QString spill = test::writeOldRecoveryFile(f.path, records, QDateTime::currentDateTimeUtc());
        ASSERT_FALSE(spill.isEmpty());
        {
            QFile file(spill);
            ASSERT_TRUE(file.open(QIODevice::ReadWrite) && file.resize(file.size() / 2));
        }
        if (killedAfter > 0) {
            f.store.reset();
            QProcess probe;
            probe.start(QStringLiteral(QUILLMERE_SPILL_RESTORE_PROBE), {f.path, QString::number(killedAfter)});
            ASSERT_TRUE(probe.waitForFinished(30000)) << "the restore probe did not end";
            ASSERT_EQ(probe.exitStatus(), QProcess::CrashExit) << probe.readAllStandardError().toStdString();
            ASSERT_TRUE(QFile::exists(spill));
            f.open();
        }

        const auto told = startAndWait(f);
        ASSERT_EQ(told.size(), 1u);
        EXPECT_EQ(told.front().kind, StoreTrouble::Kind::unsavedBroughtBack);
        const int kept = clipsWithText(f.ctx(), "spilled ");
        EXPECT_GT(kept, copies / 2 - 20);
        EXPECT_LT(kept, copies / 2 + 20);
        // The newest were written first: what the cut took is the oldest.
        EXPECT_TRUE(f.ctx().newestClipWithHash(test::StoreFixture::textContent("spilled 999").contentHash()));
        EXPECT_EQ(told.front().lost, copies - kept);
        const QString message = told.front().message();
        EXPECT_TRUE(message.contains(QString("%1 copies kept aside earlier are lost").arg(copies - kept)))
            << qPrintable(message);
        if (killedAfter == 0) {
            EXPECT_TRUE(message.startsWith(QString("%1 copies").arg(kept))) << qPrintable(message);
        }
        // What is left is kept aside, and not brought back again.
        EXPECT_TRUE(message.contains(spill + ".unreadable")) << qPrintable(message);
        EXPECT_TRUE(QFile::exists(spill + ".unreadable"));
        EXPECT_TRUE(UnsavedRecovery::all(f.path).isEmpty());
    }
}

TEST(UnsavedRecoveryRestore, CopiesSpilledAfterTheClockWasPutBackComeBackLastCapturedInTheOrderMade)
{
    const auto capture = [](test::StoreFixture &at, const QString &text) {
        at.clock.advance(1000);
        EXPECT_TRUE(at.store->insertClip(test::StoreFixture::textContent(text)));
    };
    const auto has = [](test::StoreFixture &at, const QString &text) {
        return at.ctx().newestClipWithHash(test::StoreFixture::textContent(text).contentHash()) != nullptr;
    };
    // The store's clips were captured while the clock ran a year ahead.
    test::StoreFixture f(true);
    const qint64 day = 24 * 3600 * 1000;
    f.clock.advance(365 * day);
    capture(f, "ahead 1");
    capture(f, "ahead 2");
    f.clock.advance(-365 * day);
    // A session that could not reach the store, its clock put back a day half-way: dated before the
    // first half, the second half was captured after it. Written newest date first, the clips come
    // back in three slices, the second half partly in the first two.
    test::StoreFixture session;
    for (const char *half : {"early", "late"}) {
        for (int i = 0; i < 60; ++i)
            capture(session, QString("%1 %2").arg(QLatin1String(half)).arg(i));
        session.clock.advance(-day);
    }
    std::vector<std::shared_ptr<PersistentModel>> records;
    for (const ClipRef &clip : session.ctx().allClips())
        records.push_back(clip);
    ASSERT_FALSE(test::writeOldRecoveryFile(f.path, records, session.clock.now()).isEmpty());
    ASSERT_EQ(startAndWait(f).front().kind, StoreTrouble::Kind::unsavedBroughtBack);

    f.store->setHistoryLimit(121);
    capture(f, "next");
    EXPECT_FALSE(has(f, "ahead 1") || has(f, "ahead 2"));
    EXPECT_TRUE(has(f, "early 0") && has(f, "late 59"));
    f.store->setHistoryLimit(60);
    EXPECT_FALSE(has(f, "early 59") || has(f, "late 0"));
    EXPECT_TRUE(has(f, "late 1") && has(f, "next"));
}

TEST(UnsavedRecoveryRestore, ACopyStoredAlreadyTakesTheLaterCaptureOrderOfTheTwo)
{
    test::StoreFixture f(true);
    const ClipRef again = f.putText("copied again");
    f.putText("copied once");
    const ClipRef last = f.putText("copied last");
    // Copied again where the store was out of reach, after the others.
    QJsonObject clip = textClip("copied again");
    clip.insert("captureOrder", last->captureOrder() + 10);
    const QString spill = writeSpill(f.path + ".unsaved-20260102-030405.json", {clip});
    ASSERT_FALSE(spill.isEmpty());
    StoreCaretaker caretaker(*f.store, {});
    caretaker.start();
    ASSERT_TRUE(test::waitUntil([&] { return !QFile::exists(spill); }));
    EXPECT_EQ(again->captureOrder(), last->captureOrder() + 10);
    f.store->setHistoryLimit(1);
    EXPECT_EQ(f.ctx().allClips(), std::vector<ClipRef>{again});
}

TEST(UnsavedRecoveryRestore, ACaptureOrderThatIsNoWholeNumberAboveZeroIsPassedOver)
{
    test::StoreFixture f(true);
    // Capture orders are the clock's milliseconds, as the clips' dates are.
    const qint64 dated = QDateTime::fromString("2026-01-02T03:04:05.000Z", Qt::ISODateWithMs).toMSecsSinceEpoch();
    QJsonArray clips;
    for (const QJsonValue &order : {QJsonValue("12"), QJsonValue(-4), QJsonValue(1.5), QJsonValue(1e300),
                                    QJsonValue(QJsonValue::Null), QJsonValue(dated + 50), QJsonValue(dated + 200)}) {
        QJsonObject clip = textClip(QString("copy %1").arg(clips.size()));
        clip.insert("captureOrder", order);
        clips.append(clip);
    }
    QFile file(f.path + ".unsaved-20260102-030405.json");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(QJsonObject{{"lowestCaptureOrder", dated + 100}, {"clips", clips}}).toJson());
    file.close();
    UnsavedRecovery::Conversion done;
    const auto read = convertedClips(f.path, {file.fileName()}, &done);
    ASSERT_EQ(read.size(), 7u);
    std::vector<qint64> orders;
    for (int i = 0; i < 7; ++i)
        orders.push_back(read.at(QString("copy %1").arg(i))->captureOrder());
    // Passed over, a clip is ordered by its date, as one without an order is; none below the lowest
    // the file names.
    EXPECT_EQ(orders, (std::vector<qint64>{dated, dated, dated, dated, dated, dated + 100, dated + 200}));
}

TEST(UnsavedRecoveryRestore, AFileAddsToAStoredCopyButNeverTakesItsPageTitleOrPinAway)
{
    test::StoreFixture f(true);
    const ClipRef filed = f.putText("filed");
    const PageRef work = f.store->createPage("Work");
    filed->setPinboard(work);
    filed->setIsSavedToPage(true);
    filed->setCustomTitle("mine");
    filed->setIsPinned(true);
    const ClipRef bare = f.putText("bare");
    const ClipRef later = f.putText("captured later");
    ASSERT_TRUE(f.store->save());
    const qint64 bareOrder = bare->captureOrder();
    // Written by a session without the store, after the store's last change: it says less of the
    // first clip and more of the second.
    QJsonObject less = textClip("filed");
    less.insert("expiresAt", f.clock.now().addSecs(60).toString(Qt::ISODateWithMs));
    QJsonObject more = textClip("bare");
    more.insert("isPinned", true);
    more.insert("customTitle", "theirs");
    more.insert("pageName", "Receipts");
    more.insert("captureOrder", bareOrder + 1);
    const QString spill =
        writeSpill(f.path + ".unsaved-20260302-000000.json", {less, more}, {}, "2099-03-02T00:00:00.000Z");
    ASSERT_FALSE(spill.isEmpty());

    StoreCaretaker caretaker(*f.store, {});
    caretaker.start();
    ASSERT_TRUE(test::waitUntil([&] { return !QFile::exists(spill); }));
    EXPECT_EQ(f.ctx().clipCount(), 3);
    EXPECT_EQ(filed->pinboard(), work);
    EXPECT_EQ(filed->customTitle(), "mine");
    EXPECT_TRUE(filed->isPinned());
    EXPECT_FALSE(filed->expiresAt());
    EXPECT_TRUE(bare->isPinned());
    EXPECT_EQ(bare->customTitle(), "theirs");
    ASSERT_TRUE(bare->pinboard());
    EXPECT_EQ(bare->pinboard()->name(), "Receipts");
    // Its later order as the file gives it, not raised above the copies captured after it.
    EXPECT_EQ(bare->captureOrder(), bareOrder + 1);
    EXPECT_LT(bare->captureOrder(), later->captureOrder());
}

TEST(UnsavedRecoveryRestore, ATemporaryClipWhoseTimeRanOutIsNotBroughtBack)
{
    test::StoreFixture f(true);
    const QDateTime expiresAt = f.clock.now().addSecs(300);
    QJsonObject ranOut = textClip("code 1234");
    ranOut.insert("expiresAt", f.clock.now().addSecs(-60).toString(Qt::ISODateWithMs));
    QJsonObject running = textClip("code 5678");
    running.insert("expiresAt", expiresAt.toString(Qt::ISODateWithMs));
    ASSERT_FALSE(writeSpill(f.path + ".unsaved-20260102-030405.json", {ranOut, running}).isEmpty());

    const auto told = startAndWait(f);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_TRUE(told.front().message().startsWith("One copy")) << qPrintable(told.front().message());
    EXPECT_FALSE(f.ctx().newestClipWithHash(test::StoreFixture::textContent("code 1234").contentHash()));
    const ClipRef kept = f.ctx().newestClipWithHash(test::StoreFixture::textContent("code 5678").contentHash());
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->expiresAt(), expiresAt);
}

TEST(UnsavedRecoveryRestore, AFileRefusedAfterItsPagesWereReadLeavesNoneOfThemAndOneWithPagesAloneKeepsThem)
{
    test::StoreFixture f(true);
    // Its Pages come before the clips that show it is no recovery file.
    QByteArray json = R"({"pages":[{"name":"Ghost"}],"clips":[{})";
    for (int i = 0; i < 100000; ++i)
        json += ",{}";
    QFile refused(f.path + ".unsaved-20260102-030405.json");
    ASSERT_TRUE(refused.open(QIODevice::WriteOnly) && refused.write(json + "]}") == json.size() + 2);
    refused.close();
    const QString pagesAlone =
        writeSpill(f.path + ".unsaved-20260102-030408.json", {}, QJsonArray{QJsonObject{{"name", "Kept"}}});
    const QString next = writeSpill(f.path + ".unsaved-20260102-030407.json", {textClip("after it")});
    ASSERT_FALSE(pagesAlone.isEmpty() || next.isEmpty());

    UnsavedRecovery::Conversion done;
    const auto read = convertedClips(f.path, {refused.fileName(), next, pagesAlone}, &done);
    EXPECT_EQ(done.kept, QStringList{refused.fileName()});
    EXPECT_TRUE(done.keptReason.contains("more than 100000 clips")) << qPrintable(done.keptReason);
    EXPECT_EQ(read.size(), 1u);
    QString error;
    QStringList pages;
    for (const QString &path : UnsavedRecovery::converted(f.path, FallbackStore::all(f.path)))
        if (auto fallback = ModelContainer::open(path, systemClock(), &error))
            for (const PageRef &page : fallback->mainContext().pinboards())
                pages << page->name();
    EXPECT_EQ(pages, QStringList{"Kept"});
}
