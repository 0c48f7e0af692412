// The card strip over a long list of related clips: widgets only for what is in view, handed on
// as the strip scrolls, and kept on screen while new answers of the search arrive.
#include "Panel/ModelFixture.h"
#include "Quillmere/Panel/Window/HistoryCardArea.h"

#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

constexpr int relatedTotal = 10000;
constexpr int literalMatches = 3;

// Three clips that hold the words, then as many that only come close to them.
std::vector<ClipSnapshot> vocabulary()
{
    std::vector<ClipSnapshot> clips;
    for (int i = 1; i <= literalMatches + relatedTotal; ++i)
        clips.push_back(makeClip(i,
                                 i <= literalMatches ? QStringLiteral("invoice payment %1").arg(i)
                                                     : QStringLiteral("coffee lunch %1").arg(i)));
    return clips;
}

struct StripFixture {
    StripFixture() : area(*f.model, {})
    {
        area.resize(1600, area.height());
        area.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&area));
        f.model->search().expandSearch();
        f.type(QStringLiteral("invoice payment"));
        f.scheduler.advance(SemanticSearch::debounce.count());
    }
    // The engine's answer for the first `count` related clips, best first.
    void answer(int count)
    {
        ASSERT_EQ(f.engine.calls.size(), 1u);
        SemanticScorer::Scores scores;
        for (int i = 0; i < count; ++i)
            scores.push_back({clipID(literalMatches + 1 + i), 0.99 - i * 1e-6});
        f.engine.calls[0].reply(scores);
        // A long answer is ranked on a worker.
        ASSERT_TRUE(QTest::qWaitFor([&] { return f.lists().relatedCount() == count; }, 5000));
        QCoreApplication::processEvents();
    }
    // Each card on screen shows the clip of its position.
    void expectCardsMatchTheLists()
    {
        for (int position = 0; position < f.lists().navigableCount(); ++position) {
            if (ClipCardView *card = area.card(position)) {
                EXPECT_EQ(card->inputs().item.id, f.lists().navigableAt(position)->id) << position;
            }
        }
    }

    ModelFixture f{vocabulary()};
    HistoryCardArea area;
};

} // namespace

TEST(CardStrip, TenThousandRelatedCardsMakeOnlyTheCardsInView)
{
    StripFixture s;
    s.answer(relatedTotal);
    ASSERT_EQ(s.f.lists().visibleCount(), literalMatches);
    ASSERT_EQ(s.f.lists().relatedCount(), relatedTotal);
    const int navigable = s.f.lists().navigableCount();

    // What 1600 points show, and two cards either side.
    const size_t made = s.area.cards().size();
    EXPECT_LE(made, size_t(1600 / CardStripGeometry::pitch + 6));
    EXPECT_GE(s.area.scroller()->widget()->width(), navigable * CardStripGeometry::pitch);
    ASSERT_TRUE(s.area.card(0));
    EXPECT_EQ(s.area.card(0)->inputs().quickPasteIndex, 0);
    EXPECT_TRUE(s.area.card(0)->inputs().isSelected);
    EXPECT_FALSE(s.area.card(navigable - 1));
    s.expectCardsMatchTheLists();

    // The label sits between the last card with the words and the first related one.
    ClipCardView *lastLiteral = s.area.card(literalMatches - 1), *firstRelated = s.area.card(literalMatches);
    ASSERT_TRUE(lastLiteral && firstRelated);
    EXPECT_EQ(lastLiteral->inputs().quickPasteIndex, literalMatches - 1);
    EXPECT_FALSE(firstRelated->inputs().quickPasteIndex) << "quick-paste numbers are for the clips with the words";
    const QWidget *label = s.area.relatedSeparator();
    EXPECT_TRUE(label->isVisible());
    EXPECT_EQ(label->x(), lastLiteral->geometry().right() + 1 + HistoryCardArea::cardSpacing);
    EXPECT_EQ(firstRelated->x(), label->geometry().right() + 1 + HistoryCardArea::cardSpacing);

    // To the far end and back by keys: the same widgets serve, the selected card always in view.
    s.f.model->setSelectedIndex(navigable - 1);
    QCoreApplication::processEvents();
    ClipCardView *last = s.area.card(navigable - 1);
    ASSERT_TRUE(last);
    EXPECT_TRUE(last->inputs().isSelected);
    EXPECT_FALSE(s.area.card(0));
    const QRect inView(s.area.scroller()->horizontalScrollBar()->value(), 0, s.area.scroller()->viewport()->width(),
                       s.area.height());
    EXPECT_TRUE(inView.contains(last->geometry()));
    s.f.key(Qt::Key_Left);
    ASSERT_EQ(s.f.state().selectedIndex, navigable - 2);
    EXPECT_TRUE(s.area.card(navigable - 2)->inputs().isSelected);
    EXPECT_FALSE(s.area.card(navigable - 1)->inputs().isSelected);
    s.expectCardsMatchTheLists();
    s.f.model->setSelectedIndex(0);
    QCoreApplication::processEvents();
    ASSERT_TRUE(s.area.card(0));
    EXPECT_EQ(s.area.scroller()->horizontalScrollBar()->value(), 0);
    EXPECT_EQ(s.area.cards().size(), made) << "scrolling hands the cards on instead of making more";
}

TEST(CardStrip, ABurstOfRelatedAnswersKeepsTheCardsOnScreen)
{
    StripFixture s;
    s.answer(500);
    std::vector<ClipCardView *> onScreen;
    for (int position = 0; position < 8; ++position)
        onScreen.push_back(s.area.card(position));
    ASSERT_TRUE(std::all_of(onScreen.begin(), onScreen.end(), [](ClipCardView *c) { return c; }));
    const size_t made = s.area.cards().size();

    for (int count = 2000; count <= relatedTotal; count += 2000) {
        s.answer(count);
        ASSERT_EQ(s.f.lists().relatedCount(), count);
        for (int position = 0; position < 8; ++position)
            EXPECT_EQ(s.area.card(position), onScreen[size_t(position)]) << count << " related, card " << position;
        EXPECT_EQ(s.area.cards().size(), made) << count << " related";
    }
    s.expectCardsMatchTheLists();
}
