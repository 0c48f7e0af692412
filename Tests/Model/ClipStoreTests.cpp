#include "Support/PagesFixture.h"

#include "Quillmere/Model/AutoPageRules.h"
#include "Quillmere/Model/ClipCaptureRules.h"
#include "Quillmere/Model/ClipPresentation.h"
#include "Quillmere/Model/ClipSearch.h"

#include <QSignalSpy>
#include <QSqlError>
#include <limits>

using namespace quillmere;

namespace {

class ClipStoreTest : public ::testing::Test, public test::StoreFixture {
protected:
    static CapturedContent text(const QString &s, const QString &app = "Editor") { return textContent(s, app); }

    // Captures one clip a second after the previous one.
    ClipRef add(const QString &s)
    {
        clock.advance(1000);
        ClipRef clip = store->insertClip(text(s));
        EXPECT_TRUE(clip) << qPrintable(s);
        return clip;
    }

    QStringList history() const
    {
        QStringList out;
        for (const ClipRef &clip : store->historyNewestFirst())
            out << clip->text().value_or(QString());
        return out;
    }

    void fileUnder(const QString &pattern, const PageRef &page)
    {
        prefs->setJSON(AutoPageRulePreferences{{{QUuid::createUuid(), page->dedupID(), {pattern}}}},
                       AutoPageRulePreferences::key);
    }

    void onDisk()
    {
        path = dir.filePath("store.sqlite");
        open();
    }
};

} // namespace

TEST_F(ClipStoreTest, SameContentTwiceReusesTheClipWithANewDateAndSource)
{
    ClipRef first = add("hello world");
    first->setExpiresAt(clock.now().addSecs(60));
    ASSERT_TRUE(store->save());
    const QUuid id = first->dedupID();

    clock.advance(5000);
    ClipRef again = store->insertClip(text("hello world", "Terminal"));
    EXPECT_EQ(again, first);
    EXPECT_EQ(again->dedupID(), id);
    EXPECT_EQ(again->createdAt(), clock.now());
    EXPECT_EQ(again->sourceAppName(), QString("Terminal"));
    EXPECT_EQ(again->sourceAppBundleID(), QString("org.example.Terminal"));
    EXPECT_FALSE(again->expiresAt());
    EXPECT_EQ(ctx().clipCount(), 1);
    EXPECT_EQ(audited("auditAdded"), 1);

    // A different kind of the same text is a different clip.
    CapturedContent url = text("hello world");
    url.kind = ClipKind::url;
    EXPECT_NE(store->insertClip(url), first);
}

TEST_F(ClipStoreTest, CaptureRulesAreReadAtEveryInsert)
{
    EXPECT_TRUE(store->insertClip(text("first", "KeePassXC")));
    prefs->setJSON(ClipRulePreferences{{"keepass"}, {"confidential"}}, ClipRulePreferences::key);
    EXPECT_FALSE(store->insertClip(text("second", "KeePassXC")));
    EXPECT_FALSE(store->insertClip(text("CONFIDENTIAL memo")));
    // The rules also refuse a reuse of a clip stored before they existed.
    EXPECT_FALSE(store->insertClip(text("first", "KeePassXC")));
    EXPECT_EQ(history(), QStringList{"first"});

    // A damaged text list leaves the app list working.
    prefs->setData(ClipRulePreferences::key, R"({"blockedAppPatterns":["keepass"],"blockedTextPatterns":7})");
    EXPECT_FALSE(store->insertClip(text("third", "KeePassXC")));
    EXPECT_EQ(ctx().clipCount(), 1);
}

