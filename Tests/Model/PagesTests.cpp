#include "Support/PagesFixture.h"

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
    EXPECT_FALSE(f.store->setPageLock(page,
                                      QString::fromUtf8("e\xCC\x81"
                                                        "e\xCC\x81"
                                                        "e\xCC\x81")));
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
    EXPECT_FALSE(
        f.store->insertManualClip({.kind = ClipKind::image, .imageData = QByteArray("png")}, nullptr, std::nullopt));
    f.prefs->setJSON(ClipRulePreferences{{}, {"secret"}}, ClipRulePreferences::key);
    EXPECT_FALSE(f.store->insertManualClip(note("my SECRET plan"), nullptr, std::nullopt));
    ClipRef unnamed = f.store->insertManualClip(StoreFixture::textContent("plain"), nullptr, std::nullopt);
    ASSERT_TRUE(unnamed);
    EXPECT_EQ(unnamed->sourceAppName(), QString("Brindlewax"));
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
