#include "Model/PagesFixture.h"

#include "Quillmere/Model/ClipCaptureRules.h"

#include <QSignalSpy>

using namespace quillmere;
using quillmere::test::StoreFixture;

namespace {

QStringList pageNames(ClipStore &store)
{
    QStringList out;
    for (const PageRef &page : store.pages())
        out << page->name();
    return out;
}

CapturedContent note(const QString &text)
{
    CapturedContent c = StoreFixture::textContent(text);
    c.sourceAppName = QStringLiteral("Quillmere");
    c.sourceAppBundleID = QStringLiteral("com.orvantide.quillmere");
    return c;
}

} // namespace

TEST(Pages, CreateNumbersAfterTheHighestAndReorderingRenumbers)
{
    StoreFixture f(true);
    const PageRef a = f.store->createPage("A");
    const PageRef b = f.store->createPage("B", QStringLiteral("blue"), QStringLiteral("star"));
    const PageRef c = f.store->createPage("C");
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(a->sortOrder(), 0);
    EXPECT_EQ(b->sortOrder(), 1);
    EXPECT_EQ(c->sortOrder(), 2);
    EXPECT_EQ(a->colorName(), "magenta");
    EXPECT_EQ(a->iconName(), "square.grid.2x2");
    EXPECT_EQ(b->colorName(), "blue");

    // A gap left by a deleted Page is not reused: the next one still comes last.
    ASSERT_TRUE(f.store->deletePage(b));
    EXPECT_EQ(f.store->createPage("D")->sortOrder(), 3);

    ASSERT_TRUE(f.store->movePage(c, -5)); // clamped to the top
    EXPECT_EQ(pageNames(*f.store), (QStringList{"C", "A", "D"}));
    ASSERT_TRUE(f.store->reorderPages({f.store->pages()[2]}));
    EXPECT_EQ(pageNames(*f.store), (QStringList{"D", "C", "A"}));

    ASSERT_TRUE(f.store->renamePage(a, "Renamed"));
    ASSERT_TRUE(f.store->setPageColor(a, "teal"));
    ASSERT_TRUE(f.store->setPageIcon(a, "folder"));
    f.open();
    const auto pages = f.store->pages();
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(pageNames(*f.store), (QStringList{"D", "C", "Renamed"}));
    EXPECT_EQ(pages[2]->sortOrder(), 2);
    EXPECT_EQ(pages[2]->colorName(), "teal");
    EXPECT_EQ(pages[2]->iconName(), "folder");
}

TEST(Pages, LockNeedsFourCharactersVerifiesAndSurvivesReopening)
{
    StoreFixture f(true);
    PageRef page = f.store->createPage("Secrets");
    EXPECT_FALSE(f.store->setPageLock(page, "abc"));
    // Three characters written with combining accents are still three characters.
    EXPECT_FALSE(f.store->setPageLock(page, QString::fromUtf8("e\xCC\x81" "e\xCC\x81" "e\xCC\x81")));
    EXPECT_FALSE(page->isLocked());

    ASSERT_TRUE(f.store->setPageLock(page, "abcd"));
    EXPECT_TRUE(page->isLocked());
    EXPECT_TRUE(f.store->verifyPageLock(page, "abcd"));
    EXPECT_FALSE(f.store->verifyPageLock(page, "abce"));
    EXPECT_FALSE(f.store->verifyPageLock(page, ""));
    EXPECT_FALSE(page->lockHash().contains("abcd"));
    EXPECT_EQ(page->lockHash().size(), 64);

    // Locking again with the same password takes a fresh salt, so equal passwords look different.
    const QString firstSalt = page->lockSalt();
    const QString firstHash = page->lockHash();
    ASSERT_TRUE(f.store->setPageLock(page, "abcd"));
    EXPECT_NE(page->lockSalt(), firstSalt);
    EXPECT_NE(page->lockHash(), firstHash);

    f.open();
    page = f.store->pages().front();
    EXPECT_TRUE(page->isLocked());
    EXPECT_TRUE(f.store->verifyPageLock(page, "abcd"));
    EXPECT_FALSE(f.store->verifyPageLock(page, "ABCD"));

    // Removing the lock is the caller's: clear both fields and save.
    page->setLockSalt({});
    page->setLockHash({});
    ASSERT_TRUE(f.store->save());
    EXPECT_FALSE(f.store->verifyPageLock(page, "abcd"));
}