TEST_F(ClipStoreTest, AutoPageRuleFilesANewClipOrALaterRecognisedOneButNotAReusedOne)
{
    ClipRef earlier = add("Invoice 17 from ACME");
    PageRef work = store->createPage("Work");
    fileUnder("invoice", work);

    ClipRef fresh = add(QString::fromUtf8("INVOICE 18 from Société"));
    EXPECT_EQ(fresh->pinboard(), work);
    EXPECT_TRUE(fresh->isSavedToPage());
    EXPECT_FALSE(fresh->expiresAt());

    ClipRef reused = add("Invoice 17 from ACME");
    EXPECT_EQ(reused, earlier);
    EXPECT_FALSE(reused->pinboard());
    EXPECT_FALSE(reused->isSavedToPage());
    EXPECT_EQ(work->items().size(), 1u);

    // An image is filed once its recognised text matches; recognition that found nothing still updates it.
    fileUnder("total due", work);
    CapturedContent image{.kind = ClipKind::image, .imageData = QByteArray(100, 'p')};
    ClipRef scan = store->insertClip(image);
    ASSERT_TRUE(scan);
    EXPECT_FALSE(scan->pinboard());
    store->updateRecognizedText(image.contentHash(), QString("  Total due: 12 EUR \n"));
    EXPECT_EQ(scan->recognizedText(), QString("Total due: 12 EUR"));
    EXPECT_EQ(scan->payloadByteCount(), 100 + 17);
    EXPECT_EQ(scan->pinboard(), work);
    store->updateRecognizedText(image.contentHash(), QString("   "));
    EXPECT_EQ(scan->recognizedText(), QString());
    EXPECT_EQ(scan->payloadByteCount(), 100);
}

TEST_F(ClipStoreTest, UpdatesAddressTheNewestClipWithTheHash)
{
    ClipRef older = add("shared");
    ClipRef newer = put(text("shared"));
    store->updateFilePreview(older->contentHash(), QByteArray(20, 'i'), QString("preview text"));
    EXPECT_EQ(newer->imageDataSize(), 20);
    EXPECT_EQ(newer->recognizedText(), QString("preview text"));
    EXPECT_EQ(newer->payloadByteCount(), 20 + 6 + 12);
    EXPECT_FALSE(older->hasImageData());

    // Unknown hashes change nothing.
    QSignalSpy saves(store.get(), &ClipStore::didSave);
    store->updateRecognizedText("nope", QString("x"));
    EXPECT_EQ(saves.count(), 0);
}

TEST_F(ClipStoreTest, PruningRemovesTheOldestUnsavedClipsBeyondTheLimit)
{
    for (int i = 1; i <= 6; ++i)
        add(QString("clip %1").arg(i));
    store->togglePin(store->historyNewestFirst().back()); // "clip 1"

    store->setHistoryLimit(3);
    EXPECT_EQ(history(), (QStringList{"clip 6", "clip 5", "clip 4", "clip 1"}));
    EXPECT_EQ(audited("auditPruned.overLimit"), 2);
    EXPECT_EQ(store->historyLimit(), 3);
    EXPECT_EQ(prefs->integer("historyLimit"), 3);

    // Each new clip now pushes the oldest unsaved one out; Page clips are never counted.
    store->historyNewestFirst()[2]->setPinboard(store->createPage("Keep")); // "clip 4"
    ASSERT_TRUE(store->save());
    add("clip 7");
    EXPECT_EQ(history(), (QStringList{"clip 7", "clip 6", "clip 5", "clip 4", "clip 1"}));
    add("clip 8");
    EXPECT_EQ(history(), (QStringList{"clip 8", "clip 7", "clip 6", "clip 4", "clip 1"}));
    EXPECT_EQ(audited("auditPruned.overLimit"), 3);
}

TEST_F(ClipStoreTest, PruningSeesChangesMadeBetweenInserts)
{
    store->setHistoryLimit(2);
    for (const char *s : {"c1", "c2", "c3", "c4"})
        add(s);
    EXPECT_EQ(history(), (QStringList{"c4", "c3"}));

    // Pinned behind the store's back, not even saved: it must not be pruned.
    store->historyNewestFirst()[1]->setIsPinned(true);
    add("c5");
    EXPECT_EQ(history(), (QStringList{"c5", "c4", "c3"}));

    // A clip another part of the program inserted counts towards the limit.
    put(text("imported"));
    add("c6");
    EXPECT_EQ(history(), (QStringList{"c6", "imported", "c3"}));

    // Unpinning makes a clip a candidate again, and the oldest.
    store->togglePin(store->historyNewestFirst()[2]);
    add("c7");
    EXPECT_EQ(history(), (QStringList{"c7", "c6"}));
}

TEST_F(ClipStoreTest, PruningSeesChangesMadeByThoseListeningToTheSave)
{
    store->setHistoryLimit(3);
    ClipRef first = add("c1");
    add("c2");
    bool done = false;
    QObject::connect(store.get(), &ClipStore::didSave, store.get(), [&] {
        if (!std::exchange(done, true))
            store->togglePin(first);
    });
    add("c3");
    ASSERT_TRUE(first->isPinned());
    add("c4");
    EXPECT_EQ(history(), (QStringList{"c4", "c3", "c2", "c1"}));
}

