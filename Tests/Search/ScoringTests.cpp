// Cosine rules, the threshold, queries and documents without vectors, and the vector cache.
#include "FakeEmbedding.h"
#include "Quillmere/Search/SemanticScoring.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <random>

using namespace quillmere;
using namespace quillmere::test;

namespace {

PersistentIdentifier clip(qint64 row)
{
    return {QStringLiteral("ClipItem"), row};
}

// apple and pear point one way, stone at right angles; (3, 4) is at cosine 3/5 from (1, 0).
FakeEmbedding *fruit()
{
    auto *e = new FakeEmbedding;
    e->words = {{QStringLiteral("apple"), {1, 0}},
                {QStringLiteral("pear"), {2, 0}},
                {QStringLiteral("stone"), {0, 1}},
                {QStringLiteral("plum"), {3, 4}},
                {QStringLiteral("void"), {0, 0}}};
    return e;
}

struct Scoring {
    FakeEmbedding *embedding = fruit(); // owned by `scoring`
    SemanticScoring scoring{[e = embedding] { return std::unique_ptr<EmbeddingProvider>(e); }};

    SemanticScoring::Scores score(const QString &query, const QStringList &texts, double threshold = 0.6)
    {
        std::vector<SemanticDocument> docs;
        for (int i = 0; i < texts.size(); ++i)
            docs.push_back({clip(i + 1), texts[i]});
        return scoring.scores(query, docs, threshold).value();
    }
};

} // namespace

TEST(SemanticScoring, CosineRules)
{
    EXPECT_DOUBLE_EQ(cosineSimilarity({1, 2, 3}, {2, 4, 6}), 1.0);
    EXPECT_DOUBLE_EQ(cosineSimilarity({1, 0}, {-3, 0}), -1.0);
    EXPECT_DOUBLE_EQ(cosineSimilarity({1, 0}, {0, 5}), 0.0);
    EXPECT_DOUBLE_EQ(cosineSimilarity({1, 0}, {3, 4}), 0.6);
    EXPECT_EQ(cosineSimilarity({1, 0}, {1, 0, 0}), 0.0) << "lengths differ";
    EXPECT_EQ(cosineSimilarity({}, {}), 0.0) << "empty vectors";
    EXPECT_EQ(cosineSimilarity({0, 0}, {1, 1}), 0.0) << "zero query";
    EXPECT_EQ(cosineSimilarity({1, 1}, {0, 0}), 0.0) << "zero document";
}

TEST(SemanticScoring, TheThresholdIsInclusive)
{
    Scoring s;
    const auto at = s.score(QStringLiteral("apple"), {QStringLiteral("plum"), QStringLiteral("stone")}, 0.6);
    ASSERT_EQ(at.size(), 1u);
    EXPECT_EQ(at[0].first, clip(1));
    EXPECT_DOUBLE_EQ(at[0].second, 0.6);
    EXPECT_TRUE(s.score(QStringLiteral("apple"), {QStringLiteral("plum")}, std::nextafter(0.6, 1.0)).empty());
    // Mean of apple and pear is still along the first axis, so "pear apple" matches "apple" fully.
    const auto mean = s.score(QStringLiteral("  pear apple \n"), {QStringLiteral("apple")}, 0.99);
    ASSERT_EQ(mean.size(), 1u);
    EXPECT_NEAR(mean[0].second, 1.0, 1e-9);
}

TEST(SemanticScoring, QueriesAndDocumentsWithoutVectorsScoreNothing)
{
    Scoring s;
    const QStringList docs{QStringLiteral("apple"), QStringLiteral("pear")};
    EXPECT_TRUE(s.score(QString(), docs, -1).empty());
    EXPECT_TRUE(s.score(QStringLiteral(" \t\n "), docs, -1).empty());
    EXPECT_TRUE(s.score(QStringLiteral("quince medlar"), docs, -1).empty()) << "unknown words";
    EXPECT_TRUE(s.score(QStringLiteral("void"), docs, -1).size() == 2u) << "a zero query has a vector";
    EXPECT_EQ(s.score(QStringLiteral("void"), docs, -1)[0].second, 0.0);

    // Blank and unknown documents are skipped even when every score would pass.
    const auto scores =
        s.score(QStringLiteral("apple"),
                {QStringLiteral("  "), QStringLiteral("quince"), QString(), QStringLiteral("stone")}, -1);
    ASSERT_EQ(scores.size(), 1u);
    EXPECT_EQ(scores[0].first, clip(4));
    EXPECT_FALSE(s.embedding->embedded.contains(QStringLiteral("  "))) << "a blank document is never embedded";
}

