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
    return StoreFixture::textContent(text, "Quillmere");
}

ClipArchiveClip archived(const QString &text, std::optional<QString> hash = std::nullopt)
{
    return {.dedupID = uuidText(QUuid::createUuid()),
            .createdAt = QDateTime(QDate(2025, 1, 2), QTime(3, 4, 5, 678), Qt::UTC),
            .text = text,
            .contentHash = hash.value_or(StoreFixture::textContent(text).contentHash())};
}

} // namespace

TEST(Pages, CreateNumbersAfterTheHighestReorderingRenumbersAndDeletingReturnsClipsToTheHistory)
{
    StoreFixture f(true);
    const PageRef a = f.store->createPage("A");
    const PageRef b = f.store->createPage("B", QString("blue"));
    const PageRef c = f.store->createPage("C");
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(a->sortOrder(), 0);
    EXPECT_EQ(b->sortOrder(), 1);
    EXPECT_EQ(c->sortOrder(), 2);

    ClipRef pinned = f.putText("pinned one");
    ClipRef plain = f.putText("plain one");
    plain->setExpiresAt(f.clock.now().addSecs(300));
    f.store->assignClip(plain, b);
    EXPECT_FALSE(plain->expiresAt());
    EXPECT_TRUE(plain->isSavedToPage());
    pinned->setIsPinned(true);
    f.store->assignClip(pinned, b);
    ASSERT_EQ(b->items().size(), 2u);

    // A gap left by a deleted Page is not reused: the next one still comes last.
    ASSERT_TRUE(f.store->deletePage(b));
    EXPECT_EQ(f.store->createPage("D")->sortOrder(), 3);

    ASSERT_TRUE(f.store->movePage(c, -5)); // clamped to the top
    EXPECT_EQ(pageNames(*f.store), (QStringList{"C", "A", "D"}));
    ASSERT_TRUE(f.store->reorderPages({f.store->pages()[2]}));
    EXPECT_EQ(pageNames(*f.store), (QStringList{"D", "C", "A"}));

    ASSERT_TRUE(f.store->renamePage(a, "Renamed"));
    ASSERT_TRUE(f.store->setPageColor(a, "teal"));
    f.open();
    EXPECT_EQ(pageNames(*f.store), (QStringList{"D", "C", "Renamed"}));
    EXPECT_EQ(f.store->pages()[2]->sortOrder(), 2);
    EXPECT_EQ(f.store->pages()[2]->colorName(), "teal");
    // The deleted Page's clips are back in the history, keeping their pins.
    ASSERT_EQ(f.ctx().clipCount(), 2);
    for (const ClipRef &clip : f.ctx().allClips()) {
        EXPECT_FALSE(clip->pinboard());
        EXPECT_FALSE(clip->isSavedToPage());
        EXPECT_EQ(clip->isPinned(), clip->text() == QString("pinned one"));
    }
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
    EXPECT_TRUE(f.store->verifyPageLock(page, "abcd"));
    EXPECT_FALSE(f.store->verifyPageLock(page, "abce"));
    EXPECT_FALSE(f.store->verifyPageLock(page, ""));
    EXPECT_FALSE(page->lockHash().contains("abcd"));

    // Locking again with the same password takes a fresh salt, so equal passwords look different.
    const QString firstHash = page->lockHash();
    ASSERT_TRUE(f.store->setPageLock(page, "abcd"));
    EXPECT_NE(page->lockHash(), firstHash);

    f.open();
    page = f.store->pages().front();
    EXPECT_TRUE(page->isLocked());
    EXPECT_TRUE(f.store->verifyPageLock(page, "abcd"));
    EXPECT_FALSE(f.store->verifyPageLock(page, "ABCD"));
}