TEST_F(ClipStoreTest, ANewClipIsNeverPrunedByItsOwnInsertEvenWhenTheClockWentBack)
{
    store->setHistoryLimit(2);
    add("a");
    add("b");
    clock.advance(-3600 * 1000); // the clock was an hour fast and has been put right
    ClipRef c = add("c");
    EXPECT_EQ(c->createdAt(), clock.now());
    // Shown by date, pruned by capture: the first captured go first.
    EXPECT_EQ(history(), (QStringList{"b", "c"}));
    add("d");
    EXPECT_EQ(history(), (QStringList{"d", "c"}));
    EXPECT_EQ(audited("auditPruned.overLimit"), 2);

    store->setHistoryLimit(1);
    EXPECT_EQ(history(), QStringList{"d"});
    add("e");
    EXPECT_EQ(history(), QStringList{"e"});
}

TEST_F(ClipStoreTest, CopiesAfterTheClockWentBackADayAreDatedByItAndKeptOverOlderCaptures)
{
    store->setHistoryLimit(50);
    for (int i = 0; i < 50; ++i)
        add(QString("old %1").arg(i));
    clock.advance(-24 * 3600 * 1000);
    QStringList fresh;
    for (int i = 0; i < 5; ++i) {
        ClipRef clip = add(QString("new %1").arg(i));
        EXPECT_EQ(clip->createdAt(), clock.now());
        fresh.prepend(QString("new %1").arg(i));
    }
    EXPECT_EQ(history().size(), 50);
    EXPECT_EQ(history().mid(45), fresh);
    EXPECT_EQ(history()[44], "old 5");

    // A copy of an older clip is a new capture: dated now, it outlasts the clips captured before it.
    ClipRef again = add("old 20");
    EXPECT_EQ(again->createdAt(), clock.now());
    for (int i = 5; i < 25; ++i)
        add(QString("new %1").arg(i));
    EXPECT_TRUE(history().contains("old 20"));
    EXPECT_FALSE(history().contains("old 21"));
    EXPECT_EQ(history().size(), 50);

    // A typed note is dated by the clock too.
    ClipRef note = store->insertManualClip(text("typed"), nullptr, std::nullopt);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->createdAt(), clock.now());
}

TEST_F(ClipStoreTest, AClockPutAYearAheadAndBackDatesNoLaterCopyAheadAcrossRestarts)
{
    onDisk();
    store->setHistoryLimit(4);
    add("a");
    add("b");
    const qint64 year = 365LL * 24 * 3600 * 1000;
    clock.advance(year);
    ClipRef ahead = add("ahead");
    clock.advance(-year);
    open();
    ClipRef c = add("c");
    EXPECT_EQ(c->createdAt(), clock.now());
    ClipRef d = add("d");
    EXPECT_EQ(d->createdAt(), clock.now());
    // The clip made while the clock ran ahead keeps its date and shows first; the limit goes by capture.
    EXPECT_EQ(history(), (QStringList{"ahead", "d", "c", "b"}));

    open();
    ClipRef e = add("e");
    EXPECT_EQ(e->createdAt(), clock.now());
    EXPECT_EQ(history(), (QStringList{"ahead", "e", "d", "c"}));
    add("f");
    EXPECT_EQ(history(), (QStringList{"f", "e", "d", "c"}));
    // A copy made again, and one pasted from the history, are captures too.
    add("c");
    add("g");
    EXPECT_EQ(history(), (QStringList{"g", "c", "f", "e"}));
    clock.advance(500);
    store->bumpToTop(ctx().newestClipWithHash(text("e").contentHash()), clock.now());
    add("h");
    EXPECT_EQ(history(), (QStringList{"h", "e", "g", "c"}));
    EXPECT_EQ(ctx().newestClip()->createdAt(), clock.now());
}

