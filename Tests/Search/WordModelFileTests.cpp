// The shipped word-vector file opens and finds its words; damaged, truncated or missing copies of
// it give no model and no crash.
#include "Quillmere/Search/SemanticSearchEngine.h"
#include "Quillmere/Search/WordVectorEmbedding.h"

#include <QFile>
#include <QTemporaryDir>
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
    EXPECT_LT(model->find(""), 0);
    EXPECT_LT(model->find(std::string(200, 'a')), 0);

    WordVectorEmbedding embedding(std::move(model));
    EXPECT_EQ(embedding.wordVectorMean(QStringLiteral("Invoice, PAYMENT!")).size(), 50u);
    EXPECT_TRUE(embedding.wordVectorMean(QStringLiteral("qqzzxxqqv -- \u00e9\u00e9")).empty());
    EXPECT_TRUE(embedding.sentenceVector(QStringLiteral("invoice payment")).empty());
}

TEST(WordVectorModel, WordsAreLowerCasedRunsOfLettersAndDigits)
{
    QStringList words;
    WordVectorEmbedding::forEachWord(QStringLiteral("Git-Commit -m \"Fix #42\" caf\u00e9 ") + QString(70, u'x') + "!ok",
                                     [&](std::string_view w) { words << QString::fromLatin1(w.data(), w.size()); });
    EXPECT_EQ(words, (QStringList{"git", "commit", "m", "fix", "42", "caf", "ok"}));
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
    const std::vector<Case> cases{
        {"empty", {}},
        {"shorter than a header", good.left(40)},
        {"header only", good.left(72)},
        {"cut in the middle", good.left(good.size() / 2)},
        {"last byte missing", good.left(good.size() - 1)},
        {"bytes appended", appended},
        {"flipped vector bit", flippedVector},
        {"flipped table bit", flippedTable},
        {"wrong magic", wrongMagic},
        {"word count too large", moreWords},
        {"dimension too large", hugeDimension},
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
    EXPECT_FALSE(WordVectorModel::open(dir.filePath(QStringLiteral("absent"))));
    EXPECT_FALSE(WordVectorModel::open(dir.path())) << "a folder";
}
