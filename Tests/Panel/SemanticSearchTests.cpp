// The pause before scoring, cancellation, and what reaches the engine.
#include "ManualScheduler.h"
#include "PanelFixture.h"

#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

struct Fixture {
    ManualScheduler scheduler;
    FakeScorer engine;
    SemanticSearch search{scheduler, &engine};
    std::shared_ptr<const ClipLists::ClipVector> clips = std::make_shared<ClipLists::ClipVector>(makeClips(3));
    std::vector<QString> answered;

    void start(const QString &query, SemanticSearch::StillAllowed allowed = {})
    {
        search.start({query, clips, {0, 1, 2}, {}}, std::move(allowed),
                     [this](const QString &q, const std::vector<qint64> &, const SemanticScorer::Scores &) {
                         answered.push_back(q);
                     });
    }
};

} // namespace

TEST(SemanticSearch, OnlyTheLastOfAQuickBurstReachesTheEngine)
{
    Fixture f;
    f.start(QStringLiteral("two w"));
    f.scheduler.advance(50);
    f.start(QStringLiteral("two wo"));
    f.scheduler.advance(50);
    f.start(QStringLiteral("two wor"));
    f.scheduler.advance(199);
    EXPECT_TRUE(f.engine.calls.empty()) << "still inside the pause";
    f.scheduler.advance(1);
    ASSERT_EQ(f.engine.calls.size(), 1u);
    EXPECT_EQ(f.engine.calls[0].query, QStringLiteral("two wor"));
    EXPECT_EQ(f.engine.calls[0].documents.size(), 3u);
    f.engine.calls[0].reply({{clipID(1), 0.8}});
    EXPECT_EQ(f.answered, (std::vector<QString>{QStringLiteral("two wor")}));
}

TEST(SemanticSearch, AnAnswerAfterCancellationOrRestartIsDropped)
{
    Fixture f;
    f.start(QStringLiteral("first query"));
    f.scheduler.advance(200);
    f.search.cancel();
    f.engine.calls[0].reply({{clipID(1), 0.9}});
    f.start(QStringLiteral("second query"));
    f.scheduler.advance(200);
    f.start(QStringLiteral("third query"));
    f.engine.calls[1].reply({{clipID(1), 0.9}});
    EXPECT_TRUE(f.answered.empty());

    auto late = std::make_unique<Fixture>();
    late->start(QStringLiteral("gone away"));
    late->scheduler.advance(200);
    SemanticScorer::Reply reply = late->engine.calls[0].reply;
    late.reset();
    reply({{clipID(1), 0.9}}); // must not touch the destroyed search
}

TEST(SemanticSearch, CandidatesAreCheckedAgainWhenThePauseEnds)
{
    Fixture f;
    bool lockedMeanwhile = false;
    f.start(QStringLiteral("long enough"),
            [&](const ClipSnapshot &clip) { return !lockedMeanwhile || clip.id != clipID(2); });
    lockedMeanwhile = true;
    f.scheduler.advance(200);
    ASSERT_EQ(f.engine.calls.size(), 1u);
    ASSERT_EQ(f.engine.calls[0].documents.size(), 2u);
    EXPECT_EQ(f.engine.calls[0].documents[1].id, clipID(3));
}

TEST(SemanticSearch, WithoutAnEngineTheAnswerIsEmpty)
{
    ManualScheduler scheduler;
    SemanticSearch search(scheduler, nullptr);
    auto clips = std::make_shared<ClipLists::ClipVector>(makeClips(1));
    int answers = 0;
    search.start({QStringLiteral("no engine here"), clips, {0}, {}}, {},
                 [&](const QString &, const std::vector<qint64> &, const SemanticScorer::Scores &s) {
                     answers += s.empty() ? 1 : 100;
                 });
    scheduler.advance(200);
    EXPECT_EQ(answers, 1);
}
