#include "Quillmere/Model/AutoPageRules.h"
#include "Quillmere/Model/ClipCaptureRules.h"
#include "Quillmere/Model/ClipPresentation.h"
#include "Quillmere/Model/ClipSearch.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/NotificationCenter.h"
#include "Quillmere/Sync/SyncHealthStore.h"

#include "Support/TestSupport.h"

#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <limits>

using namespace quillmere;

namespace {

class ClipStoreTest : public ::testing::Test {
protected:
    void SetUp() override { open(QString()); }

    void open(const QString &path)
    {
        store.reset();
        QString error;
        auto container = ModelContainer::open(path, clock.clock(), &error);
        ASSERT_TRUE(container) << qPrintable(error);
        health = std::make_unique<SyncHealthStore>(*prefs, clock.clock());
        ClipStoreDependencies deps;
        deps.preferences = prefs.prefs.get();
        deps.notificationCenter = &center;
        deps.clock = clock.clock();
        deps.auditRecorder = health.get();
        store = std::make_unique<ClipStore>(std::shared_ptr<ModelContainer>(container.release()), deps);
    }

    static CapturedContent text(const QString &s, const QString &app = QStringLiteral("Editor"))
    {
        CapturedContent c;
        c.kind = ClipKind::text;
        c.text = s;
        c.sourceAppName = app;
        c.sourceAppBundleID = QStringLiteral("org.example.") + app;
        return c;
    }

    // Inserts one clip a second after the previous one.
    ClipRef add(const QString &s)
    {
        clock.advance(1000);
        ClipRef clip = store->insertClip(text(s));
        EXPECT_TRUE(clip) << qPrintable(s);
        return clip;
    }

    QStringList historyTexts() const
    {
        QStringList out;
        for (const ClipRef &clip : store->historyNewestFirst())
            out << clip->text().value_or(QString());
        return out;
    }

    qint64 audit(const QString &key) const { return prefs.prefs->integer(QStringLiteral("syncHealth.") + key, 0); }

    PageRef makePage(const QString &name)
    {
        auto page = std::make_shared<Pinboard>();
        page->setName(name);
        store->context().insert(page);
        EXPECT_TRUE(store->save());
        return page;
    }

    void makeReadOnly() { QSqlQuery(store->context().database()).exec(QStringLiteral("PRAGMA query_only = ON")); }

    test::FakeClock clock;
    test::TempPreferences prefs;
    NotificationCenter center;
    std::unique_ptr<SyncHealthStore> health;
    std::unique_ptr<ClipStore> store;
};

} // namespace

TEST_F(ClipStoreTest, SameContentTwiceReusesTheClipWithANewDateAndSource)
{
    ClipRef first = add(QStringLiteral("hello world"));
    first->setExpiresAt(clock.now().addSecs(60));
    ASSERT_TRUE(store->save());
    const QUuid id = first->dedupID();

    clock.advance(5000);
    ClipRef again = store->insertClip(text(QStringLiteral("hello world"), QStringLiteral("Terminal")));
    ASSERT_TRUE(again);
    EXPECT_EQ(again, first);
    EXPECT_EQ(again->dedupID(), id);
    EXPECT_EQ(again->createdAt(), clock.now());
    EXPECT_EQ(again->sourceAppName(), QStringLiteral("Terminal"));
    EXPECT_EQ(again->sourceAppBundleID(), QStringLiteral("org.example.Terminal"));
    EXPECT_FALSE(again->expiresAt());
    EXPECT_EQ(store->context().clipCount(), 1);
    EXPECT_EQ(audit(QStringLiteral("auditAdded")), 1);

    // A different kind of the same text is a different clip.
    CapturedContent url = text(QStringLiteral("hello world"));
    url.kind = ClipKind::url;
    EXPECT_NE(store->insertClip(url), first);
}

