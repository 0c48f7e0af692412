// The engine's thread: answers reach the main thread, an overtaken request is not answered, a
// missing model is reported once, and the engine can go away with work pending.
#include "FakeEmbedding.h"
#include "Quillmere/Search/SemanticSearchEngine.h"

#include <QCoreApplication>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>
#include <latch>

using namespace quillmere;
using namespace quillmere::test;

namespace {

std::vector<SemanticDocument> docs()
{
    return {{{QStringLiteral("ClipItem"), 1}, QStringLiteral("pear")},
            {{QStringLiteral("ClipItem"), 2}, QStringLiteral("stone")}};
}

struct Answer {
    bool answered = false;
    QThread *thread = nullptr;
    SemanticScorer::Scores scores;
};

SemanticScorer::Reply recorder(Answer &answer)
{
    return [&answer](SemanticScorer::Scores scores) {
        answer.answered = true;
        answer.thread = QThread::currentThread();
        answer.scores = std::move(scores);
    };
}

} // namespace

TEST(SemanticSearchEngine, AnswersOnTheMainThreadAndOnlyTheNewestOfOverlappingRequests)
{
    std::latch release(1);
    auto engine = std::make_unique<SemanticSearchEngine>([&release] {
        auto e = std::make_unique<FakeEmbedding>();
        e->words = {
            {QStringLiteral("apple"), {1, 0}}, {QStringLiteral("pear"), {1, 0.1f}}, {QStringLiteral("stone"), {0, 1}}};
        e->onEmbed = [&release](const QString &text) {
            if (text == QStringLiteral("apple slow"))
                release.wait();
        };
        return std::unique_ptr<EmbeddingProvider>(std::move(e));
    });
    Answer first, second, third;
    engine->scores(QStringLiteral("apple slow"), docs(), 0.6, recorder(first));
    engine->scores(QStringLiteral("stone"), docs(), 0.6, recorder(second));
    engine->scores(QStringLiteral("apple"), docs(), 0.6, recorder(third));
    release.count_down();
    EXPECT_TRUE(QTest::qWaitFor([&] { return third.answered; }, 10000));
    EXPECT_EQ(third.thread, QCoreApplication::instance()->thread());
    ASSERT_EQ(third.scores.size(), 1u);
    EXPECT_EQ(third.scores[0].first.rowID, 1);
    // A later request is served after the overtaken ones, so they had their turn and stayed silent.
    Answer fourth;
    engine->scores(QStringLiteral("stone"), docs(), 0.6, recorder(fourth));
    EXPECT_TRUE(QTest::qWaitFor([&] { return fourth.answered; }, 10000));
    EXPECT_FALSE(first.answered);
    EXPECT_FALSE(second.answered);
}

TEST(SemanticSearchEngine, WithoutAModelEveryAnswerIsEmptyAndTheLogSaysSoOnce)
{
    static int warnings = 0;
    warnings = 0;
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &ctx, const QString &msg) {
            if (type == QtWarningMsg && msg.contains(QStringLiteral("No word model")))
                ++warnings;
        });
    {
        SemanticSearchEngine engine([] { return loadWordVectorEmbedding(QStringLiteral("/nonexistent/words.qwv")); });
        EXPECT_FALSE(engine.hasNoModel()) << "not known before the first search";
        Answer a, b;
        engine.scores(QStringLiteral("apple pear"), docs(), 0.6, recorder(a));
        engine.scores(QStringLiteral("stone pear"), docs(), 0.6, recorder(b));
        EXPECT_TRUE(QTest::qWaitFor([&] { return b.answered; }, 10000));
        EXPECT_TRUE(b.scores.empty());
        EXPECT_TRUE(engine.hasNoModel());
        Answer c;
        engine.scores(QStringLiteral("apple stone"), docs(), -1, recorder(c));
        EXPECT_TRUE(QTest::qWaitFor([&] { return c.answered; }, 10000));
        EXPECT_TRUE(c.scores.empty());
    }
    qInstallMessageHandler(previous);
    EXPECT_EQ(warnings, 1);
}

TEST(SemanticSearchEngine, GoingAwayWithWorkPendingDropsTheAnswers)
{
    Answer answer;
    {
        SemanticSearchEngine engine([] {
            auto e = std::make_unique<FakeEmbedding>();
            e->words = {{QStringLiteral("pear"), {1, 0}}};
            return std::unique_ptr<EmbeddingProvider>(std::move(e));
        });
        for (int i = 0; i < 20; ++i)
            engine.scores(QStringLiteral("pear"), docs(), 0.6, recorder(answer));
        QThread::msleep(5);
    }
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    EXPECT_FALSE(answer.answered);
}

// A stream of documents is read on the engine's thread, never the caller's, a batch at a time;
// a newer request stops it at the next batch.
TEST(SemanticSearchEngine, AStreamIsReadOnTheEnginesThreadAndStopsWhenOvertaken)
{
    std::latch release(1);
    SemanticSearchEngine engine([] {
        auto e = std::make_unique<FakeEmbedding>();
        e->words = {{QStringLiteral("pear"), {1, 0}}, {QStringLiteral("stone"), {0, 1}}};
        return std::unique_ptr<EmbeddingProvider>(std::move(e));
    });
    std::atomic<QThread *> readOn{nullptr};
    std::atomic<int> batchesTaken{0};
    const auto stream = [&](int batches, bool wait) {
        return [&, batches, wait](const SemanticScorer::DocumentBatch &batch) {
            readOn = QThread::currentThread();
            for (int b = 0; b < batches; ++b) {
                if (!batch(docs()))
                    return false;
                ++batchesTaken;
                if (wait && b == 0)
                    release.wait();
            }
            return true;
        };
    };
    Answer whole;
    engine.scoresOf(QStringLiteral("pear"), stream(3, false), 0.6, recorder(whole));
    ASSERT_TRUE(QTest::qWaitFor([&] { return whole.answered; }, 10000));
    EXPECT_NE(readOn.load(), QThread::currentThread());
    EXPECT_EQ(whole.thread, QThread::currentThread());
    ASSERT_EQ(whole.scores.size(), 3u) << "one match a batch";
    engine.searchesPaused(); // lets go on the engine's thread, in turn

    batchesTaken = 0;
    Answer overtaken, newest;
    engine.scoresOf(QStringLiteral("pear"), stream(1000, true), 0.6, recorder(overtaken));
    ASSERT_TRUE(QTest::qWaitFor([&] { return batchesTaken >= 1; }, 10000));
    engine.scores(QStringLiteral("stone"), docs(), 0.6, recorder(newest));
    release.count_down();
    ASSERT_TRUE(QTest::qWaitFor([&] { return newest.answered; }, 10000));
    EXPECT_FALSE(overtaken.answered);
    EXPECT_EQ(batchesTaken.load(), 1) << "no batch taken after the newer request";
}