TEST(Pages, DeletingAPageReturnsItsClipsToTheHistory)
{
    StoreFixture f(true);
    PageRef page = f.store->createPage("Work");
    ClipRef pinned = f.putText("pinned one");
    ClipRef plain = f.putText("plain one");
    plain->setExpiresAt(f.clock.now().addSecs(300));
    f.store->assignClip(plain, page);
    EXPECT_FALSE(plain->expiresAt());
    EXPECT_TRUE(plain->isSavedToPage());
    pinned->setIsPinned(true);
    f.store->assignClip(pinned, page);
    ASSERT_EQ(page->items().size(), 2u);

    ASSERT_TRUE(f.store->deletePage(page));
    f.open();
    EXPECT_TRUE(f.store->pages().empty());
    ASSERT_EQ(f.ctx().clipCount(), 2);
    for (const ClipRef &clip : f.ctx().allClips()) {
        EXPECT_FALSE(clip->pinboard());
        EXPECT_FALSE(clip->isSavedToPage());
        EXPECT_EQ(clip->isPinned(), clip->text() == QString("pinned one"));
    }
}

TEST(Pages, APageDeleteThatCannotBeSavedKeepsItsClipsOnIt)
{
    StoreFixture f(true);
    PageRef page = f.store->createPage("Work");
    ClipRef a = f.putText("a");
    ClipRef b = f.putText("b");
    f.store->assignClip(a, page);
    f.store->assignClip(b, page);
    f.ctx().remove(b); // a deletion still pending goes back too

    f.breakWrites();
    EXPECT_FALSE(f.store->deletePage(page));
    EXPECT_FALSE(page->isDeleted());
    EXPECT_EQ(f.store->pages(), std::vector<PageRef>{page});
    EXPECT_EQ(page->items().size(), 2u);
    for (const ClipRef &clip : {a, b}) {
        EXPECT_FALSE(clip->isDeleted());
        EXPECT_EQ(clip->pinboard(), page);
        EXPECT_TRUE(clip->isSavedToPage());
    }
    EXPECT_FALSE(f.ctx().hasChanges());
}

TEST(ManualClips, SameNoteTwiceGivesTwoPinnedClipsThatAreNeverPruned)
{
    StoreFixture f;
    PageRef page = f.store->createPage("Notes");
    ClipRef first = f.store->insertManualClip(note("Buy milk"), nullptr, QStringLiteral("  Errand  "));
    ClipRef second = f.store->insertManualClip(note("Buy milk"), page, QStringLiteral("   "));
    ASSERT_TRUE(first && second);
    EXPECT_NE(first, second);
    EXPECT_NE(first->contentHash(), second->contentHash());
    EXPECT_TRUE(first->contentHash().startsWith("manual:" + uuidText(first->dedupID()) + ":"));
    EXPECT_TRUE(first->contentHash().endsWith(note("Buy milk").contentHash()));
    EXPECT_TRUE(first->isPinned() && second->isPinned());
    EXPECT_FALSE(first->expiresAt());
    EXPECT_EQ(first->customTitle(), QString("Errand"));
    EXPECT_FALSE(second->customTitle());
    EXPECT_FALSE(first->pinboard());
    EXPECT_EQ(second->pinboard(), page);
    EXPECT_TRUE(second->isSavedToPage());
    EXPECT_EQ(first->sourceAppName(), QString("Quillmere"));

    // A captured copy of the same text is a clip of its own, not one of the notes.
    ClipRef captured = f.store->insertClip(note("Buy milk"));
    ASSERT_TRUE(captured);
    EXPECT_NE(captured, first);
    EXPECT_NE(captured, second);
    // Nor does an edit make a note one with the captures.
    f.store->editClipText(first, QStringLiteral("Buy oat milk"));
    EXPECT_EQ(first->contentHash(),
              "manual:" + uuidText(first->dedupID()) + ":" + note("Buy oat milk").contentHash());
    f.clock.advance(1000);
    ClipRef later = f.store->insertClip(note("Buy oat milk"));
    EXPECT_NE(later, first);
    EXPECT_EQ(f.store->dedupeSweep(true, f.clock.now()), 0);
    f.store->deleteClip(later);

    f.store->setHistoryLimit(1);
    for (int i = 0; i < 4; ++i) {
        f.clock.advance(1000);
        f.store->insertClip(StoreFixture::textContent(QStringLiteral("capture %1").arg(i)));
    }
    EXPECT_FALSE(first->isDeleted());
    EXPECT_FALSE(second->isDeleted());
    EXPECT_TRUE(captured->isDeleted());
    EXPECT_EQ(f.audit.added, 6); // the captures only, never the notes
}

