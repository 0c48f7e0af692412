// The shipped word vectors against the labelled sets: pairs of short texts (labelled-pairs.tsv)
// and long mixed notes with queries (labelled-notes.tsv), scored at the search's threshold. Each
// set's figures are printed, its kept-apart part ("holdout" sections) separately. The aims are 90 %
// of related pairs at the threshold, 3 % of unrelated ones and 5 % of stray queries reaching a
// note; the bounds below are what the shipped file and scoring reach (Quillmere/Search/data/README.md), so
// that a change that makes them worse does not pass unseen.
#include "Quillmere/Panel/SemanticSearch.h"
#include "Quillmere/Search/SemanticSearchEngine.h"

#include <QFile>
#include <gtest/gtest.h>
#include <map>

using namespace quillmere;

namespace {

struct Tally {
    int count = 0;
    int hits = 0;
    QStringList wrong;
    void add(bool hit, bool wanted, const QString &what)
    {
        ++count;
        hits += hit ? 1 : 0;
        if (hit != wanted)
            wrong << what;
    }
    double percent() const { return count ? 100.0 * hits / count : 0; }
};

QStringList lines(const char *path)
{
    QFile file(QString::fromUtf8(path));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(file.readAll()).split(u'\n');
}

// Section names start with "## "; everything before the first is the "general" set.
template <typename F> void forEachRow(const QStringList &rows, F row)
{
    QString section = QStringLiteral("general");
    for (const QString &line : rows) {
        if (line.startsWith(QStringLiteral("## "))) {
            section = line.mid(3).trimmed();
            continue;
        }
        if (line.trimmed().isEmpty() || line.startsWith(u'#'))
            continue;
        row(section, line.split(u'\t'));
    }
}

double score(SemanticScoring &scoring, const QString &query, const QString &text)
{
    const auto scores = scoring.scores(query, {{{QStringLiteral("ClipItem"), 1}, text}}, -2).value();
    return scores.empty() ? -1 : scores[0].second;
}

void print(const char *name, const Tally &t)
{
    std::printf("  %-34s %3d/%3d  %5.1f %%\n", name, t.hits, t.count, t.percent());
    if (qEnvironmentVariableIsSet("QUILLMERE_SHOW_MISSES") && !t.wrong.isEmpty())
        std::printf("    %s\n", qPrintable(t.wrong.join(QStringLiteral("\n    "))));
}

bool keptApart(const QString &section)
{
    return section.endsWith(QStringLiteral("holdout"));
}

class SemanticSearchQuality : public ::testing::Test {
protected:
    SemanticScoring scoring{[] { return loadWordVectorEmbedding(QStringLiteral(QUILLMERE_WORD_MODEL)); }};
};

} // namespace

TEST_F(SemanticSearchQuality, RelatedPairsReachTheThresholdAndUnrelatedOnesDoNot)
{
    ASSERT_TRUE(scoring.hasModel());
    const QStringList rows = lines(QUILLMERE_LABELLED_PAIRS);
    ASSERT_FALSE(rows.isEmpty());
    std::map<std::string, Tally> bySet;
    Tally related, unrelated;
    std::map<std::string, Tally> byPart;
    forEachRow(rows, [&](const QString &section, const QStringList &f) {
        ASSERT_EQ(f.size(), 3) << qPrintable(f.join(u'\t'));
        const bool isRelated = f[0] == QStringLiteral("related");
        const double s = score(scoring, f[1], f[2]);
        const bool hit = s >= SemanticSearch::threshold;
        const QString what = QStringLiteral("%1 %2 | %3").arg(s, 0, 'f', 3).arg(f[1], f[2]);
        (isRelated ? related : unrelated).add(hit, isRelated, what);
        byPart[std::string(isRelated ? "related" : "unrelated") + (keptApart(section) ? ", kept apart" : ", tuning")]
            .add(hit, isRelated, what);
        bySet[(section + (isRelated ? QStringLiteral(" related") : QStringLiteral(" unrelated"))).toStdString()].add(
            hit, isRelated, what);
    });
    std::printf("Pairs at or above %.2f:\n", SemanticSearch::threshold);
    for (const auto &[name, t] : bySet)
        print(name.c_str(), t);
    for (const auto &[name, t] : byPart)
        print(name.c_str(), t);
    print("all related", related);
    print("all unrelated", unrelated);
    ASSERT_GE(related.count, 100);
    ASSERT_GE(unrelated.count, 100);
    EXPECT_GE(related.hits * 100, related.count * 90) << qPrintable(related.wrong.join(u'\n'));
    EXPECT_LE(unrelated.hits * 100, unrelated.count * 2) << qPrintable(unrelated.wrong.join(u'\n'));
}

