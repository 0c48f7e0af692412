// The list chain over snapshots: tab base, words and filters, render window, related clips,
// selection carry and semantic ranking.
#include "PanelFixture.h"
#include "Quillmere/Panel/ClipLists.h"

#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

ClipLists listsOf(std::vector<ClipSnapshot> clips, std::vector<PageSnapshot> pages = {})
{
    ClipLists lists;
    lists.setSnapshot({std::move(clips), std::move(pages)});
    return lists;
}

ClipLists::Query historyQuery(const QString &text = {})
{
    return {PanelTab::history(), {}, text, {}, QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC)};
}

std::vector<qint64> visibleRows(const ClipLists &lists)
{
    return lists.visibleRowIDs();
}

} // namespace

TEST(ClipLists, RenderWindowResetsKeepsAndFollowsTheSelection)
{
    ClipLists lists = listsOf(makeClips(120));
    EXPECT_EQ(lists.renderWindow(), 48);
    lists.refreshVisible(historyQuery(), true, 0);
    EXPECT_EQ(lists.renderedCount(), 120) << "120 clips are all rendered";

    lists = listsOf(makeClips(121));
    lists.refreshVisible(historyQuery(), true, 0);
    EXPECT_EQ(lists.renderedCount(), 64);

    lists = listsOf(makeClips(500));
    lists.refreshVisible(historyQuery(), true, 0);
    lists.ensureSelectionRendered(200);
    EXPECT_EQ(lists.renderWindow(), 233);
    lists.ensureSelectionRendered(480);
    EXPECT_EQ(lists.renderWindow(), 500);
    lists.refreshVisible(historyQuery(), false, 0);
    EXPECT_EQ(lists.renderWindow(), 500) << "a kept window does not shrink";
    lists.refreshVisible(historyQuery(), true, 0);
    lists.refreshVisible(historyQuery(QStringLiteral("clip 1")), false, 0);
    EXPECT_EQ(lists.renderWindow(), 64) << "a kept window is never below 64 when the list is longer";

    lists = listsOf(makeClips(40));
    lists.refreshVisible(historyQuery(), true, 0);
    lists.ensureSelectionRendered(45); // on a related card
    EXPECT_EQ(lists.renderWindow(), 40);
    lists.refreshVisible(historyQuery(QStringLiteral("nothing-matches")), true, 3);
    EXPECT_EQ(lists.renderWindow(), 0);
}

TEST(ClipLists, WordsMatchAnyOfTheSixFieldsAndTheKindLabel)
{
    std::vector<ClipSnapshot> clips = makeClips(4);
    clips[0].fileName = QStringLiteral("budget.xlsx");
    clips[0].recognizedText = QStringLiteral("Quarterly Totals");
    clips[1].fileName = QStringLiteral("budget.xlsx");
    clips[2].kindRawValue = QStringLiteral("url");
    clips[2].text = QStringLiteral("https://example.org");
    clips[3].text = QStringLiteral("Überweisung an Zoë");
    ClipLists lists = listsOf(clips);

    lists.refreshVisible(historyQuery(QStringLiteral("budget totals")), true, 0);
    EXPECT_EQ(visibleRows(lists), (std::vector<qint64>{1}));
    lists.refreshVisible(historyQuery(QStringLiteral("link")), true, 0);
    EXPECT_EQ(visibleRows(lists), (std::vector<qint64>{3}));
    lists.refreshVisible(historyQuery(QStringLiteral("uberweisung ZOE")), true, 0);
    EXPECT_EQ(visibleRows(lists), (std::vector<qint64>{4}));
    lists.refreshVisible(historyQuery(QStringLiteral(" ")), true, 0);
    EXPECT_EQ(lists.visibleCount(), 4) << "a blank query is no query";

    ClipLists::Query filtered = historyQuery(QStringLiteral("clip"));
    filtered.filters.kind = ClipKind::text;
    lists.refreshVisible(filtered, true, 0);
    EXPECT_EQ(visibleRows(lists), (std::vector<qint64>{1, 2})) << "words and filters both apply";
}