TEST_F(ClipStoreTest, CaptureRulesAreReadAtEveryInsert)
{
    EXPECT_TRUE(store->insertClip(text(QStringLiteral("first"), QStringLiteral("KeePassXC"))));
    prefs->setJSON(ClipRulePreferences{{QStringLiteral("keepass")}, {QStringLiteral("confidential")}}, ClipRulePreferences::key);
    EXPECT_FALSE(store->insertClip(text(QStringLiteral("second"), QStringLiteral("KeePassXC"))));
    EXPECT_FALSE(store->insertClip(text(QString::fromUtf8("CONFIDENTIAL memo"))));
    // The rules also refuse a reuse of a clip stored before they existed.
    EXPECT_FALSE(store->insertClip(text(QStringLiteral("first"), QStringLiteral("KeePassXC"))));
    EXPECT_EQ(historyTexts(), QStringList{QStringLiteral("first")});

    // A damaged text list leaves the app list working.
    prefs->setData(ClipRulePreferences::key, R"({"blockedAppPatterns":["keepass"],"blockedTextPatterns":7})");
    EXPECT_FALSE(store->insertClip(text(QStringLiteral("third"), QStringLiteral("KeePassXC"))));
    EXPECT_EQ(store->context().clipCount(), 1);
}

TEST_F(ClipStoreTest, AutoPageRuleFilesANewClipButNotAReusedOne)
{
    ClipRef earlier = add(QStringLiteral("Invoice 17 from ACME"));
    PageRef work = makePage(QStringLiteral("Work"));
    prefs->setJSON(AutoPageRulePreferences{{{QUuid::createUuid(), work->dedupID(), {QStringLiteral("invoice")}}}},
                   AutoPageRulePreferences::key);

    ClipRef fresh = add(QString::fromUtf8("INVOICE 18 from Société"));
    EXPECT_EQ(fresh->pinboard(), work);
    EXPECT_TRUE(fresh->isSavedToPage());
    EXPECT_FALSE(fresh->expiresAt());

    ClipRef reused = add(QStringLiteral("Invoice 17 from ACME"));
    EXPECT_EQ(reused, earlier);
    EXPECT_FALSE(reused->pinboard());
    EXPECT_FALSE(reused->isSavedToPage());

    EXPECT_EQ(work->items().size(), 1u);
}

TEST_F(ClipStoreTest, LaterRecognisedTextCanFileTheClip)
{
    PageRef receipts = makePage(QStringLiteral("Receipts"));
    prefs->setJSON(AutoPageRulePreferences{{{QUuid::createUuid(), receipts->dedupID(), {QStringLiteral("total due")}}}},
                   AutoPageRulePreferences::key);
    CapturedContent image;
    image.kind = ClipKind::image;
    image.imageData = QByteArray(100, 'p');
    ClipRef clip = store->insertClip(image);
    ASSERT_TRUE(clip);
    EXPECT_FALSE(clip->pinboard());

    store->updateRecognizedText(image.contentHash(), QStringLiteral("  Total due: 12 EUR \n"));
    EXPECT_EQ(clip->recognizedText(), QStringLiteral("Total due: 12 EUR"));
    EXPECT_EQ(clip->payloadByteCount(), 100 + 17);
    EXPECT_EQ(clip->pinboard(), receipts);

    // Recognition that found nothing still updates the clip.
    store->updateRecognizedText(image.contentHash(), QStringLiteral("   "));
    EXPECT_EQ(clip->recognizedText(), QString());
    EXPECT_EQ(clip->payloadByteCount(), 100);
}

TEST_F(ClipStoreTest, UpdatesAddressTheNewestClipWithTheHash)
{
    ClipRef older = add(QStringLiteral("shared"));
    clock.advance(1000);
    ClipRef newer = store->makeClip(text(QStringLiteral("shared")));
    store->context().insert(newer);
    ASSERT_TRUE(store->save());

    store->updateFilePreview(older->contentHash(), QByteArray(20, 'i'), QStringLiteral("preview text"));
    EXPECT_EQ(newer->imageDataSize(), 20);
    EXPECT_EQ(newer->recognizedText(), QStringLiteral("preview text"));
    EXPECT_EQ(newer->payloadByteCount(), 20 + 6 + 12);
    EXPECT_FALSE(older->hasImageData());

    // Unknown hashes change nothing.
    QSignalSpy saves(store.get(), &ClipStore::didSave);
    store->updateRecognizedText(QStringLiteral("nope"), QStringLiteral("x"));
    EXPECT_EQ(saves.count(), 0);
}