TEST(SemanticScoring, ASentenceVectorComesFirstAndOfAnotherLengthScoresZero)
{
    Scoring s;
    s.embedding->sentences.insert(QStringLiteral("apple"), {0, 0, 1});
    const auto scores = s.score(QStringLiteral("apple"), {QStringLiteral("pear"), QStringLiteral("stone")}, 0.0);
    ASSERT_EQ(scores.size(), 2u);
    EXPECT_EQ(scores[0].second, 0.0);
    EXPECT_EQ(scores[1].second, 0.0);
    EXPECT_TRUE(s.score(QStringLiteral("apple"), {QStringLiteral("pear")}).empty());
}

TEST(SemanticScoring, WithoutAModelNothingIsScoredAndTheLoaderRunsOnce)
{
    int loads = 0;
    SemanticScoring scoring([&loads] {
        ++loads;
        return std::unique_ptr<EmbeddingProvider>();
    });
    const std::vector<SemanticDocument> docs{{clip(1), QStringLiteral("apple")}};
    EXPECT_TRUE(scoring.scores(QStringLiteral("apple"), docs, -1)->empty());
    EXPECT_TRUE(scoring.scores(QStringLiteral("pear"), docs, -1)->empty());
    EXPECT_FALSE(scoring.hasModel());
    EXPECT_EQ(loads, 1);
}

TEST(SemanticScoring, DocumentVectorsAreCachedByTextAndTheOldestLeaveFirst)
{
    FakeEmbedding *e = fruit();
    SemanticScoring scoring([e] { return std::unique_ptr<EmbeddingProvider>(e); }, 2);
    auto run = [&](const QStringList &texts) {
        std::vector<SemanticDocument> docs;
        for (int i = 0; i < texts.size(); ++i)
            docs.push_back({clip(i + 1), texts[i]});
        e->embedded.clear();
        return scoring.scores(QStringLiteral("apple"), docs, -1)->size();
    };
    EXPECT_EQ(run({QStringLiteral("pear"), QStringLiteral("plum"), QStringLiteral("pear")}), 3u);
    EXPECT_EQ(e->embedded, (QStringList{QStringLiteral("apple"), QStringLiteral("pear"), QStringLiteral("plum")}))
        << "the same text in two clips is embedded once";
    run({QStringLiteral("pear"), QStringLiteral("stone")}); // pear used again: plum is now the oldest
    EXPECT_EQ(e->embedded, (QStringList{QStringLiteral("apple"), QStringLiteral("stone")}));
    run({QStringLiteral("pear"), QStringLiteral("plum")});
    EXPECT_EQ(e->embedded, (QStringList{QStringLiteral("apple"), QStringLiteral("plum")}));
    EXPECT_EQ(scoring.cache().size(), 2u);
}