TEST(ClipLists, ClipsOfALockedPageStayOutOfEveryList)
{
    std::vector<ClipSnapshot> clips = makeClips(5);
    clips[1].pageID = pageID(1); // clip 2 on the locked Page
    clips[2].pageID = pageID(2); // clip 3 on an open Page
    clips[4].pageID = pageID(9); // clip 5 points at a Page that is gone
    ClipLists lists = listsOf(clips, {makePage(1, QStringLiteral("Vault"), true), makePage(2, QStringLiteral("Work"))});
    IdentifierSet none, opened;
    opened.insert(pageID(1));

    ClipLists::Query q = historyQuery();
    q.filters.savedOnly = true; // every filter path
    lists.refreshVisible(q, true, 0);
    EXPECT_EQ(visibleRows(lists), (std::vector<qint64>{3, 5}));
    lists.refreshVisible(historyQuery(QStringLiteral("clip")), true, 0);
    EXPECT_EQ(visibleRows(lists), (std::vector<qint64>{1, 3, 4, 5}));
    EXPECT_EQ(lists.tabBaseRows(PanelTab::page(pageID(1)), none).size(), 0u);
    EXPECT_EQ(lists.tabBaseRows(PanelTab::page(pageID(1)), opened), (std::vector<int>{1}));
    EXPECT_EQ(lists.tabBaseRows(PanelTab::page(pageID(9)), none), (std::vector<int>{4}));

    lists.refreshVisible(historyQuery(QStringLiteral("clip 1")), true, 0);
    EXPECT_TRUE(lists.semanticCandidateRows(historyQuery()) == (std::vector<int>{2, 3, 4}));
    lists.refreshRelated(true, {clipID(2), clipID(1), clipID(77), clipID(4), clipID(4)}, none);
    ASSERT_EQ(lists.relatedCount(), 1) << "locked, visible, deleted and repeated identifiers are skipped";
    EXPECT_EQ(lists.relatedAt(0).id, clipID(4));
    lists.refreshRelated(true, {clipID(2)}, opened);
    EXPECT_EQ(lists.relatedCount(), 1);
    lists.refreshRelated(false, {clipID(2)}, opened);
    EXPECT_EQ(lists.relatedCount(), 0);

    const std::vector<QUuid> stack{clips[1].dedupID, QUuid::createUuid(), clips[0].dedupID};
    EXPECT_EQ(lists.pasteStackItems(stack, none).size(), 1u);
    EXPECT_EQ(lists.pasteStackItems(stack, opened).size(), 2u);
    EXPECT_FALSE(lists.pasteableDedupIDs(none).contains(clips[1].dedupID));

    lists.refreshVisible(historyQuery(), true, 0);
    for (const ThumbnailRequest &r : lists.thumbnailWindow(0))
        EXPECT_NE(r.id, clipID(2));
}

// Related clips beyond the part held are named by their keys: hidden by a locked Page, skipped
// once gone from the store, and shown with contents only where the strip asked for them.
TEST(ClipLists, RelatedClipsBeyondThePartAreNamedByKeysAndHiddenByTheirLocks)
{
    ClipLists lists;
    lists.setSnapshot({makeClips(3), {makePage(1, QStringLiteral("Vault"), true)}, 3});
    const auto keyOf = [](qint64 row, std::optional<qint64> page = std::nullopt) {
        return RelatedKey{clipID(row), makeClip(row).dedupID, page};
    };
    lists.holdRelatedKeys({keyOf(9), keyOf(8, 1), keyOf(7)});
    IdentifierSet none, opened;
    opened.insert(pageID(1));
    lists.refreshVisible(historyQuery(QStringLiteral("clip 1")), true, 0);
    const std::vector<PersistentIdentifier> ranked{clipID(9), clipID(8), clipID(2), clipID(6), clipID(7)};
    lists.refreshRelated(true, ranked, none);
    ASSERT_EQ(lists.relatedCount(), 3) << "the clip on the locked Page and the one gone are left out";
    EXPECT_EQ(lists.relatedAt(0).id, clipID(9));
    EXPECT_FALSE(lists.relatedAt(0).clip) << "no contents until the strip shows it";
    ASSERT_TRUE(lists.relatedAt(1).clip);
    EXPECT_EQ(lists.relatedAt(1).clip->text, QStringLiteral("clip 2"));
    EXPECT_EQ(lists.navigableDedupIDs(),
              (std::vector<QUuid>{makeClip(1).dedupID, makeClip(9).dedupID, makeClip(2).dedupID, makeClip(7).dedupID}));
    EXPECT_FALSE(lists.navigableAt(1));
    ASSERT_TRUE(lists.navigableForPaste(1));
    EXPECT_EQ(lists.navigableForPaste(1)->id, clipID(9)) << "a paste names the clip without its contents";

    EXPECT_EQ(lists.relatedRowsWithoutContents(0, 10), (std::vector<qint64>{9, 7}));
    EXPECT_EQ(lists.relatedRowsWithoutContents(2, 2), (std::vector<qint64>{})) << "clip 2 is held";
    lists.holdRelatedContents({makeClip(7)});
    ASSERT_TRUE(lists.navigableAt(3));
    EXPECT_EQ(lists.navigableAt(3)->text, QStringLiteral("clip 7"));
    EXPECT_EQ(lists.relatedRowsWithoutContents(0, 10), (std::vector<qint64>{9}));
    EXPECT_EQ(lists.relatedRowsWithoutContents(0, 10, true), (std::vector<qint64>{9, 7}));
    ClipLists::ClipVector many;
    for (int i = 0; i < ClipLists::relatedContentCapacity; ++i)
        many.push_back(makeClip(100 + i));
    many.push_back(makeClip(7));
    lists.holdRelatedContents(many);
    EXPECT_FALSE(lists.navigableAt(3)) << "contents beyond a few screens are let go";

    lists.refreshRelated(true, ranked, opened);
    EXPECT_EQ(lists.relatedCount(), 4) << "an opened Page shows its clip";
    lists.setSnapshot({makeClips(3), {}, 3});
    EXPECT_EQ(lists.relatedCount(), 1) << "a new picture of the store drops the keys at once";
}