TEST_F(ClipStoreTest, PruningRemovesTheOldestUnsavedClipsBeyondTheLimit)
{
    for (int i = 1; i <= 6; ++i)
        add(QStringLiteral("clip %1").arg(i));
    store->togglePin(store->historyNewestFirst().back()); // "clip 1" is pinned
    ASSERT_TRUE(store->historyNewestFirst().back()->isPinned());

    store->setHistoryLimit(3);
    EXPECT_EQ(historyTexts(), (QStringList{QStringLiteral("clip 6"), QStringLiteral("clip 5"), QStringLiteral("clip 4"),
                                           QStringLiteral("clip 1")}));
    EXPECT_EQ(audit(QStringLiteral("auditPruned.overLimit")), 2);
    EXPECT_EQ(store->historyLimit(), 3);
    EXPECT_EQ(prefs->integer(QStringLiteral("historyLimit")), 3);

    // Each new clip now pushes the oldest unsaved one out; Page clips are never counted.
    PageRef page = makePage(QStringLiteral("Keep"));
    store->historyNewestFirst()[2]->setPinboard(page); // "clip 4"
    ASSERT_TRUE(store->save());
    add(QStringLiteral("clip 7"));
    EXPECT_EQ(historyTexts(), (QStringList{QStringLiteral("clip 7"), QStringLiteral("clip 6"), QStringLiteral("clip 5"),
                                           QStringLiteral("clip 4"), QStringLiteral("clip 1")}));
    add(QStringLiteral("clip 8"));
    EXPECT_EQ(historyTexts(), (QStringList{QStringLiteral("clip 8"), QStringLiteral("clip 7"), QStringLiteral("clip 6"),
                                           QStringLiteral("clip 4"), QStringLiteral("clip 1")}));
    EXPECT_EQ(audit(QStringLiteral("auditPruned.overLimit")), 3);
}

TEST_F(ClipStoreTest, PruningSeesChangesMadeBetweenInserts)
{
    store->setHistoryLimit(2);
    add(QStringLiteral("c1"));
    add(QStringLiteral("c2"));
    add(QStringLiteral("c3"));
    add(QStringLiteral("c4"));
    EXPECT_EQ(historyTexts(), (QStringList{QStringLiteral("c4"), QStringLiteral("c3")}));

    // Pinned behind the store's back, not even saved: it must not be pruned.
    store->historyNewestFirst()[1]->setIsPinned(true);
    add(QStringLiteral("c5"));
    EXPECT_EQ(historyTexts(), (QStringList{QStringLiteral("c5"), QStringLiteral("c4"), QStringLiteral("c3")}));

    // A clip another part of the program inserted counts towards the limit.
    clock.advance(1000);
    store->context().insert(store->makeClip(text(QStringLiteral("imported"))));
    ASSERT_TRUE(store->save());
    add(QStringLiteral("c6"));
    EXPECT_EQ(historyTexts(), (QStringList{QStringLiteral("c6"), QStringLiteral("imported"), QStringLiteral("c3")}));

    // Unpinning makes a clip a candidate again, and the oldest.
    store->togglePin(store->historyNewestFirst()[2]);
    add(QStringLiteral("c7"));
    EXPECT_EQ(historyTexts(), (QStringList{QStringLiteral("c7"), QStringLiteral("c6")}));
}

TEST_F(ClipStoreTest, ANewClipIsNeverPrunedByItsOwnInsertEvenWhenTheClockWentBack)
{
    store->setHistoryLimit(2);
    add(QStringLiteral("a"));
    add(QStringLiteral("b"));
    clock.advance(-3600 * 1000); // the clock was an hour fast and has been put right
    add(QStringLiteral("c"));
    EXPECT_EQ(historyTexts(), (QStringList{QStringLiteral("b"), QStringLiteral("c")}));
    // Once the new clip is stored it ages like any other: the next one pushes out the oldest.
    add(QStringLiteral("d"));
    EXPECT_EQ(historyTexts(), (QStringList{QStringLiteral("b"), QStringLiteral("d")}));
    EXPECT_EQ(audit(QStringLiteral("auditPruned.overLimit")), 2);

    store->setHistoryLimit(1);
    EXPECT_EQ(historyTexts(), (QStringList{QStringLiteral("b")}));
    add(QStringLiteral("e"));
    EXPECT_EQ(historyTexts(), (QStringList{QStringLiteral("e")}));
}