TEST(ManualClips, BlankTextCaptureRulesAndFailedSavesGiveNone)
{
    StoreFixture f(true);
    EXPECT_FALSE(f.store->insertManualClip(note(" \n\t "), nullptr, std::nullopt));
    CapturedContent noText;
    noText.kind = ClipKind::image;
    noText.imageData = QByteArray("png");
    EXPECT_FALSE(f.store->insertManualClip(noText, nullptr, std::nullopt));

    ClipRulePreferences rules;
    rules.blockedTextPatterns = {QStringLiteral("secret")};
    f.prefs->setJSON(rules, ClipRulePreferences::key);
    EXPECT_FALSE(f.store->insertManualClip(note("my SECRET plan"), nullptr, std::nullopt));

    // Without a source the note is filed under the product's name.
    ClipRef unnamed = f.store->insertManualClip(StoreFixture::textContent("plain"), nullptr, std::nullopt);
    ASSERT_TRUE(unnamed);
    EXPECT_EQ(unnamed->sourceAppName(), QString("Brindlewax"));

    f.breakWrites();
    EXPECT_FALSE(f.store->insertManualClip(note("lost"), nullptr, std::nullopt));
    EXPECT_EQ(f.ctx().clipCount(), 1);
    EXPECT_FALSE(f.ctx().hasChanges());
}

TEST(PageArchives, MakeOrdersOldestFirstRoundsTheDateAndLeavesTemporaryClipsOut)
{
    StoreFixture f;
    PageRef page = f.store->createPage(QString(), QStringLiteral("teal"), QStringLiteral("star"));
    ClipRef newer = f.putText("newer");
    ClipRef older = f.putText("older");
    older->setCreatedAt(newer->createdAt().addSecs(-60));
    ClipRef same = f.putText("same date as newer");
    same->setCreatedAt(newer->createdAt());
    ClipRef temporary = f.putText("123456");
    for (const ClipRef &clip : {newer, older, same, temporary})
        f.store->assignClip(clip, page);
    temporary->setExpiresAt(f.clock.now().addSecs(300));
    newer->setCustomTitle(QStringLiteral("  Title \n"));
    same->setCustomTitle(QStringLiteral("   "));
    same->setKindRawValue(QStringLiteral("snippet"));
    ASSERT_TRUE(f.store->save());

    f.clock.set(QDateTime(QDate(2026, 3, 1), QTime(12, 0, 0, 500), Qt::UTC));
    const PageArchive archive = f.store->makePageArchive(page);
    EXPECT_FALSE(f.ctx().hasChanges());
    EXPECT_EQ(archive.version, 1);
    EXPECT_EQ(archive.name, "Untitled");
    EXPECT_EQ(archive.colorName, "teal");
    EXPECT_EQ(archive.iconName, "star");
    EXPECT_EQ(archive.exportedAt, QDateTime(QDate(2026, 3, 1), QTime(12, 0, 1), Qt::UTC));
    ASSERT_EQ(archive.clips.size(), 3u);
    EXPECT_EQ(archive.clips[0].text, QString("older"));
    EXPECT_EQ(archive.clips[1].text, QString("newer")); // joined the store before `same`
    EXPECT_EQ(archive.clips[1].customTitle, QString("Title"));
    EXPECT_EQ(archive.clips[2].kind, "text");
    EXPECT_FALSE(archive.clips[2].customTitle);
}