TEST(Pages, ChangesThatCannotBeSavedLeaveNothingBehind)
{
    StoreFixture f(true);
    PageRef page = f.store->createPage("Work");
    ClipRef a = f.putText("a");
    ClipRef b = f.putText("b");
    ClipRef inHistory = f.putText("shared text");
    f.store->assignClip(a, page);
    f.store->assignClip(b, page);
    f.ctx().remove(b); // a deletion still pending goes back too
    f.refuseWrites();

    EXPECT_FALSE(f.store->deletePage(page));
    EXPECT_FALSE(page->isDeleted());
    EXPECT_EQ(page->items().size(), 2u);
    for (const ClipRef &clip : {a, b}) {
        EXPECT_FALSE(clip->isDeleted());
        EXPECT_EQ(clip->pinboard(), page);
        EXPECT_TRUE(clip->isSavedToPage());
    }

    EXPECT_FALSE(f.store->insertManualClip(note("lost"), nullptr, std::nullopt));
    PageArchive shared{.name = "Imported", .exportedAt = f.clock.now()};
    shared.clips = {{.text = QString("shared text")}, {.text = QString("fresh")}};
    EXPECT_FALSE(f.store->importPage(shared));
    ClipArchiveDocument backup;
    backup.clips = {archived("new")};
    backup.clips[0].pageName = QString("Fresh Page");
    EXPECT_FALSE(f.store->importArchive(backup));

    EXPECT_EQ(f.store->pages(), std::vector<PageRef>{page});
    EXPECT_EQ(f.ctx().clipCount(), 3);
    EXPECT_FALSE(inHistory->pinboard());
    EXPECT_FALSE(inHistory->isPinned());
    EXPECT_FALSE(f.ctx().hasChanges());
}

TEST(ManualClips, SameNoteTwiceGivesTwoPinnedClipsThatAreNeverPruned)
{
    StoreFixture f;
    PageRef page = f.store->createPage("Notes");
    ClipRef first = f.store->insertManualClip(note("Buy milk"), nullptr, QString("  Errand  "));
    ClipRef second = f.store->insertManualClip(note("Buy milk"), page, QString("   "));
    ASSERT_TRUE(first && second);
    EXPECT_NE(first, second);
    EXPECT_EQ(first->contentHash(), "manual:" + uuidText(first->dedupID()) + ":" + note("Buy milk").contentHash());
    EXPECT_TRUE(first->isPinned() && second->isPinned());
    EXPECT_FALSE(first->expiresAt());
    EXPECT_EQ(first->customTitle(), QString("Errand"));
    EXPECT_FALSE(second->customTitle());
    EXPECT_EQ(second->pinboard(), page);
    EXPECT_TRUE(second->isSavedToPage());

    // A captured copy of the same text is a clip of its own, not one of the notes.
    ClipRef captured = f.store->insertClip(note("Buy milk"));
    ASSERT_TRUE(captured);
    EXPECT_NE(captured, first);
    EXPECT_NE(captured, second);
    // Nor does an edit make a note one with the captures.
    f.store->editClipText(first, "Buy oat milk");
    EXPECT_EQ(first->contentHash(), "manual:" + uuidText(first->dedupID()) + ":" + note("Buy oat milk").contentHash());
    f.clock.advance(1000);
    ClipRef later = f.store->insertClip(note("Buy oat milk"));
    EXPECT_NE(later, first);
    EXPECT_EQ(f.store->dedupeSweep(true, f.clock.now()), 0);
    f.store->deleteClip(later);

    f.store->setHistoryLimit(1);
    for (int i = 0; i < 4; ++i) {
        f.clock.advance(1000);
        f.store->insertClip(StoreFixture::textContent(QString("capture %1").arg(i)));
    }
    EXPECT_FALSE(first->isDeleted());
    EXPECT_FALSE(second->isDeleted());
    EXPECT_TRUE(captured->isDeleted());
    EXPECT_EQ(f.audited("auditAdded"), 6); // the captures only, never the notes
}

TEST(ManualClips, BlankTextAndCaptureRulesGiveNoneAndAnUnnamedSourceIsTheProduct)
{
    StoreFixture f;
    EXPECT_FALSE(f.store->insertManualClip(note(" \n\t "), nullptr, std::nullopt));
    EXPECT_FALSE(f.store->insertManualClip({.kind = ClipKind::image, .imageData = QByteArray("png")}, nullptr, std::nullopt));
    f.prefs->setJSON(ClipRulePreferences{{}, {"secret"}}, ClipRulePreferences::key);
    EXPECT_FALSE(f.store->insertManualClip(note("my SECRET plan"), nullptr, std::nullopt));
    ClipRef unnamed = f.store->insertManualClip(StoreFixture::textContent("plain"), nullptr, std::nullopt);
    ASSERT_TRUE(unnamed);
    EXPECT_EQ(unnamed->sourceAppName(), QString("Brindlewax"));
}