TEST_F(ClipStoreTest, AStoreThePreviousReleaseWroteKeepsItsPruningOrder)
{
    onDisk();
    add("a");
    add("b");
    add("c");
    // As before the capture order was kept: it comes back from the dates.
    {
        QSqlQuery q(ctx().database());
        ASSERT_TRUE(q.exec("DROP INDEX clips_by_capture"));
        ASSERT_TRUE(q.exec("ALTER TABLE clips DROP COLUMN captureOrder")) << qPrintable(q.lastError().text());
    }
    open();
    store->setHistoryLimit(2);
    EXPECT_EQ(history(), (QStringList{"c", "b"}));

    // The previous release dates a new copy and one made again above the history, and gives
    // neither an order: both were captured after every other, in the order of their dates.
    const QDateTime top = ctx().newestClip()->createdAt();
    {
        QSqlQuery q(ctx().database());
        ASSERT_TRUE(q.prepare(
            "INSERT INTO clips(dedupID, createdAt, kind, text, contentHash) VALUES(?, ?, 'text', 'new', 'h')"));
        q.addBindValue(QUuid::createUuid().toRfc4122());
        q.addBindValue(top.toMSecsSinceEpoch());
        ASSERT_TRUE(q.exec()) << qPrintable(q.lastError().text());
        ASSERT_TRUE(q.exec(
            QStringLiteral("UPDATE clips SET createdAt = %1 WHERE text = 'b'").arg(top.toMSecsSinceEpoch() + 1)));
    }
    open();
    add("d");
    EXPECT_EQ(history(), (QStringList{"d", "b"}));
}

TEST_F(ClipStoreTest, NoChosenLimitUnlimitedAndHugeLimitsKeepEveryClip)
{
    for (int i = 0; i < 520; ++i)
        add(QString("clip %1").arg(i));
    EXPECT_EQ(ctx().clipCount(), 520);
    EXPECT_EQ(store->historyLimit(), 500);
    EXPECT_FALSE(store->resolveSettings());

    store->setHistoryLimit(-1);
    add("one more");
    EXPECT_EQ(ctx().clipCount(), 521);
    EXPECT_EQ(audited("auditPruned.overLimit"), 0);
    // 0 is "not chosen" and is not a value the store accepts.
    store->setHistoryLimit(0);
    EXPECT_EQ(store->historyLimit(), -1);

    store->setHistoryLimit(std::numeric_limits<qint64>::max());
    add("and another");
    EXPECT_EQ(ctx().clipCount(), 522);
}

TEST_F(ClipStoreTest, DuplicateSettingsRecordsMergeIntoTheLatest)
{
    auto older = std::make_shared<AppSettings>();
    older->setHistoryLimitValue(2000);
    older->setUpdatedAt(clock.now().addDays(-1));
    auto newer = std::make_shared<AppSettings>();
    newer->setHistoryLimitValue(100);
    newer->setUpdatedAt(clock.now());
    ctx().insert(older);
    ctx().insert(newer);
    ASSERT_TRUE(store->save());

    EXPECT_EQ(store->historyLimit(), 100);
    EXPECT_EQ(ctx().appSettings().size(), 2u); // reading changes nothing
    EXPECT_EQ(store->resolveSettings(), newer);
    EXPECT_EQ(ctx().appSettings().size(), 1u);
}

TEST_F(ClipStoreTest, SensitiveClipsExpireFiveMinutesAheadUnlessKeptOrSwitchedOff)
{
    // Seconds from now to the clip's expiry after the store had its say.
    auto expiry = [&](const QString &s,
                      const std::function<void(const ClipRef &)> &prepare = {}) -> std::optional<qint64> {
        ClipRef clip = add(s);
        if (prepare)
            prepare(clip);
        EXPECT_TRUE(store->save());
        store->applySensitiveExpiry(clip, clock.now());
        return clip->expiresAt() ? std::optional(clock.now().secsTo(*clip->expiresAt())) : std::nullopt;
    };
    EXPECT_EQ(expiry("482913"), 300);
    EXPECT_FALSE(expiry("Lunch at noon?"));
    EXPECT_FALSE(expiry("713502", [&](const ClipRef &c) { store->togglePin(c); }));
    EXPECT_FALSE(expiry("662810", [](const ClipRef &c) { c->setIsSavedToPage(true); }));
    // An expiry already set is left as it is.
    EXPECT_EQ(expiry("905531", [&](const ClipRef &c) { c->setExpiresAt(clock.now().addSecs(10)); }), 10);

    prefs->setBool("autoExpireSensitiveClips", false);
    EXPECT_FALSE(expiry("330517"));
}

