// The shipped word vectors against the labelled pairs in labelled-pairs.tsv: at least 75% of the
// related pairs reach the search's threshold and at most 5% of the unrelated ones do.
#include "Quillmere/Panel/SemanticSearch.h"
#include "Quillmere/Search/SemanticSearchEngine.h"

#include <QFile>
#include <gtest/gtest.h>

using namespace quillmere;

TEST(SemanticSearchQuality, RelatedPairsReachTheThresholdAndUnrelatedOnesDoNot)
{
    QFile file(QStringLiteral(QUILLMERE_LABELLED_PAIRS));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Text));
    SemanticScoring scoring([] { return loadWordVectorEmbedding(QStringLiteral(QUILLMERE_WORD_MODEL)); });
    ASSERT_TRUE(scoring.hasModel());

    int related = 0, relatedHits = 0, unrelated = 0, unrelatedHits = 0;
    QStringList report;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const QStringList fields = line.split(u'\t');
        ASSERT_EQ(fields.size(), 3) << qPrintable(line);
        const bool isRelated = fields[0] == QStringLiteral("related");
        const auto scores = scoring.scores(fields[1], {{{QStringLiteral("ClipItem"), 1}, fields[2]}}, -1).value();
        ASSERT_EQ(scores.size(), 1u) << qPrintable(line);
        const bool hit = scores[0].second >= SemanticSearch::threshold;
        (isRelated ? related : unrelated) += 1;
        (isRelated ? relatedHits : unrelatedHits) += hit ? 1 : 0;
        if (hit != isRelated)
            report << QStringLiteral("%1 %2 | %3").arg(scores[0].second, 0, 'f', 3).arg(fields[1], fields[2]);
    }
    ASSERT_GE(related, 40);
    ASSERT_GE(unrelated, 40);
    const QString misses = report.join(u'\n');
    EXPECT_GE(relatedHits * 100, related * 75) << relatedHits << "/" << related << " related\n" << qPrintable(misses);
    EXPECT_LE(unrelatedHits * 100, unrelated * 5) << unrelatedHits << "/" << unrelated << " unrelated\n"
                                                  << qPrintable(misses);
    RecordProperty("related_at_threshold", relatedHits);
    RecordProperty("unrelated_at_threshold", unrelatedHits);
}