TEST(PageArchives, MakeOrdersOldestFirstRoundsTheDateAndLeavesTemporaryClipsOut)
{
    StoreFixture f;
    PageRef page = f.store->createPage(QString(), QString("teal"));
    ClipRef newer = f.putText("newer");
    ClipRef older = f.putText("older");
    older->setCreatedAt(newer->createdAt().addSecs(-60));
    ClipRef same = f.putText("same date as newer");
    same->setCreatedAt(newer->createdAt());
    ClipRef temporary = f.putText("123456");
    for (const ClipRef &clip : {newer, older, same, temporary})
        f.store->assignClip(clip, page);
    temporary->setExpiresAt(f.clock.now().addSecs(300));
    newer->setCustomTitle(QString("  Title \n"));
    same->setCustomTitle(QString("   "));
    same->setKindRawValue("snippet");
    ASSERT_TRUE(f.store->save());

    f.clock.set(QDateTime(QDate(2026, 3, 1), QTime(12, 0, 0, 500), Qt::UTC));
    const PageArchive archive = f.store->makePageArchive(page);
    EXPECT_FALSE(f.ctx().hasChanges());
    EXPECT_EQ(archive.name, "Untitled");
    EXPECT_EQ(archive.colorName, "teal");
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

    const ArchivedClip shared{.text = QString("shared text"), .customTitle = QString("From a friend")};
    const ArchivedClip file{.kind = "file", .text = QString("/home/someone/../../etc/passwd\nC:\\Users\\x\\report.pdf"),
                            .fileName = QString("../../etc/passwd"), .fileData = QByteArray("root:x:0:0")};
    PageArchive archive{.name = "Imported", .colorName = "orange", .exportedAt = f.clock.now()};
    archive.clips = {shared, {.text = QString("filed text")}, file, shared};

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
    ASSERT_EQ(page->items().size(), 3u);
    // No path from elsewhere comes along, and hashes are those of what was stored.
    for (const ClipRef &clip : page->items()) {
        EXPECT_FALSE(clip->text()->contains('/') || clip->fileName().value_or("").contains('/')) << qPrintable(*clip->text());
        EXPECT_EQ(clip->contentHash(), clip->computeContentHash());
    }
}

TEST(BackupImport, SkipsWhatIsStoredAndRepeatsWithinTheArchive)
{
    StoreFixture f;
    f.putText("B");
    ClipArchiveClip a = archived("A");
    a.customTitle = QString("");
    a.sourceAppName = QString("Editor");
    a.pageName = QString("Restored");
    a.isSavedToPage = true;
    ClipArchiveDocument doc;
    doc.clips = {a, archived("B"), archived("A")};
    doc.pinboards = {{"Restored", "green", "leaf", 7}};

    EXPECT_EQ(f.store->importArchive(doc), (ClipStore::ArchiveImportResult{1, 2}));
    ASSERT_EQ(f.ctx().clipCount(), 2);
    const ClipRef restored = f.ctx().clipWithDedupID(QUuid::fromString(a.dedupID));
    ASSERT_TRUE(restored && restored->pinboard());
    EXPECT_EQ(restored->customTitle(), QString(""));
    EXPECT_EQ(restored->sourceAppName(), QString("Editor"));
    EXPECT_EQ(restored->pinboard()->name(), "Restored");

    // Restoring the same backup again adds nothing and makes no second Page.
    EXPECT_EQ(f.store->importArchive(doc), (ClipStore::ArchiveImportResult{0, 3}));
    EXPECT_EQ(f.store->pages().size(), 1u);
}

TEST(BackupImport, HashesAreWorkedOutAgainAndATakenIdentityIsNeverReused)
{
    StoreFixture f;
    ClipRef stored = f.putText("already here");
    // A wrong hash that happens to equal a stored clip's, an empty one, a note's, and a taken id.
    ClipArchiveClip manual = archived("note", QString("manual:whatever"));
    ClipArchiveClip clash = archived("clash");
    clash.dedupID = uuidText(stored->dedupID());
    ClipArchiveDocument doc;
    doc.clips = {archived("different text", stored->contentHash()), archived("another", QString()),
                 archived("third", QString()), manual, clash, archived("note")};
    EXPECT_EQ(f.store->importArchive(doc), (ClipStore::ArchiveImportResult{6, 0}));

    int withStoredID = 0;
    for (const ClipRef &clip : f.ctx().allClips()) {
        withStoredID += clip->dedupID() == stored->dedupID();
        if (!clip->contentHash().startsWith("manual:")) {
            EXPECT_EQ(clip->contentHash(), clip->computeContentHash()) << qPrintable(*clip->text());
        }
    }
    EXPECT_EQ(withStoredID, 1);
    const ClipRef note = f.ctx().clipWithDedupID(QUuid::fromString(manual.dedupID));
    ASSERT_TRUE(note);
    EXPECT_EQ(note->contentHash(), "manual:" + manual.dedupID + ":" + StoreFixture::textContent("note").contentHash());
}