TEST_F(ClipStoreTest, AHugeHistoryLimitIsAcceptedAndPrunesNothing)
{
    store->setHistoryLimit(std::numeric_limits<qint64>::max());
    add(QStringLiteral("one"));
    add(QStringLiteral("two"));
    EXPECT_EQ(store->context().clipCount(), 2);
}

TEST_F(ClipStoreTest, PruningSeesChangesMadeByThoseListeningToTheSave)
{
    store->setHistoryLimit(3);
    ClipRef first = add(QStringLiteral("c1"));
    add(QStringLiteral("c2"));
    bool done = false;
    QObject::connect(store.get(), &ClipStore::didSave, store.get(), [&] {
        if (!std::exchange(done, true))
            store->togglePin(first);
    });
    add(QStringLiteral("c3"));
    ASSERT_TRUE(first->isPinned());
    add(QStringLiteral("c4"));
    EXPECT_FALSE(first->isDeleted());
    EXPECT_EQ(historyTexts(), (QStringList{QStringLiteral("c4"), QStringLiteral("c3"), QStringLiteral("c2"),
                                           QStringLiteral("c1")}));
}

TEST_F(ClipStoreTest, NoChosenLimitAndUnlimitedKeepEveryClip)
{
    for (int i = 0; i < 520; ++i)
        add(QStringLiteral("clip %1").arg(i));
    EXPECT_EQ(store->context().clipCount(), 520);
    EXPECT_EQ(store->historyLimit(), 500);
    EXPECT_FALSE(store->resolveSettings());

    store->setHistoryLimit(-1);
    add(QStringLiteral("one more"));
    EXPECT_EQ(store->context().clipCount(), 521);
    EXPECT_EQ(store->historyLimit(), -1);
    EXPECT_EQ(audit(QStringLiteral("auditPruned.overLimit")), 0);

    // 0 is "not chosen" and is not a value the store accepts.
    store->setHistoryLimit(0);
    EXPECT_EQ(store->historyLimit(), -1);
}

TEST_F(ClipStoreTest, DuplicateSettingsRecordsMergeIntoTheLatest)
{
    auto older = std::make_shared<AppSettings>();
    older->setHistoryLimitValue(2000);
    older->setUpdatedAt(clock.now().addDays(-1));
    auto newer = std::make_shared<AppSettings>();
    newer->setHistoryLimitValue(100);
    newer->setUpdatedAt(clock.now());
    store->context().insert(older);
    store->context().insert(newer);
    ASSERT_TRUE(store->save());

    EXPECT_EQ(store->historyLimit(), 100);
    EXPECT_EQ(store->context().appSettings().size(), 2u); // reading changes nothing
    EXPECT_EQ(store->resolveSettings(), newer);
    EXPECT_EQ(store->context().appSettings().size(), 1u);
}

TEST_F(ClipStoreTest, SensitiveClipsExpireFiveMinutesAheadUnlessKeptOrSwitchedOff)
{
    ClipRef code = add(QStringLiteral("482913"));
    store->applySensitiveExpiry(code, clock.now());
    EXPECT_EQ(code->expiresAt(), clock.now().addSecs(300));

    ClipRef prose = add(QStringLiteral("Lunch at noon?"));
    store->applySensitiveExpiry(prose, clock.now());
    EXPECT_FALSE(prose->expiresAt());

    ClipRef pinned = add(QStringLiteral("713502"));
    store->togglePin(pinned);
    store->applySensitiveExpiry(pinned, clock.now());
    EXPECT_FALSE(pinned->expiresAt());

    ClipRef saved = add(QStringLiteral("662810"));
    saved->setIsSavedToPage(true);
    ASSERT_TRUE(store->save());
    store->applySensitiveExpiry(saved, clock.now());
    EXPECT_FALSE(saved->expiresAt());

    prefs->setBool(QStringLiteral("autoExpireSensitiveClips"), false);
    ClipRef off = add(QStringLiteral("905531"));
    store->applySensitiveExpiry(off, clock.now());
    EXPECT_FALSE(off->expiresAt());

    // An expiry already set is left as it is.
    prefs->remove(QStringLiteral("autoExpireSensitiveClips"));
    off->setExpiresAt(clock.now().addSecs(10));
    ASSERT_TRUE(store->save());
    store->applySensitiveExpiry(off, clock.now());
    EXPECT_EQ(off->expiresAt(), clock.now().addSecs(10));
}