// Texts of one to five passages, one longer than a block, and one without a vector: each is found
// again with its own vectors once the blocks and the table have grown, and weighing a text again
// neither adds a text nor takes more room.
TEST(SemanticScoring, ThePackedScreenReadsEveryTextBackAsTheBlocksAndTableGrow)
{
    constexpr size_t dimension = 300;
    VectorScreen screen(100000);
    auto keyOf = [](quint32 i) {
        DocumentVectorCache::Key key{};
        std::memcpy(key.data() + 4, &i, sizeof i); // the hash's low bits alike: probing is tested too
        return key;
    };
    auto entryOf = [&](quint32 i, size_t passages) {
        DocumentVectorCache::Entry entry;
        entry.vector.assign(dimension, 0.0f);
        entry.vector[i % dimension] = 2.0f + float(i % 7);
        entry.length = vectorLength(entry.vector);
        entry.passages.assign(passages * dimension, 0.0f);
        for (size_t p = 0; p < passages; ++p)
            entry.passages[p * dimension + (i + p + 1) % dimension] = 1.0f;
        return entry;
    };
    constexpr quint32 texts = 4000, longest = 3500;
    auto passagesOf = [](quint32 i) { return i == longest ? size_t(16000) : size_t(i % 6); };
    for (quint32 i = 0; i < texts; ++i)
        screen.insert(keyOf(i), entryOf(i, passagesOf(i)));
    DocumentVectorCache::Entry empty;
    screen.insert(keyOf(texts), empty);
    ASSERT_EQ(screen.size(), size_t(texts + 1));
    const size_t reserved = screen.reservedBytes();
    EXPECT_GT(reserved, 3 * VectorScreen::blockBytes);

    auto axis = [](size_t d) {
        std::vector<double> q(dimension, 0.0);
        q[d % dimension] = 1.0;
        return q;
    };
    for (quint32 i = 0; i < texts; ++i) {
        const std::optional<VectorScreen::Packed> packed = screen.find(keyOf(i));
        ASSERT_TRUE(packed) << i;
        ASSERT_TRUE(packed->hasVector);
        ASSERT_EQ(packed->dimension, dimension);
        const size_t passages = passagesOf(i), group = passages > VectorScreen::plainPassages ? 8 : 1;
        ASSERT_EQ(VectorScreen::passageBounds(*packed), (passages + group - 1) / group) << i;
        // Each vector is a unit vector along one axis: about 1 there and 0 on another.
        EXPECT_NEAR(VectorScreen::bound(*packed, 0, axis(i)), 1.0, 0.01) << i;
        EXPECT_NEAR(VectorScreen::bound(*packed, 0, axis(i + 1)), 0.0, 0.01) << i;
        for (size_t p = 0; p < passages; p += std::max<size_t>(1, passages / 7)) {
            EXPECT_NEAR(VectorScreen::passageBound(*packed, p / group, axis(i + p + 1)), 1.0, 0.01) << i << ' ' << p;
            EXPECT_NEAR(VectorScreen::passageBound(*packed, p / group, axis(i + p + dimension / 2)), 0.0, 0.01)
                << i << ' ' << p;
        }
    }
    const std::optional<VectorScreen::Packed> none = screen.find(keyOf(texts));
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->hasVector);
    EXPECT_FALSE(screen.find(keyOf(texts + 1)));

    for (quint32 i = 0; i < texts; i += 3)
        screen.insert(keyOf(i), entryOf(i, passagesOf(i)));
    EXPECT_EQ(screen.size(), size_t(texts + 1));
    EXPECT_EQ(screen.reservedBytes(), reserved);

    VectorScreen small(3);
    for (quint32 i = 0; i < 4; ++i)
        small.insert(keyOf(i), entryOf(i, 1));
    EXPECT_EQ(small.size(), 1u) << "a full screen starts over";
    ASSERT_TRUE(small.find(keyOf(3)));
    EXPECT_NEAR(VectorScreen::passageBound(*small.find(keyOf(3)), 0, axis(4)), 1.0, 0.01);
    EXPECT_FALSE(small.find(keyOf(0)));
}