TEST_F(ClipStoreTest, ExpirySweepDeletesUnkeptClipsAndClearsTheExpiryOfKeptOnes)
{
    ClipRef gone = add("temporary");
    ClipRef pinned = add("pinned later");
    ClipRef onPage = add("filed later");
    ClipRef future = add("not yet");
    const QDateTime t = clock.now();
    gone->setExpiresAt(t);
    pinned->setExpiresAt(t.addSecs(-10));
    pinned->setIsPinned(true);
    onPage->setExpiresAt(t.addSecs(-10));
    onPage->setPinboard(store->createPage("Page"));
    future->setExpiresAt(t.addSecs(1));
    ASSERT_TRUE(store->save());

    EXPECT_EQ(store->deleteExpiredTemporaryClips(t), 1);
    EXPECT_TRUE(gone->isDeleted());
    EXPECT_FALSE(pinned->expiresAt());
    EXPECT_FALSE(onPage->expiresAt());
    EXPECT_EQ(future->expiresAt(), t.addSecs(1));
    EXPECT_EQ(ctx().clipCount(), 3);
    EXPECT_EQ(audited("auditPruned.expired"), 1);

    EXPECT_EQ(store->deleteExpiredTemporaryClips(t), 0);
    EXPECT_EQ(audited("auditPruned.expired"), 1);
}

TEST_F(ClipStoreTest, TemporaryClipsExpireButNeverPutAPermanentClipOnATimer)
{
    ClipRef temp = store->insertTemporaryClip(text("dropped.txt"), 3600);
    ASSERT_TRUE(temp);
    EXPECT_EQ(temp->expiresAt(), clock.now().addSecs(3600));
    ClipRef permanent = add("kept note");
    EXPECT_EQ(store->insertTemporaryClip(text("kept note"), 3600), permanent);
    EXPECT_FALSE(permanent->expiresAt());

    clock.advance(1000);
    EXPECT_EQ(store->insertTemporaryClip(text("dropped.txt"), 3600), temp);
    EXPECT_EQ(temp->expiresAt(), clock.now().addSecs(3600));
    EXPECT_EQ(audited("auditAdded"), 2);
}

TEST_F(ClipStoreTest, BumpToTopDatesByTheClockAndMakesTheClipTheLastCaptured)
{
    ClipRef a = add("a");
    ClipRef b = add("b");
    // A clip from another device may carry a date ahead of ours; it keeps it and dates no other.
    b->setCreatedAt(clock.now().addSecs(3600));
    ASSERT_TRUE(store->save());

    clock.advance(1000);
    store->bumpToTop(a, clock.now());
    EXPECT_EQ(a->createdAt(), clock.now());
    ClipRef c = add("c");
    EXPECT_EQ(c->createdAt(), clock.now());
    EXPECT_EQ(history(), (QStringList{"b", "c", "a"}));
    store->setHistoryLimit(2);
    EXPECT_EQ(history(), (QStringList{"c", "a"}));

    clock.advance(7200 * 1000);
    store->bumpToTop(a, clock.now());
    EXPECT_EQ(a->createdAt(), clock.now());
    EXPECT_EQ(store->historyNewestFirst().front(), a);

    // Copies the clock cannot tell apart show in the order made, dated within a second of it.
    clock.advance(1000);
    store->bumpToTop(c, clock.now());
    store->bumpToTop(a, clock.now());
    EXPECT_EQ(history(), (QStringList{"a", "c"}));
    clock.advance(-400);
    store->bumpToTop(c, clock.now());
    EXPECT_EQ(history(), (QStringList{"c", "a"}));
    EXPECT_EQ(c->createdAt(), clock.now().addMSecs(402));
}

TEST_F(ClipStoreTest, RenameAndEditKeepTheClip)
{
    ClipRef clip = add("draft");
    store->renameClip(clip, "  Weekly plan \n");
    EXPECT_EQ(clip->customTitle(), QString("Weekly plan"));
    EXPECT_TRUE(clip->isPinned());
    store->renameClip(clip, "   ");
    EXPECT_FALSE(clip->customTitle());

    store->editClipText(clip, "final");
    EXPECT_EQ(clip->contentHash(), text("final").contentHash());
    // The edited clip is found by its new content.
    EXPECT_EQ(store->insertClip(text("final")), clip);

    // A rich copy of the old words would win over the edit when pasted: it goes.
    CapturedContent rich = text("old words");
    rich.fileData = QByteArray("{\\rtf1 old words}");
    rich.fileTypeIdentifier = QString("public.rtf");
    ClipRef styled = put(rich);
    store->editClipText(styled, "old words");
    EXPECT_TRUE(styled->hasFileData());
    store->editClipText(styled, "new words");
    EXPECT_FALSE(styled->fileData());
    EXPECT_FALSE(styled->fileTypeIdentifier());
    EXPECT_EQ(styled->contentHash(), text("new words").contentHash());

    // Edited text is capped like captured text.
    store->editClipText(clip, QString(CapturedContent::maxTextBytes + 10, QLatin1Char('x')));
    EXPECT_EQ(clip->text()->size(), CapturedContent::maxTextBytes);
}