TEST_F(ClipStoreTest, ExpirySweepDeletesUnkeptClipsAndClearsTheExpiryOfKeptOnes)
{
    ClipRef gone = add(QStringLiteral("temporary"));
    ClipRef pinned = add(QStringLiteral("pinned later"));
    ClipRef onPage = add(QStringLiteral("filed later"));
    ClipRef future = add(QStringLiteral("not yet"));
    PageRef page = makePage(QStringLiteral("Page"));
    const QDateTime t = clock.now();
    gone->setExpiresAt(t);
    pinned->setExpiresAt(t.addSecs(-10));
    pinned->setIsPinned(true);
    onPage->setExpiresAt(t.addSecs(-10));
    onPage->setPinboard(page);
    future->setExpiresAt(t.addSecs(1));
    ASSERT_TRUE(store->save());

    EXPECT_EQ(store->deleteExpiredTemporaryClips(t), 1);
    EXPECT_TRUE(gone->isDeleted());
    EXPECT_FALSE(pinned->expiresAt());
    EXPECT_FALSE(onPage->expiresAt());
    EXPECT_EQ(future->expiresAt(), t.addSecs(1));
    EXPECT_EQ(store->context().clipCount(), 3);
    EXPECT_EQ(audit(QStringLiteral("auditPruned.expired")), 1);

    EXPECT_EQ(store->deleteExpiredTemporaryClips(t), 0);
    EXPECT_EQ(audit(QStringLiteral("auditPruned.expired")), 1);
}

TEST_F(ClipStoreTest, TemporaryClipsExpireButNeverPutAKeptOrPermanentClipOnATimer)
{
    ClipRef temp = store->insertTemporaryClip(text(QStringLiteral("dropped.txt")), 3600);
    ASSERT_TRUE(temp);
    EXPECT_EQ(temp->expiresAt(), clock.now().addSecs(3600));
    EXPECT_EQ(audit(QStringLiteral("auditAdded")), 1);

    ClipRef permanent = add(QStringLiteral("kept note"));
    EXPECT_EQ(store->insertTemporaryClip(text(QStringLiteral("kept note")), 3600), permanent);
    EXPECT_FALSE(permanent->expiresAt());

    clock.advance(1000);
    EXPECT_EQ(store->insertTemporaryClip(text(QStringLiteral("dropped.txt")), 3600), temp);
    EXPECT_EQ(temp->expiresAt(), clock.now().addSecs(3600));
    EXPECT_EQ(audit(QStringLiteral("auditAdded")), 2);
}

TEST_F(ClipStoreTest, BumpToTopMakesTheClipStrictlyFirst)
{
    ClipRef a = add(QStringLiteral("a"));
    ClipRef b = add(QStringLiteral("b"));
    // A clip from another device may carry a date ahead of ours.
    b->setCreatedAt(clock.now().addSecs(3600));
    ASSERT_TRUE(store->save());

    store->bumpToTop(a, clock.now());
    EXPECT_EQ(a->createdAt(), b->createdAt().addMSecs(1));
    EXPECT_EQ(store->historyNewestFirst().front(), a);

    clock.advance(7200 * 1000);
    store->bumpToTop(b, clock.now());
    EXPECT_EQ(b->createdAt(), clock.now());
    EXPECT_EQ(store->historyNewestFirst().front(), b);
}

