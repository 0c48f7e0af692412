// The shipped word-vector file opens and finds its words; damaged, truncated or missing copies of
// it give no model and no crash.
#include "Quillmere/Search/SemanticSearchEngine.h"
#include "Quillmere/Search/WordVectorEmbedding.h"

#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

const QString kModel = QStringLiteral(QUILLMERE_WORD_MODEL);

QByteArray shipped()
{
    QFile f(kModel);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void putLE32(QByteArray &data, int at, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        data[at + i] = char((value >> (8 * i)) & 0xff);
}

} // namespace

TEST(WordVectorModel, TheShippedFileOpensAndFindsItsWords)
{
    QString error;
    auto model = WordVectorModel::open(kModel, &error);
    ASSERT_TRUE(model) << qPrintable(error);
    EXPECT_EQ(model->dimension(), 50);
    EXPECT_GT(model->wordCount(), 50000);
    for (const char *word : {"computer", "the", "invoice", "password", "a", "1913"})
        EXPECT_GE(model->find(word), 0) << word;
    EXPECT_LT(model->find("qqzzxxqqv"), 0);
    EXPECT_LT(model->find("kubernetesss"), 0);
    EXPECT_LT(model->find(""), 0);
    EXPECT_LT(model->find(std::string(200, 'a')), 0);

    for (const char *word : {"json", "api", "sql", "github", "regex", "ssh", "kubernetes", "nginx"})
        EXPECT_GE(model->find(word), 0) << word;

    // A word the file does not hold gets a vector from its character n-grams, near the word it
    // misspells.
    const auto vectorOf = [&](std::string_view word) {
        std::vector<float> v(50, 0.0f);
        const qsizetype index = model->find(word);
        if (index >= 0)
            model->addVector(index, v.data());
        else
            EXPECT_TRUE(model->addNgramVector(word, v.data())) << word;
        return v;
    };
    EXPECT_GT(cosineSimilarity(vectorOf("kubernetesss"), vectorOf("kubernetes")), 0.6);
    EXPECT_GT(cosineSimilarity(vectorOf("postgresqll"), vectorOf("postgresql")), 0.6);
    EXPECT_LT(cosineSimilarity(vectorOf("kubernetesss"), vectorOf("pancake")), 0.5);
    std::vector<float> unused(50, 0.0f);
    EXPECT_FALSE(model->addNgramVector("", unused.data()));
    EXPECT_FALSE(model->addNgramVector(std::string(200, 'a'), unused.data()));

    WordVectorEmbedding embedding(std::move(model));
    EXPECT_EQ(embedding.wordVectorMean(QStringLiteral("Invoice, PAYMENT!")).size(), 50u);
    EXPECT_EQ(embedding.wordVectorMean(QStringLiteral("qqzzxxqqv")).size(), 50u) << "no word is dropped";
    EXPECT_TRUE(embedding.wordVectorMean(QStringLiteral("-- \u00e9\u00e9 !!")).empty());
    EXPECT_TRUE(embedding.sentenceVector(QStringLiteral("invoice payment")).empty());
}

TEST(WordVectorModel, WordsAreLowerCasedRunsOfLettersAndDigits)
{
    QStringList words;
    WordVectorEmbedding::forEachWord(QStringLiteral("Git-Commit -m \"Fix #42\" caf\u00e9 ") + QString(70, u'x') + "!ok",
                                     [&](std::string_view w) { words << QString::fromLatin1(w.data(), w.size()); });
    EXPECT_EQ(words, (QStringList{"git", "commit", "m", "fix", "42", "caf", "ok"}));
}

TEST(WordVectorModel, ATextsWordsOfSubstanceAreListedAndItsWordsReadInContext)
{
    auto model = WordVectorModel::open(kModel);
    ASSERT_TRUE(model);
    const WordVectorEmbedding embedding(std::move(model));
    const QString text = QStringLiteral("The bank of the river, the BANK");
    const auto words = embedding.textWords(text, true);
    // "the" and "of" are function words; "bank" counts twice.
    std::vector<quint64> expected{WordVectorModel::hash("bank"), WordVectorModel::hash("bank"),
                                  WordVectorModel::hash("river")};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(words.words, expected);
    ASSERT_EQ(words.vectors.size(), 3 * size_t(embedding.wordVectorMean(QStringLiteral("bank")).size()));
    EXPECT_EQ(words.mean, embedding.wordVectorMean(text));
    // The sum is of the words as stored, the mean of the words turned toward their text.
    std::vector<float> sum(words.sum.size(), 0.0f);
    for (const char *word : {"the", "bank", "of", "the", "river", "the", "bank"}) {
        const auto v = embedding.wordVectorMean(QString::fromLatin1(word));
        for (size_t d = 0; d < sum.size(); ++d)
            sum[d] += v[d];
    }
    for (size_t d = 0; d < sum.size(); ++d)
        EXPECT_NEAR(words.sum[d], sum[d], 1e-4) << d;
    // "bank" by "river" and "bank" by "transfer" part ways more than the words' plain means do.
    auto plain = [&](const char *a, const char *b) {
        auto v = embedding.wordVectorMean(QString::fromLatin1(a));
        const auto w = embedding.wordVectorMean(QString::fromLatin1(b));
        for (size_t d = 0; d < v.size(); ++d)
            v[d] += w[d];
        return v;
    };
    EXPECT_LT(cosineSimilarity(embedding.wordVectorMean(QStringLiteral("river bank")),
                               embedding.wordVectorMean(QStringLiteral("bank transfer"))),
              cosineSimilarity(plain("river", "bank"), plain("bank", "transfer")));
}