TEST_F(ClipStoreTest, LinkMetadataOnlyForLiveLinksAndOnlyAFirstPictureWithinTheCap)
{
    CapturedContent url = text("https://example.com/post");
    url.kind = ClipKind::url;
    ClipRef link = store->insertClip(url);
    ClipRef plain = add("not a link");

    store->updateLinkMetadata(link, QString("  "), QByteArray(ClipStore::maxLinkPictureBytes + 1, 'x'));
    EXPECT_FALSE(link->linkTitle());
    EXPECT_FALSE(link->hasImageData());
    store->updateLinkMetadata(link, QString("A post"), QByteArray(50, 'a'));
    store->updateLinkMetadata(link, std::nullopt, QByteArray(60, 'b'));
    EXPECT_EQ(link->linkTitle(), QString("A post"));
    EXPECT_EQ(link->imageDataSize(), 50);

    store->updateLinkMetadata(plain, QString("title"), std::nullopt);
    EXPECT_FALSE(plain->linkTitle());
    store->deleteClip(link);
    store->updateLinkMetadata(link, QString("late"), std::nullopt);
    EXPECT_EQ(link->linkTitle(), QString("A post"));
}

TEST_F(ClipStoreTest, ClearHistoryKeepsPinnedAndPageClips)
{
    add("pinned")->setIsPinned(true);
    add("filed")->setPinboard(store->createPage("Page"));
    add("saved")->setIsSavedToPage(true);
    add("loose 1");
    add("loose 2");
    ASSERT_TRUE(store->save());
    store->clearHistory();
    EXPECT_EQ(history(), (QStringList{"saved", "filed", "pinned"}));
}

TEST_F(ClipStoreTest, FailedSavesLoseNoEarlierClipAndLeaveNothingHalfDone)
{
    onDisk();
    add("one");
    add("two");
    ClipRef three = add("three");
    const QDateTime threeDate = three->createdAt();

    refuseWrites();
    QSignalSpy saves(store.get(), &ClipStore::didSave);
    EXPECT_FALSE(store->insertClip(text("four")));
    EXPECT_FALSE(store->insertClip(text("one")));
    store->clearHistory();
    store->bumpToTop(store->historyNewestFirst().back(), clock.now());
    store->setHistoryLimit(1);
    EXPECT_EQ(saves.count(), 0);
    EXPECT_EQ(history(), (QStringList{"three", "two", "one"}));
    EXPECT_EQ(three->createdAt(), threeDate);
    EXPECT_FALSE(ctx().hasChanges());
    EXPECT_EQ(audited("auditAdded"), 3);
    EXPECT_FALSE(prefs->contains("historyLimit"));

    open();
    EXPECT_EQ(history(), (QStringList{"three", "two", "one"}));
    EXPECT_TRUE(store->insertClip(text("four")));
}

TEST_F(ClipStoreTest, CopiesThatFindTheDiskFullStayInTheHistoryAndGoWithTheNextSaveThatWorks)
{
    onDisk();
    add("one");
    std::vector<bool> failures;
    QObject::connect(store.get(), &ClipStore::saveFailed,
                     [&](bool diskFull, const QString &) { failures.push_back(diskFull); });
    fillDisk();
    const QString filler = QString(" filler").repeated(3000); // more than the pages at hand
    ClipRef two = add("two" + filler);
    add("three" + filler);
    store->togglePin(two);
    EXPECT_EQ(failures, (std::vector<bool>{true, true, true}));
    auto heads = [&] {
        QStringList out;
        for (const QString &text : history())
            out << text.section(' ', 0, 0);
        return out;
    };
    EXPECT_EQ(heads(), (QStringList{"three", "two", "one"}));
    EXPECT_TRUE(two->isPinned());

    makeRoom();
    add("four");
    EXPECT_FALSE(ctx().hasChanges());
    open();
    EXPECT_EQ(heads(), (QStringList{"four", "three", "two", "one"}));
    EXPECT_TRUE(store->historyNewestFirst()[2]->isPinned());
}