TEST(PageArchives, ImportReusesHistoryClipsButLeavesOtherPagesAlone)
{
    StoreFixture f;
    PageRef existing = f.store->createPage("Existing");
    ClipRef inHistory = f.putText("shared text");
    inHistory->setExpiresAt(f.clock.now().addSecs(300));
    ClipRef onOtherPage = f.putText("filed text");
    f.store->assignClip(onOtherPage, existing);
    ASSERT_TRUE(f.store->save());

    PageArchive archive;
    archive.name = "Imported";
    archive.colorName = "orange";
    archive.iconName = "tray";
    archive.exportedAt = f.clock.now();
    ArchivedClip shared;
    shared.text = QStringLiteral("shared text");
    shared.customTitle = QStringLiteral("From a friend");
    ArchivedClip filed;
    filed.text = QStringLiteral("filed text");
    ArchivedClip file;
    file.kind = QStringLiteral("file");
    file.text = QStringLiteral("/home/someone/../../etc/passwd\nC:\\Users\\x\\report.pdf");
    file.fileName = QStringLiteral("../../etc/passwd");
    file.fileData = QByteArray("root:x:0:0");
    archive.clips = {shared, filed, file, shared};

    const PageRef page = f.store->importPage(archive);
    ASSERT_TRUE(page);
    EXPECT_EQ(page->name(), "Imported");
    EXPECT_EQ(page->colorName(), "orange");
    EXPECT_EQ(page->sortOrder(), existing->sortOrder() + 1);

    // The history clip moved onto the Page; the twin in the archive did not make a second one.
    EXPECT_EQ(inHistory->pinboard(), page);
    EXPECT_TRUE(inHistory->isPinned());
    EXPECT_TRUE(inHistory->isSavedToPage());
    EXPECT_FALSE(inHistory->expiresAt());
    EXPECT_EQ(inHistory->customTitle(), QString("From a friend"));
    // The clip on another Page stayed there; the new Page got its own copy.
    EXPECT_EQ(onOtherPage->pinboard(), existing);
    const auto items = page->items();
    ASSERT_EQ(items.size(), 3u);

    ClipRef imported;
    for (const ClipRef &clip : items)
        if (clip->kind() == ClipKind::file)
            imported = clip;
    ASSERT_TRUE(imported);
    EXPECT_EQ(imported->fileName(), QString("passwd"));
    EXPECT_EQ(imported->text(), QString("passwd\nreport.pdf"));
    EXPECT_FALSE(imported->sourceAppName());
    EXPECT_EQ(imported->contentHash(), imported->computeContentHash());
}

TEST(PageArchives, ImportThatCannotBeSavedLeavesNothingBehind)
{
    StoreFixture f(true);
    ClipRef inHistory = f.putText("shared text");
    f.breakWrites();
    PageArchive archive;
    archive.name = "Imported";
    archive.exportedAt = f.clock.now();
    ArchivedClip shared;
    shared.text = QStringLiteral("shared text");
    ArchivedClip fresh;
    fresh.text = QStringLiteral("fresh");
    archive.clips = {shared, fresh};
    EXPECT_FALSE(f.store->importPage(archive));
    EXPECT_TRUE(f.store->pages().empty());
    EXPECT_EQ(f.ctx().clipCount(), 1);
    EXPECT_FALSE(inHistory->pinboard());
    EXPECT_FALSE(inHistory->isPinned());
}

namespace {

ClipArchiveClip archived(const QString &text, const QString &hash)
{
    ClipArchiveClip clip;
    clip.dedupID = uuidText(QUuid::createUuid());
    clip.createdAt = QDateTime(QDate(2025, 1, 2), QTime(3, 4, 5, 678), Qt::UTC);
    clip.kind = QStringLiteral("text");
    clip.text = text;
    clip.contentHash = hash;
    return clip;
}

QString hashOf(const QString &text)
{
    return StoreFixture::textContent(text).contentHash();
}

} // namespace