TEST_F(SemanticSearchQuality, AWordSharedInTwoSensesDoesNotMakeAPair)
{
    ASSERT_TRUE(scoring.hasModel());
    const double threshold = SemanticSearch::threshold;
    // One shared word, the rest of the two texts about different things.
    EXPECT_LT(score(scoring, QStringLiteral("river bank"), QStringLiteral("bank transfer")), threshold);
    EXPECT_LT(
        score(scoring, QStringLiteral("the trunk of the elephant"), QStringLiteral("put the luggage in the car trunk")),
        threshold);
    // The same sense on both sides, or a query that is only the shared word: still a pair.
    EXPECT_GE(score(scoring, QStringLiteral("the bank charges a fee for the transfer"),
                    QStringLiteral("send money from my bank account")),
              threshold);
    EXPECT_GE(score(scoring, QStringLiteral("bank"), QStringLiteral("bank transfer")), threshold);
    EXPECT_GE(score(scoring, QStringLiteral("the bank"), QStringLiteral("the bank transfer")), threshold);
    EXPECT_NEAR(score(scoring, QStringLiteral("river bank"), QStringLiteral("river bank")), 1.0, 1e-6);
}

TEST_F(SemanticSearchQuality, QueriesReachTheNotesAboutThemAndNoOthers)
{
    ASSERT_TRUE(scoring.hasModel());
    const QStringList rows = lines(QUILLMERE_LABELLED_NOTES);
    ASSERT_FALSE(rows.isEmpty());
    std::map<QString, QString> notes;
    std::map<std::string, Tally> bySet;
    Tally strays, straysTuning, straysKeptApart;
    forEachRow(rows, [&](const QString &section, const QStringList &f) {
        ASSERT_EQ(f.size(), 3) << qPrintable(f.join(u'\t'));
        if (f[0] == QStringLiteral("note")) {
            notes[f[1]] = f[2];
            return;
        }
        const bool onTopic = f[0] == QStringLiteral("ontopic");
        Tally &t = bySet[(section + u' ' + f[0]).toStdString()];
        if (onTopic) {
            ASSERT_TRUE(notes.count(f[1])) << qPrintable(f[1]);
            const double s = score(scoring, f[2], notes[f[1]]);
            t.add(s >= SemanticSearch::threshold, true, QStringLiteral("%1 %2 | %3").arg(s, 0, 'f', 3).arg(f[2], f[1]));
            return;
        }
        // A query about nothing in the notes that reaches any of them.
        QString reached;
        double best = -1;
        for (const auto &[name, text] : notes) {
            const double s = score(scoring, f[2], text);
            if (s > best) {
                best = s;
                reached = name;
            }
        }
        const bool hit = best >= SemanticSearch::threshold;
        const QString what = QStringLiteral("%1 %2 | %3").arg(best, 0, 'f', 3).arg(f[2], reached);
        t.add(hit, false, what);
        strays.add(hit, false, what);
        (keptApart(section) ? straysKeptApart : straysTuning).add(hit, false, what);
    });
    std::printf("Queries reaching a note at or above %.2f:\n", SemanticSearch::threshold);
    for (const auto &[name, t] : bySet)
        print(name.c_str(), t);
    print("off-topic and small talk, tuning", straysTuning);
    print("off-topic and small talk, kept apart", straysKeptApart);
    print("off-topic and small talk", strays);
    ASSERT_GE(strays.count, 30);
    EXPECT_LE(strays.hits * 100, strays.count * 5) << qPrintable(strays.wrong.join(u'\n'));
    for (const auto &[name, t] : bySet) {
        if (QString::fromStdString(name).endsWith(QStringLiteral("ontopic"))) {
            EXPECT_GE(t.hits * 100, t.count * 70) << name << "\n" << qPrintable(t.wrong.join(u'\n'));
        }
    }
}