TEST(WordVectorModel, DamagedTruncatedOrMissingFilesGiveNoModel)
{
    const QByteArray good = shipped();
    ASSERT_GT(good.size(), 1000);
    QTemporaryDir dir;
    struct Case {
        const char *name;
        QByteArray bytes;
    };
    QByteArray flippedVector = good;
    flippedVector[good.size() - 7] = char(flippedVector[good.size() - 7] ^ 0x10);
    QByteArray flippedTable = good;
    flippedTable[200] = char(flippedTable[200] ^ 0x01);
    QByteArray wrongMagic = good;
    wrongMagic[0] = 'X';
    QByteArray moreWords = good;
    putLE32(moreWords, 12, 0x7fffffff);
    QByteArray hugeDimension = good;
    putLE32(hugeDimension, 8, 0xffffffff);
    QByteArray appended = good + QByteArray(64, '\0');
    QByteArray noNgrams = good;
    putLE32(noNgrams, 24, 0);
    QByteArray manyNgrams = good;
    putLE32(manyNgrams, 24, 0xffffffff);
    QByteArray manyDirections = good;
    quint64 shapingAt = 0;
    for (int i = 7; i >= 0; --i)
        shapingAt = (shapingAt << 8) | uchar(good[72 + i]);
    ASSERT_LT(shapingAt + 8, quint64(good.size()));
    putLE32(manyDirections, int(shapingAt + 4), 0x4e6e6b28); // 1e9 as a float
    QByteArray oldFormat = good;
    oldFormat[7] = '1';
    const std::vector<Case> cases{
        {"empty", {}},
        {"shorter than a header", good.left(40)},
        {"header only", good.left(WordVectorModel::headerSize)},
        {"cut in the middle", good.left(good.size() / 2)},
        {"last byte missing", good.left(good.size() - 1)},
        {"bytes appended", appended},
        {"flipped vector bit", flippedVector},
        {"flipped table bit", flippedTable},
        {"wrong magic", wrongMagic},
        {"word count too large", moreWords},
        {"dimension too large", hugeDimension},
        {"no n-gram buckets", noNgrams},
        {"n-gram buckets past the end", manyNgrams},
        {"too many shaping directions", manyDirections},
        {"the older format", oldFormat},
        {"text", QByteArray("computer 0.1 0.2 0.3\n").repeated(10)},
    };
    for (const Case &c : cases) {
        const QString path = dir.filePath(QString::fromLatin1(c.name));
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(c.bytes);
        f.close();
        QString error;
        EXPECT_FALSE(WordVectorModel::open(path, &error)) << c.name;
        EXPECT_FALSE(error.isEmpty()) << c.name;
        EXPECT_FALSE(loadWordVectorEmbedding(path)) << c.name;
    }
    QString error;
    const QString old = dir.filePath(QStringLiteral("the older format"));
    EXPECT_FALSE(WordVectorModel::open(old, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("older"))) << qPrintable(error);
    EXPECT_FALSE(WordVectorModel::open(dir.filePath(QStringLiteral("absent"))));
    EXPECT_FALSE(WordVectorModel::open(dir.path())) << "a folder";
}

TEST(WordVectorModel, KnowsTheWordsOfSoftwareDescriptions)
{
    auto model = WordVectorModel::open(kModel);
    ASSERT_TRUE(model);
    QFile list(QStringLiteral(QUILLMERE_DESCRIPTION_WORDS));
    ASSERT_TRUE(list.open(QIODevice::ReadOnly | QIODevice::Text));
    int words = 0;
    QStringList unknown;
    for (const QByteArray &line : list.readAll().split('\n')) {
        const QByteArray word = line.trimmed();
        if (word.isEmpty() || word.startsWith('#'))
            continue;
        ++words;
        if (model->find(std::string_view(word.constData(), size_t(word.size()))) < 0)
            unknown << QString::fromLatin1(word);
    }
    ASSERT_GE(words, 400);
    std::printf("Description words known: %d of %d\n", words - int(unknown.size()), words);
    // The aim is 95 %; the shipped file knows 393 of the draw of seed 32, and a regression should show.
    EXPECT_LE(unknown.size() * 100, words * 2) << qPrintable(unknown.join(u' '));
}

// Handing the file's pages back to the system loses nothing: they are read again as words are
// looked up.
TEST(WordVectorModel, ReleasedPagesReadTheSameVectors)
{
    auto model = WordVectorModel::open(kModel);
    ASSERT_TRUE(model);
    const auto vectorsOf = [&] {
        std::vector<float> sums(size_t(model->dimension()) * 3, 0.0f);
        model->addVector(model->find("invoice"), sums.data());
        EXPECT_TRUE(model->addNgramVector("kubernetesss", sums.data() + model->dimension()));
        model->addVector(model->find("password"), sums.data() + 2 * model->dimension());
        return sums;
    };
    const std::vector<float> before = vectorsOf();
    EXPECT_NE(before, std::vector<float>(before.size(), 0.0f));
    model->releasePages();
    EXPECT_EQ(vectorsOf(), before);
    model->releasePages();
    EXPECT_GE(model->find("computer"), 0);
}