TEST(BackupImport, SkipsWhatIsStoredAndRepeatsWithinTheArchive)
{
    StoreFixture f;
    f.putText("B");
    ClipArchiveDocument doc;
    ClipArchiveClip a = archived("A", hashOf("A"));
    a.isPinned = true;
    a.customTitle = QStringLiteral("");
    a.linkTitle = QStringLiteral("Link");
    a.sourceAppName = QStringLiteral("Editor");
    a.pageName = QStringLiteral("Restored");
    a.isSavedToPage = true;
    doc.clips = {a, archived("B", hashOf("B")), archived("A", hashOf("A"))};
    doc.pinboards = {{QStringLiteral("Restored"), QStringLiteral("green"), QStringLiteral("leaf"), 7}};

    const auto result = f.store->importArchive(doc);
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, (ClipStore::ArchiveImportResult{1, 2}));
    ASSERT_EQ(f.ctx().clipCount(), 2);

    const ClipRef restored = f.ctx().clipWithDedupID(QUuid::fromString(a.dedupID));
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->createdAt(), a.createdAt);
    EXPECT_TRUE(restored->isPinned());
    EXPECT_EQ(restored->customTitle(), QString(""));
    EXPECT_EQ(restored->linkTitle(), QString("Link"));
    EXPECT_EQ(restored->sourceAppName(), QString("Editor"));
    ASSERT_TRUE(restored->pinboard());
    EXPECT_EQ(restored->pinboard()->name(), "Restored");
    EXPECT_EQ(restored->pinboard()->colorName(), "green");
    EXPECT_EQ(restored->pinboard()->iconName(), "leaf");
    EXPECT_EQ(f.store->pages().size(), 1u);

    // Restoring the same backup again adds nothing and makes no second Page.
    EXPECT_EQ(*f.store->importArchive(doc), (ClipStore::ArchiveImportResult{0, 3}));
    EXPECT_EQ(f.store->pages().size(), 1u);
}

TEST(BackupImport, HashesInTheFileAreWorkedOutAgain)
{
    StoreFixture f;
    ClipRef stored = f.putText("already here");
    ClipArchiveDocument doc;
    // A wrong hash that happens to equal a stored clip's, and an empty one.
    doc.clips = {archived("different text", stored->contentHash()), archived("another", QString()),
                 archived("third", QString())};
    const auto result = f.store->importArchive(doc);
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, (ClipStore::ArchiveImportResult{3, 0}));
    for (const ClipRef &clip : f.ctx().allClips())
        EXPECT_EQ(clip->contentHash(), clip->computeContentHash()) << qPrintable(*clip->text());
}

TEST(BackupImport, KeepsManualClipsApartAndNeverReusesATakenIdentity)
{
    StoreFixture f;
    ClipRef mine = f.putText("mine");
    ClipArchiveDocument doc;
    ClipArchiveClip manual = archived("note", QStringLiteral("manual:whatever"));
    ClipArchiveClip clash = archived("clash", hashOf("clash"));
    clash.dedupID = uuidText(mine->dedupID());
    doc.clips = {manual, clash, archived("note", hashOf("note"))};
    ASSERT_EQ(*f.store->importArchive(doc), (ClipStore::ArchiveImportResult{3, 0}));

    const ClipRef restored = f.ctx().clipWithDedupID(QUuid::fromString(manual.dedupID));
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->contentHash(), QStringLiteral("manual:%1:%2").arg(manual.dedupID, hashOf("note")));
    int withMineID = 0;
    for (const ClipRef &clip : f.ctx().allClips())
        withMineID += clip->dedupID() == mine->dedupID();
    EXPECT_EQ(withMineID, 1);
}

TEST(BackupImport, RestoringIntoTheStoreItCameFromCopiesNothing)
{
    StoreFixture f;
    CapturedContent file;
    file.kind = ClipKind::file;
    file.text = QStringLiteral("/home/ada/reports/q3.pdf");
    file.fileName = QStringLiteral("q3.pdf");
    file.fileData = QByteArray("%PDF-1.7");
    f.put(file);
    CapturedContent added = file;
    added.text = QStringLiteral("/home/ada/notes.txt");
    added.fileName = QStringLiteral("notes.txt");
    ASSERT_TRUE(f.store->insertManualClip(added, nullptr, std::nullopt));
    f.putText("plain");

    const ClipArchiveDocument backup =
        ClipArchiveDocument::make(f.ctx().clipsNewestFirst(), f.store->pages(), f.clock.now(), QStringLiteral("1"));
    EXPECT_EQ(*f.store->importArchive(backup), (ClipStore::ArchiveImportResult{0, 3}));
    EXPECT_EQ(f.ctx().clipCount(), 3);

    // Into another store the file clips arrive with their names only.
    StoreFixture other;
    EXPECT_EQ(*other.store->importArchive(backup), (ClipStore::ArchiveImportResult{3, 0}));
    for (const ClipRef &clip : other.ctx().allClips())
        EXPECT_FALSE(clip->text()->contains(QLatin1Char('/'))) << qPrintable(*clip->text());
}