// Scoring a stream a few documents at a time, with a cache too small to keep any of them and the
// packed vectors ruling out what cannot reach the threshold, gives every document the score that
// weighing each in full gives, never holds more than a batch, and once every text is known weighs
// in full only those that come near the threshold.
TEST_F(SemanticSearchQuality, AStreamScoredInBatchesScoresAsWeighingEachInFullDoes)
{
    ASSERT_TRUE(scoring.hasModel());
    std::vector<SemanticDocument> documents;
    QStringList queries;
    const auto add = [&](const QString &text) {
        documents.push_back({{QStringLiteral("ClipItem"), qint64(documents.size() + 1)}, text});
    };
    forEachRow(lines(QUILLMERE_LABELLED_PAIRS), [&](const QString &, const QStringList &f) {
        add(f.value(1));
        add(f.value(2));
        if (queries.size() < 12 && documents.size() % 20 == 0)
            queries << f.value(1);
    });
    forEachRow(lines(QUILLMERE_LABELLED_NOTES), [&](const QString &, const QStringList &f) {
        add(f.value(2));
        if (f[0] != QStringLiteral("note") && queries.size() < 24 && documents.size() % 3 == 0)
            queries << f.value(2);
    });
    ASSERT_GE(documents.size(), 400u);
    ASSERT_GE(queries.size(), 20);

    constexpr size_t batch = 7;
    SemanticScoring streamed([] { return loadWordVectorEmbedding(QStringLiteral(QUILLMERE_WORD_MODEL)); }, 3);
    const SemanticScorer::DocumentStream stream = [&](const SemanticScorer::DocumentBatch &take) {
        for (size_t at = 0; at < documents.size(); at += batch)
            if (!take({documents.begin() + qsizetype(at),
                       documents.begin() + qsizetype(std::min(at + batch, documents.size()))}))
                return false;
        return true;
    };
    size_t matches = 0;
    for (const QString &query : queries) {
        // Below every possible score nothing can be ruled out: each document is weighed in full.
        const auto every = scoring.scores(query, documents, -2).value();
        ASSERT_EQ(every.size(), documents.size());
        SemanticScoring::Scores expected;
        for (const auto &score : every)
            if (score.second >= SemanticSearch::threshold)
                expected.push_back(score);
        matches += expected.size();
        EXPECT_EQ(streamed.scores(query, stream, SemanticSearch::threshold).value(), expected) << qPrintable(query);
        EXPECT_EQ(streamed.scores(query, stream, -2).value(), every) << qPrintable(query);
        EXPECT_LE(streamed.largestBatch(), batch);
        EXPECT_EQ(scoring.scores(query, documents, SemanticSearch::threshold).value(), expected);
        EXPECT_LT(scoring.weighedInFull() * 4, documents.size()) << qPrintable(query);
    }
    EXPECT_GT(matches, 20u);
    EXPECT_EQ(scoring.largestBatch(), documents.size());
    EXPECT_EQ(streamed.screen().size(), scoring.screen().size());

    // A stream whose read fails scores nothing; a stop part-way gives no answer.
    EXPECT_TRUE(streamed
                    .scores(
                        queries[0], [](const SemanticScorer::DocumentBatch &) { return false; }, -2)
                    ->empty());
    int batches = 0;
    EXPECT_FALSE(streamed.scores(queries[0], stream, -2, [&] { return ++batches > 3; }).has_value());
}
