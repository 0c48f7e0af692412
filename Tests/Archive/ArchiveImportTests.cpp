#include "Support/PagesFixture.h"

#include "Quillmere/Archive/ArchiveImport.h"

using namespace quillmere;
using quillmere::test::StoreFixture;

namespace {

ClipArchiveClip archived(const QString &text, std::optional<QString> hash = std::nullopt)
{
    return {.dedupID = uuidText(QUuid::createUuid()),
            .createdAt = QDateTime(QDate(2025, 1, 2), QTime(3, 4, 5, 678), Qt::UTC),
            .text = text,
            .contentHash = hash.value_or(StoreFixture::textContent(text).contentHash())};
}

} // namespace

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
    const PageArchive archive = archive::makePageArchive(*f.store, page);
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
    const ArchivedClip file{.kind = "file",
                            .text = QString("/home/someone/../../etc/passwd\nC:\\Users\\x\\report.pdf"),
                            .fileName = QString("../../etc/passwd"),
                            .fileData = QByteArray("root:x:0:0")};
    PageArchive archive{.name = "Imported", .colorName = "orange", .exportedAt = f.clock.now()};
    archive.clips = {shared, {.text = QString("filed text")}, file, shared};

    const PageRef page = archive::importPage(*f.store, archive);
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
        EXPECT_FALSE(clip->text()->contains('/') || clip->fileName().value_or("").contains('/'))
            << qPrintable(*clip->text());
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

    EXPECT_EQ(archive::importArchive(*f.store, doc), (archive::ArchiveImportResult{1, 2}));
    ASSERT_EQ(f.ctx().clipCount(), 2);
    const ClipRef restored = f.ctx().clipWithDedupID(QUuid::fromString(a.dedupID));
    ASSERT_TRUE(restored && restored->pinboard());
    EXPECT_EQ(restored->customTitle(), QString(""));
    EXPECT_EQ(restored->sourceAppName(), QString("Editor"));
    EXPECT_EQ(restored->pinboard()->name(), "Restored");

    // Restoring the same backup again adds nothing and makes no second Page.
    EXPECT_EQ(archive::importArchive(*f.store, doc), (archive::ArchiveImportResult{0, 3}));
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
    doc.clips = {archived("different text", stored->contentHash()),
                 archived("another", QString()),
                 archived("third", QString()),
                 manual,
                 clash,
                 archived("note")};
    EXPECT_EQ(archive::importArchive(*f.store, doc), (archive::ArchiveImportResult{6, 0}));

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
    EXPECT_EQ(archive::importArchive(*f.store, backup), (archive::ArchiveImportResult{0, 3}));
    EXPECT_EQ(f.ctx().clipCount(), 3);

    // Into another store the file clips arrive with their names only.
    StoreFixture other;
    EXPECT_EQ(archive::importArchive(*other.store, backup), (archive::ArchiveImportResult{3, 0}));
    for (const ClipRef &clip : other.ctx().allClips())
        EXPECT_FALSE(clip->text()->contains(QLatin1Char('/'))) << qPrintable(*clip->text());
}

TEST(ArchiveImport, ImportsThatCannotBeSavedLeaveNothingBehind)
{
    StoreFixture f;
    const ClipRef inHistory = f.putText("shared text");
    f.refuseWrites();

    PageArchive shared{.name = "Imported", .exportedAt = f.clock.now()};
    shared.clips = {{.text = QString("shared text")}, {.text = QString("fresh")}};
    EXPECT_FALSE(archive::importPage(*f.store, shared));
    ClipArchiveDocument backup;
    backup.clips = {archived("new")};
    backup.clips[0].pageName = QString("Fresh Page");
    EXPECT_FALSE(archive::importArchive(*f.store, backup));

    EXPECT_TRUE(f.store->pages().empty());
    EXPECT_EQ(f.ctx().clipCount(), 1);
    EXPECT_FALSE(inHistory->pinboard());
    EXPECT_FALSE(f.ctx().hasChanges());
}