TEST(BackupImport, AFailedSaveChangesNothing)
{
    StoreFixture f(true);
    f.putText("kept");
    f.breakWrites();
    ClipArchiveDocument doc;
    doc.clips = {archived("new", hashOf("new"))};
    doc.clips[0].pageName = QStringLiteral("Fresh Page");
    EXPECT_FALSE(f.store->importArchive(doc));
    EXPECT_EQ(f.ctx().clipCount(), 1);
    EXPECT_TRUE(f.store->pages().empty());
    EXPECT_FALSE(f.ctx().hasChanges());
}

TEST(DedupeSweep, MergesCopiesIntoTheNewestKeepingPinAndPage)
{
    StoreFixture f;
    PageRef page = f.store->createPage("P");
    ClipRef oldest = f.putText("same");
    ClipRef middle = f.putText("same");
    ClipRef newest = f.putText("same");
    oldest->setIsPinned(true);
    oldest->setCustomTitle(QStringLiteral("Old title"));
    middle->setPinboard(page);
    middle->setIsSavedToPage(true);
    newest->setExpiresAt(f.clock.now().addSecs(300));
    ASSERT_TRUE(f.store->save());
    QSignalSpy saved(f.store.get(), &ClipStore::didSave);

    EXPECT_EQ(f.store->dedupeSweep(true, f.clock.now()), 2);
    EXPECT_TRUE(oldest->isDeleted());
    EXPECT_TRUE(middle->isDeleted());
    EXPECT_FALSE(newest->isDeleted());
    EXPECT_TRUE(newest->isPinned());
    EXPECT_EQ(newest->pinboard(), page);
    EXPECT_TRUE(newest->isSavedToPage());
    EXPECT_EQ(newest->customTitle(), QString("Old title"));
    EXPECT_FALSE(newest->expiresAt());
    EXPECT_EQ(f.audit.pruned[SyncPruneReason::dedupe], 2);
    EXPECT_EQ(saved.count(), 1);

    // Nothing left to merge: no save, no audit.
    EXPECT_EQ(f.store->dedupeSweep(true, f.clock.now()), 0);
    EXPECT_EQ(f.audit.pruned[SyncPruneReason::dedupe], 2);
}

TEST(DedupeSweep, LeavesEmptyHashesAndCopiesOnOtherPagesAlone)
{
    StoreFixture f;
    PageRef a = f.store->createPage("A");
    PageRef b = f.store->createPage("B");
    ClipRef onA = f.putText("twin");
    ClipRef onB = f.putText("twin");
    f.store->assignClip(onA, a);
    f.store->assignClip(onB, b);
    ClipRef blank1 = f.putText("one");
    ClipRef blank2 = f.putText("two");
    blank1->setContentHash(QString());
    blank2->setContentHash(QString());
    ASSERT_TRUE(f.store->save());

    EXPECT_EQ(f.store->dedupeSweep(true, f.clock.now()), 0);
    EXPECT_EQ(f.ctx().clipCount(), 4);
    EXPECT_TRUE(f.audit.pruned.empty());
}

TEST(DedupeSweep, UnforcedRunsAtMostEveryHalfHourAndAFailedSaveDeletesNothing)
{
    StoreFixture f(true);
    f.putText("x");
    f.putText("x");
    EXPECT_EQ(f.store->dedupeSweep(false, f.clock.now()), 1);
    f.putText("x"); // one second later
    f.clock.advance(1798 * 1000);
    EXPECT_EQ(f.store->dedupeSweep(false, f.clock.now()), 0);
    EXPECT_EQ(f.ctx().clipCount(), 2);
    f.clock.advance(1000);

    f.breakWrites();
    EXPECT_EQ(f.store->dedupeSweep(false, f.clock.now()), 0);
    EXPECT_EQ(f.ctx().clipCount(), 2);
    for (const ClipRef &clip : f.ctx().allClips())
        EXPECT_FALSE(clip->isDeleted());
    EXPECT_TRUE(f.audit.pruned[SyncPruneReason::dedupe] == 1);
}