TEST_F(ClipStoreTest, QueriesEditsAndPruningNeverReadImageOrFileBytes)
{
    onDisk();
    const QByteArray picture(300 * 1024, 'p');
    ASSERT_TRUE(put({.kind = ClipKind::image, .imageData = picture}));
    ASSERT_TRUE(put({.kind = ClipKind::file,
                     .text = QString("/tmp/report.pdf"),
                     .fileData = QByteArray(300 * 1024, 'f'),
                     .fileName = QString("report.pdf")}));
    add("invoice for March");
    add("budget");

    open();
    const auto all = store->historyNewestFirst();
    ASSERT_EQ(all.size(), 4u);
    const ClipRef img = all[3], doc = all[2];
    ASSERT_EQ(img->kind(), ClipKind::image);
    const ClipSearchFilters inbox{.date = ClipDateFilter::last7Days, .imageInboxOnly = true};
    const SearchQuery query(QStringLiteral("report"));
    int shown = 0;
    for (const ClipRef &clip : all) {
        shown += ClipSearchFilters::matches(
                     {.kind = clip->kind(), .createdAt = clip->createdAt(), .hasImageData = clip->hasImageData()},
                     inbox, clock.now())
            || query.matches(searchKeyOf({&clip->customTitle(), &clip->text(), &clip->fileName(), &clip->linkTitle(),
                                          &clip->recognizedText(), &clip->sourceAppName()},
                                         clip->kind()));
        safePresentation(*clip);
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
    open();
    EXPECT_EQ(store->historyNewestFirst().front()->imageData(), picture);
}

TEST_F(ClipStoreTest, SourceAppBrandsAreCreatedUpdatedAndLeftAloneWhenUnchanged)
{
    store->upsertSourceAppBrand("org.app", std::nullopt, "FF0000", QByteArray("png"));
    BrandRef brand = ctx().sourceAppBrand("org.app");
    ASSERT_TRUE(brand);
    QSignalSpy saves(store.get(), &ClipStore::didSave);
    store->upsertSourceAppBrand("org.app", std::nullopt, "FF0000", QByteArray("png"));
    EXPECT_EQ(saves.count(), 0);

    clock.advance(1000);
    store->upsertSourceAppBrand("org.app", QString("App"), "00FF00", std::nullopt);
    EXPECT_EQ(brand->appName(), QString("App"));
    EXPECT_EQ(brand->colorHex(), QString("00FF00"));
    EXPECT_FALSE(brand->iconPNG());
    EXPECT_EQ(brand->updatedAt(), clock.now());
}

TEST_F(ClipStoreTest, CopiesMadeInMemoryAfterTheClockWentBackAreNotPrunedFirstWhenTheyMoveIntoTheStore)
{
    // The store's clips were captured while the clock ran a year ahead; it has been put right.
    onDisk();
    add("ahead 1");
    const qint64 year = 365LL * 24 * 3600 * 1000;
    clock.advance(year);
    add("ahead 2");
    add("ahead 3");
    clock.advance(-year);
    // Meanwhile the history went on in memory, which knew none of the store's orders.
    QString error;
    ClipStore memory(ModelContainerFactory::makeInMemoryContainer(clock.clock(), &error),
                     {prefs.prefs.get(), &center, clock.clock(), &audit});
    for (const char *made : {"away 1", "away 2"}) {
        clock.advance(1000);
        ASSERT_TRUE(memory.insertClip(text(made)));
    }
    ctx().adoptRecordsOf(memory.context());
    ASSERT_TRUE(store->save());
    store->setHistoryLimit(4);
    // The first captured go first: the store's, then the moved copies in the order made.
    add("next 2");
    EXPECT_FALSE(history().contains("ahead 2"));
    EXPECT_TRUE(history().contains("away 1") && history().contains("away 2"));
    store->setHistoryLimit(-1);
    store->setHistoryLimit(3);
    EXPECT_EQ(history(), (QStringList{"next 2", "away 2", "away 1"}));
}