// A bound below a passage's exact dot product would rule out a text that meets the query.
TEST(SemanticScoring, APassageBoundIsNeverBelowTheDotOfAPassageItCovers)
{
    constexpr size_t dimension = 50;
    std::mt19937 random(7);
    std::normal_distribution<double> normal;
    auto unit = [&] {
        std::vector<double> v(dimension);
        double length = 0;
        for (double &x : v) {
            x = normal(random);
            length += x * x;
        }
        for (double &x : v)
            x /= std::sqrt(length);
        return v;
    };
    VectorScreen screen(1000);
    for (quint32 text = 0; text < 40; ++text) {
        const size_t passages = 1 + text % 21;
        DocumentVectorCache::Entry entry;
        for (double x : unit())
            entry.vector.push_back(float(x));
        entry.length = vectorLength(entry.vector);
        for (size_t p = 0; p < passages; ++p)
            for (double x : unit())
                entry.passages.push_back(float(x));
        DocumentVectorCache::Key key{};
        std::memcpy(key.data(), &text, sizeof text);
        screen.insert(key, entry);
        const VectorScreen::Packed packed = screen.find(key).value();
        const size_t group = passages > VectorScreen::plainPassages ? VectorScreen::envelopeGroup : 1;
        for (int q = 0; q < 20; ++q) {
            const std::vector<double> query = unit();
            for (size_t p = 0; p < passages; ++p) {
                double dot = 0;
                for (size_t d = 0; d < dimension; ++d)
                    dot += query[d] * entry.passages[p * dimension + d];
                EXPECT_GE(VectorScreen::passageBound(packed, p / group, query), dot) << text << ' ' << p;
            }
        }
    }
}

TEST(SemanticScoring, AStopRequestAbandonsTheRequest)
{
    Scoring s;
    std::vector<SemanticDocument> docs(200, {clip(1), QStringLiteral("pear")});
    int asked = 0;
    const auto result = s.scoring.scores(QStringLiteral("apple"), docs, 0.6, [&] { return ++asked > 1; });
    EXPECT_FALSE(result.has_value());
}

namespace {

QString repeated(const QString &word, int times)
{
    QStringList words;
    for (int i = 0; i < times; ++i)
        words << word;
    return words.join(u' ');
}

QStringList passagesOf(const QString &text)
{
    QStringList out;
    for (QStringView p : SemanticScoring::passages(text))
        out << p.toString();
    return out;
}

} // namespace

TEST(SemanticScoring, LongTextsAreCutIntoPassagesOfWholeSentences)
{
    EXPECT_TRUE(passagesOf(repeated(QStringLiteral("apple"), SemanticScoring::passageWords)).isEmpty())
        << "a short text is only scored whole";

    // Sentences of ten words join until a passage has twenty; a short last one joins the one before.
    const QString ten = repeated(QStringLiteral("pear"), 10) + QStringLiteral(". ");
    const QStringList sentences = passagesOf(ten.repeated(5));
    ASSERT_EQ(sentences.size(), 2);
    EXPECT_EQ(sentences[0].count(QStringLiteral("pear")), 20);
    EXPECT_EQ(sentences[1].count(QStringLiteral("pear")), 30);
    EXPECT_FALSE(sentences[0].endsWith(u' '));

    // One sentence of a hundred words: windows of forty, each starting halfway through the last.
    QStringList numbered;
    for (int i = 0; i < 100; ++i)
        numbered << QStringLiteral("w%1").arg(i);
    const QStringList windows = passagesOf(numbered.join(u' '));
    ASSERT_EQ(windows.size(), 4);
    EXPECT_TRUE(windows[0].startsWith(QStringLiteral("w0 ")) && windows[0].endsWith(QStringLiteral(" w39")));
    EXPECT_TRUE(windows[1].startsWith(QStringLiteral("w20 ")) && windows[1].endsWith(QStringLiteral(" w59")));
    EXPECT_TRUE(windows[3].startsWith(QStringLiteral("w60 ")) && windows[3].endsWith(QStringLiteral(" w99")));

    // Line breaks end sentences too; a text of punctuation has none.
    EXPECT_EQ(passagesOf((repeated(QStringLiteral("plum"), 20) + u'\n').repeated(3)).size(), 3);
    EXPECT_TRUE(passagesOf(QString(500, u'.')).isEmpty());
}