TEST_F(ClipStoreTest, PinRenameAndEditKeepTheClipAndClearItsExpiry)
{
    ClipRef clip = add(QStringLiteral("draft"));
    clip->setExpiresAt(clock.now().addSecs(60));
    ASSERT_TRUE(store->save());

    store->renameClip(clip, QStringLiteral("  Weekly plan \n"));
    EXPECT_EQ(clip->customTitle(), QStringLiteral("Weekly plan"));
    EXPECT_TRUE(clip->isPinned());
    store->renameClip(clip, QStringLiteral("   "));
    EXPECT_FALSE(clip->customTitle());

    store->editClipText(clip, QStringLiteral("final"));
    EXPECT_EQ(clip->text(), QStringLiteral("final"));
    EXPECT_EQ(clip->contentHash(), text(QStringLiteral("final")).contentHash());
    // The edited clip is found by its new content.
    EXPECT_EQ(store->insertClip(text(QStringLiteral("final"))), clip);

    // A rich copy of the old words would win over the edit when pasted: it goes.
    CapturedContent rich = text(QStringLiteral("old words"));
    rich.fileData = QByteArray("{\\rtf1 old words}");
    rich.fileTypeIdentifier = QStringLiteral("public.rtf");
    clock.advance(1000);
    ClipRef styled = store->insertClip(rich);
    ASSERT_TRUE(styled);
    store->editClipText(styled, QStringLiteral("old words"));
    EXPECT_TRUE(styled->hasFileData());
    store->editClipText(styled, QStringLiteral("new words"));
    EXPECT_FALSE(styled->fileData());
    EXPECT_FALSE(styled->fileTypeIdentifier());
    EXPECT_EQ(styled->contentHash(), text(QStringLiteral("new words")).contentHash());

    // Edited text is capped like captured text.
    store->editClipText(clip, QString(CapturedContent::maxTextBytes + 10, QLatin1Char('x')));
    EXPECT_EQ(clip->text()->size(), CapturedContent::maxTextBytes);
}

TEST_F(ClipStoreTest, LinkMetadataOnlyForLiveLinksAndOnlyAFirstPictureWithinTheCap)
{
    CapturedContent url = text(QStringLiteral("https://example.com/post"));
    url.kind = ClipKind::url;
    ClipRef link = store->insertClip(url);
    ClipRef plain = add(QStringLiteral("not a link"));

    store->updateLinkMetadata(link, QStringLiteral("  "), QByteArray(ClipStore::maxLinkPictureBytes + 1, 'x'));
    EXPECT_FALSE(link->linkTitle());
    EXPECT_FALSE(link->hasImageData());

    store->updateLinkMetadata(link, QStringLiteral("A post"), QByteArray(50, 'a'));
    store->updateLinkMetadata(link, std::nullopt, QByteArray(60, 'b'));
    EXPECT_EQ(link->linkTitle(), QStringLiteral("A post"));
    EXPECT_EQ(link->imageDataSize(), 50);

    store->updateLinkMetadata(plain, QStringLiteral("title"), std::nullopt);
    EXPECT_FALSE(plain->linkTitle());

    store->deleteClip(link);
    EXPECT_TRUE(link->isDeleted());
    store->updateLinkMetadata(link, QStringLiteral("late"), std::nullopt);
    EXPECT_EQ(link->linkTitle(), QStringLiteral("A post"));
}

TEST_F(ClipStoreTest, ClearHistoryKeepsPinnedAndPageClips)
{
    PageRef page = makePage(QStringLiteral("Page"));
    ClipRef pinned = add(QStringLiteral("pinned"));
    ClipRef filed = add(QStringLiteral("filed"));
    ClipRef saved = add(QStringLiteral("saved"));
    add(QStringLiteral("loose 1"));
    add(QStringLiteral("loose 2"));
    pinned->setIsPinned(true);
    filed->setPinboard(page);
    saved->setIsSavedToPage(true);
    ASSERT_TRUE(store->save());

    store->clearHistory();
    EXPECT_EQ(historyTexts(), (QStringList{QStringLiteral("saved"), QStringLiteral("filed"), QStringLiteral("pinned")}));
}

TEST_F(ClipStoreTest, FailedSavesLoseNoEarlierClipAndLeaveNothingHalfDone)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("store.sqlite"));
    open(path);
    add(QStringLiteral("one"));
    add(QStringLiteral("two"));
    ClipRef three = add(QStringLiteral("three"));
    const QDateTime threeDate = three->createdAt();

    makeReadOnly();
    QSignalSpy saves(store.get(), &ClipStore::didSave);
    EXPECT_FALSE(store->insertClip(text(QStringLiteral("four"))));
    EXPECT_FALSE(store->insertClip(text(QStringLiteral("one"))));
    store->clearHistory();
    store->bumpToTop(store->historyNewestFirst().back(), clock.now());
    store->setHistoryLimit(1);
    EXPECT_EQ(saves.count(), 0);
    EXPECT_EQ(historyTexts(), (QStringList{QStringLiteral("three"), QStringLiteral("two"), QStringLiteral("one")}));
    EXPECT_EQ(three->createdAt(), threeDate);
    EXPECT_FALSE(store->context().hasChanges());
    EXPECT_EQ(audit(QStringLiteral("auditAdded")), 3);
    EXPECT_FALSE(prefs->contains(QStringLiteral("historyLimit")));

    open(path);
    EXPECT_EQ(historyTexts(), (QStringList{QStringLiteral("three"), QStringLiteral("two"), QStringLiteral("one")}));
    EXPECT_TRUE(store->insertClip(text(QStringLiteral("four"))));
}