TEST(BackupImport, RestoringIntoTheStoreItCameFromCopiesNothing)
{
    StoreFixture f;
    CapturedContent file{.kind = ClipKind::file,
                         .text = QString("/home/ada/reports/q3.pdf"),
                         .fileData = QByteArray("%PDF-1.7"),
                         .fileName = QString("q3.pdf")};
    f.put(file);
    file.text = QString("/home/ada/notes.txt");
    file.fileName = QString("notes.txt");
    ASSERT_TRUE(f.store->insertManualClip(file, nullptr, std::nullopt));
    f.putText("plain");

    const auto backup = ClipArchiveDocument::make(f.ctx().clipsNewestFirst(), f.store->pages(), f.clock.now(), "1");
    EXPECT_EQ(f.store->importArchive(backup), (ClipStore::ArchiveImportResult{0, 3}));
    EXPECT_EQ(f.ctx().clipCount(), 3);

    // Into another store the file clips arrive with their names only.
    StoreFixture other;
    EXPECT_EQ(other.store->importArchive(backup), (ClipStore::ArchiveImportResult{3, 0}));
    for (const ClipRef &clip : other.ctx().allClips())
        EXPECT_FALSE(clip->text()->contains(QLatin1Char('/'))) << qPrintable(*clip->text());
}

TEST(DedupeSweep, MergesCopiesIntoTheNewestKeepingPinAndPageButNotAcrossPages)
{
    StoreFixture f;
    PageRef page = f.store->createPage("P");
    ClipRef oldest = f.putText("same");
    ClipRef middle = f.putText("same");
    ClipRef newest = f.putText("same");
    oldest->setIsPinned(true);
    oldest->setCustomTitle(QString("Old title"));
    middle->setPinboard(page);
    middle->setIsSavedToPage(true);
    newest->setExpiresAt(f.clock.now().addSecs(300));
    // Copies on two different Pages, and clips without a hash, are left alone.
    f.store->assignClip(f.putText("twin"), f.store->createPage("A"));
    f.store->assignClip(f.putText("twin"), f.store->createPage("B"));
    f.putText("one")->setContentHash(QString());
    f.putText("two")->setContentHash(QString());
    ASSERT_TRUE(f.store->save());
    QSignalSpy saved(f.store.get(), &ClipStore::didSave);

    EXPECT_EQ(f.store->dedupeSweep(true, f.clock.now()), 2);
    EXPECT_TRUE(oldest->isDeleted());
    EXPECT_TRUE(middle->isDeleted());
    EXPECT_TRUE(newest->isPinned());
    EXPECT_EQ(newest->pinboard(), page);
    EXPECT_TRUE(newest->isSavedToPage());
    EXPECT_EQ(newest->customTitle(), QString("Old title"));
    EXPECT_FALSE(newest->expiresAt());
    EXPECT_EQ(f.ctx().clipCount(), 5);
    EXPECT_EQ(f.audited("auditPruned.dedupe"), 2);
    EXPECT_EQ(saved.count(), 1);

    // Nothing left to merge: no save, no audit.
    EXPECT_EQ(f.store->dedupeSweep(true, f.clock.now()), 0);
    EXPECT_EQ(saved.count(), 1);
    EXPECT_EQ(f.audited("auditPruned.dedupe"), 2);
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

    f.refuseWrites();
    EXPECT_EQ(f.store->dedupeSweep(false, f.clock.now()), 0);
    EXPECT_EQ(f.ctx().clipCount(), 2);
    for (const ClipRef &clip : f.ctx().allClips())
        EXPECT_FALSE(clip->isDeleted());
    EXPECT_EQ(f.audited("auditPruned.dedupe"), 1);
}