TEST(SemanticScoring, ALongDocumentScoresByItsBestPassageAndAShortOneAsAWhole)
{
    Scoring s;
    const QString note = repeated(QStringLiteral("apple"), 20) + QStringLiteral(" . ")
        + (repeated(QStringLiteral("stone"), 20) + QStringLiteral(" . ")).repeated(4);
    const QString shortText = QStringLiteral("apple stone stone stone");
    const auto scores = s.score(QStringLiteral("apple"), {note, shortText}, -1);
    ASSERT_EQ(scores.size(), 2u);
    EXPECT_NEAR(scores[0].second, 1.0, 1e-6) << "the passage about apples";
    EXPECT_NEAR(scores[1].second, 1 / std::sqrt(10.0), 1e-6);
    // The whole note is one more candidate: a query on both topics meets it as a whole.
    const auto both = s.score(QStringLiteral("apple stone stone stone stone"), {note}, -1);
    EXPECT_NEAR(both[0].second, 1.0, 1e-6);

    // The passages are cached with the document: asked again, nothing is embedded.
    s.embedding->embedded.clear();
    s.score(QStringLiteral("pear"), {note, shortText}, -1);
    EXPECT_EQ(s.embedding->embedded, QStringList{QStringLiteral("pear")});
}

TEST(SemanticScoring, ALongTextWithoutAWordCloseToTheQuerysLosesHalfTheShortfall)
{
    auto *e = new FakeEmbedding;
    e->readsWords = true;
    e->words = {{QStringLiteral("query"), {1, 0}},
                {QStringLiteral("near"), {0.8f, 0.6f}},
                {QStringLiteral("leaning"), {0.6f, 0.8f}},
                {QStringLiteral("other"), {0, 1}}};
    SemanticScoring scoring([e] { return std::unique_ptr<EmbeddingProvider>(e); });
    auto sentence = [](const char *word) { return repeated(QString::fromLatin1(word), 20) + QStringLiteral(" . "); };
    // The whole scores below the middle passage, which is read with its own words whatever comes
    // before it: a passage of unknown words, one of another topic.
    const QString leaning = sentence("unknown") + sentence("leaning") + sentence("other");
    const QString near = sentence("other") + sentence("near") + sentence("unknown");
    const std::vector<SemanticDocument> docs{{clip(1), leaning}, {clip(2), near}};
    const double shortfall = SemanticScoring::closeWord - 0.6;

    const auto all = scoring.scores(QStringLiteral("query"), docs, -1).value();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_NEAR(all[0].second, 0.6 - SemanticScoring::farShare * shortfall, 1e-6);
    EXPECT_NEAR(all[1].second, 0.8, 1e-6) << "a word close enough: no loss";
    const auto reaching = scoring.scores(QStringLiteral("query"), docs, 0.55).value();
    ASSERT_EQ(reaching.size(), 1u);
    EXPECT_EQ(reaching[0].first, clip(2));
}

TEST(SemanticScoring, AgainstALongTextTheCommonDirectionIsLeftOut)
{
    auto *e = new FakeEmbedding;
    e->words = {{QStringLiteral("apple"), {1, 0, 1}}, {QStringLiteral("stone"), {0, 1, 1}}};
    e->common = {0, 0, 1};
    SemanticScoring scoring([e] { return std::unique_ptr<EmbeddingProvider>(e); });
    const QString note = (repeated(QStringLiteral("apple"), 20) + QStringLiteral(" . ")).repeated(3);
    const std::vector<SemanticDocument> docs{{clip(1), note}, {clip(2), QStringLiteral("apple")}};
    const auto stone = scoring.scores(QStringLiteral("stone"), docs, -1).value();
    ASSERT_EQ(stone.size(), 2u);
    constexpr double k2 = SemanticScoring::longTextCommonShare * SemanticScoring::longTextCommonShare;
    EXPECT_NEAR(stone[0].second, k2 / (1 + k2), 1e-6) << "nothing in common but the common direction";
    EXPECT_NEAR(stone[1].second, 0.5, 1e-6) << "a short text scores as a whole, common part and all";
    const auto apple = scoring.scores(QStringLiteral("apple"), docs, -1).value();
    EXPECT_NEAR(apple[0].second, 1.0, 1e-6);
}