TEST_F(ClipStoreTest, QueriesEditsAndPruningNeverReadImageOrFileBytes)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("store.sqlite"));
    open(path);
    const QByteArray picture(300 * 1024, 'p');
    CapturedContent image;
    image.kind = ClipKind::image;
    image.imageData = picture;
    clock.advance(1000);
    ASSERT_TRUE(store->insertClip(image));
    CapturedContent file;
    file.kind = ClipKind::file;
    file.text = QStringLiteral("/tmp/report.pdf");
    file.fileName = QStringLiteral("report.pdf");
    file.fileData = QByteArray(300 * 1024, 'f');
    clock.advance(1000);
    ASSERT_TRUE(store->insertClip(file));
    add(QStringLiteral("invoice for March"));
    add(QStringLiteral("budget"));

    open(path);
    const auto history = store->historyNewestFirst();
    ASSERT_EQ(history.size(), 4u);
    const ClipRef img = history[3], doc = history[2];
    ASSERT_EQ(img->kind(), ClipKind::image);
    ClipSearchFilters inbox;
    inbox.imageInboxOnly = true;
    inbox.date = ClipDateFilter::last7Days;
    const QueryMatcher query(ClipSearchFilters::queryTerms(QStringLiteral("report")));
    int shown = 0;
    for (const ClipRef &clip : history) {
        shown += ClipSearchFilters::matches(*clip, inbox, clock.now()) || query.matches(*clip);
        safePresentation(*clip);
        searchText(*clip, 1000);
        payloadByteCount(*clip);
    }
    EXPECT_EQ(shown, 2);
    EXPECT_FALSE(img->isImageDataLoaded());
    EXPECT_FALSE(doc->isFileDataLoaded());

    store->togglePin(img);
    store->bumpToTop(img, clock.now());
    store->dedupeSweep(true, clock.now());
    store->setHistoryLimit(1); // prunes the file clip and the older text
    EXPECT_TRUE(doc->isDeleted());
    EXPECT_FALSE(doc->isFileDataLoaded());

    // Rewriting the row of a clip whose bytes stayed on disk keeps them.
    open(path);
    EXPECT_EQ(store->historyNewestFirst().front()->imageData(), picture);
}

TEST_F(ClipStoreTest, SourceAppBrandsAreCreatedUpdatedAndLeftAloneWhenUnchanged)
{
    store->upsertSourceAppBrand(QStringLiteral("org.app"), std::nullopt, QStringLiteral("FF0000"), QByteArray("png"));
    BrandRef brand = store->context().sourceAppBrand(QStringLiteral("org.app"));
    ASSERT_TRUE(brand);
    EXPECT_EQ(brand->appName(), QString());
    EXPECT_EQ(brand->updatedAt(), clock.now());

    QSignalSpy saves(store.get(), &ClipStore::didSave);
    clock.advance(1000);
    store->upsertSourceAppBrand(QStringLiteral("org.app"), std::nullopt, QStringLiteral("FF0000"), QByteArray("png"));
    EXPECT_EQ(saves.count(), 0);
    EXPECT_NE(brand->updatedAt(), clock.now());

    store->upsertSourceAppBrand(QStringLiteral("org.app"), QStringLiteral("App"), QStringLiteral("00FF00"), std::nullopt);
    EXPECT_EQ(brand->appName(), QStringLiteral("App"));
    EXPECT_EQ(brand->colorHex(), QStringLiteral("00FF00"));
    EXPECT_FALSE(brand->iconPNG());
    EXPECT_EQ(brand->updatedAt(), clock.now());
    EXPECT_EQ(saves.count(), 1);
}