TEST(ClipLists, SelectionIsReanchoredToTheSameClipElseTheNearestIndex)
{
    const std::vector<ClipSnapshot> clips = makeClips(4);
    ClipLists lists = listsOf({clips[1], clips[2], clips[3]});
    lists.refreshVisible(historyQuery(), true, 0);
    const std::optional<QUuid> second = lists.navigableDedupID(1);
    EXPECT_EQ(second, clips[2].dedupID);
    EXPECT_FALSE(lists.navigableDedupID(3));
    lists.setSnapshot({clips, {}});
    lists.refreshVisible(historyQuery(), true, 0);
    EXPECT_EQ(lists.reanchoredSelection(1, second, true), 2) << "the clip moved one on";
    EXPECT_EQ(lists.reanchoredSelection(1, second, false), 0);
    lists.setSnapshot({{clips[0], clips[1]}, {}});
    lists.refreshVisible(historyQuery(), true, 0);
    EXPECT_EQ(lists.reanchoredSelection(2, second, true), 1) << "gone: clamped to the last";
    EXPECT_EQ(lists.reanchoredSelection(5, std::nullopt, true), 1) << "out of range old index";
    EXPECT_EQ(lists.reanchoredSelection(-3, std::nullopt, true), 0);
    lists.setSnapshot({{}, {}});
    lists.refreshVisible(historyQuery(), true, 0);
    EXPECT_EQ(lists.reanchoredSelection(1, second, true), 0);
}

TEST(ClipLists, SemanticRankingKeepsTheThresholdAndBreaksTiesByIdentifier)
{
    const ClipLists::Scores scores{{clipID(1), 0.6},  {clipID(2), 0.59}, {clipID(3), 0.9}, {clipID(4), std::nan("")},
                                   {clipID(12), 0.7}, {clipID(5), 0.7},  {clipID(6), 0.95}};
    EXPECT_EQ(ClipLists::rankedSemanticMatchIDs({6}, scores, QStringLiteral("two words"), true, 0.6),
              (std::vector<PersistentIdentifier>{clipID(3), clipID(12), clipID(5), clipID(1)}));
    EXPECT_TRUE(ClipLists::rankedSemanticMatchIDs({}, scores, QStringLiteral("hi"), true, 0.6).empty());
    EXPECT_TRUE(ClipLists::rankedSemanticMatchIDs({}, scores, QStringLiteral("two words"), false, 0.6).empty());
}

TEST(ClipLists, SourceApplicationNamesAreTrimmedDistinctAndSorted)
{
    std::vector<ClipSnapshot> clips = makeClips(6);
    clips[0].sourceAppName = QStringLiteral(" Mail ");
    clips[1].sourceAppName = QStringLiteral("Mail");
    clips[2].sourceAppName = QStringLiteral("mail");
    clips[3].sourceAppName = QStringLiteral("   ");
    clips[4].sourceAppName = QStringLiteral("editor");
    const QStringList names = listsOf(clips).sourceAppNames();
    ASSERT_EQ(names.size(), 3);
    EXPECT_EQ(names.first(), QStringLiteral("editor"));
    EXPECT_TRUE(names.contains(QStringLiteral("Mail")) && names.contains(QStringLiteral("mail")));
}
