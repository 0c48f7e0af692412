#include "Quillmere/Model/ClipSearch.h"

#include <gtest/gtest.h>

using namespace quillmere;

namespace {
const QDateTime kNow(QDate(2026, 3, 10), QTime(15, 0), Qt::LocalTime);
}

TEST(ClipSearchFilters, KindSourceSavedAndRecognisedText)
{
    std::optional<QString> source = QString("  Editor ");
    std::optional<QString> recognized;
    ClipFilterFacts clip{
        .kind = ClipKind::text, .sourceAppName = &source, .recognizedText = &recognized, .createdAt = kNow};
    EXPECT_TRUE(ClipSearchFilters::matches(clip, {.kind = ClipKind::text}, kNow));
    EXPECT_FALSE(ClipSearchFilters::matches(clip, {.kind = ClipKind::url}, kNow));
    EXPECT_TRUE(ClipSearchFilters::matches(clip, {.sourceAppName = QString("Editor")}, kNow));
    EXPECT_FALSE(ClipSearchFilters::matches(clip, {.sourceAppName = QString("Browser")}, kNow));
    EXPECT_FALSE(ClipSearchFilters::matches({.createdAt = kNow}, {.sourceAppName = QString("Editor")}, kNow))
        << "no source is no match";

    EXPECT_FALSE(ClipSearchFilters::matches(clip, {.savedOnly = true}, kNow));
    clip.isSaved = true;
    EXPECT_TRUE(ClipSearchFilters::matches(clip, {.savedOnly = true}, kNow));
    EXPECT_FALSE(ClipSearchFilters::matches(clip, {.pinnedOnly = true}, kNow));

    EXPECT_FALSE(ClipSearchFilters::matches(clip, {.withRecognizedTextOnly = true}, kNow));
    recognized = QString("  \n");
    EXPECT_FALSE(ClipSearchFilters::matches(clip, {.withRecognizedTextOnly = true}, kNow));
    recognized = QString("words");
    EXPECT_TRUE(ClipSearchFilters::matches(clip, {.withRecognizedTextOnly = true}, kNow));
}

TEST(ClipSearchFilters, ImageInboxTakesImagesAndImageFilesOnly)
{
    auto inInbox = [](ClipKind kind, bool hasImage) {
        return ClipSearchFilters::matches({.kind = kind, .createdAt = kNow, .hasImageData = hasImage},
                                          {.imageInboxOnly = true}, kNow);
    };
    EXPECT_TRUE(inInbox(ClipKind::image, false));
    EXPECT_TRUE(inInbox(ClipKind::file, true));
    EXPECT_FALSE(inInbox(ClipKind::file, false));
    EXPECT_FALSE(inInbox(ClipKind::text, true));
}

TEST(ClipSearchFilters, DateBoundaries)
{
    auto passes = [](const QDateTime &created, ClipDateFilter date) {
        return ClipSearchFilters::matches({.createdAt = created}, {.date = date}, kNow);
    };
    EXPECT_TRUE(passes(QDateTime(kNow.date(), QTime(0, 0, 1), Qt::LocalTime), ClipDateFilter::today));
    const QDateTime lateYesterday(kNow.date().addDays(-1), QTime(23, 59, 59), Qt::LocalTime);
    EXPECT_FALSE(passes(lateYesterday, ClipDateFilter::today));
    EXPECT_TRUE(passes(lateYesterday, ClipDateFilter::last7Days));
    EXPECT_TRUE(passes(kNow.addSecs(-7 * 86400), ClipDateFilter::last7Days));
    EXPECT_FALSE(passes(kNow.addSecs(-7 * 86400 - 1), ClipDateFilter::last7Days));
    EXPECT_TRUE(passes(kNow.addSecs(-7 * 86400 - 1), ClipDateFilter::last30Days));
}

TEST(ClipSearch, QueryTerms)
{
    EXPECT_EQ(ClipSearchFilters::queryTerms("  alpha\tbeta \n gamma  "), (QStringList{"alpha", "beta", "gamma"}));
    EXPECT_TRUE(ClipSearchFilters::queryTerms(" \n ").isEmpty());
}

TEST(ClipSearch, SubstantialTextHasTwoWordsOrEightCharacters)
{
    for (const char *text : {"", "   ", "short", "sevench"})
        EXPECT_FALSE(isSubstantialText(text)) << text;
    EXPECT_TRUE(isSubstantialText("two words"));
    EXPECT_TRUE(isSubstantialText("  eightchr  "));
}

TEST(ClipSearch, FoldsCaseAndAccentsTheSameWayForWordsAndText)
{
    EXPECT_EQ(foldForSearch(QStringLiteral("Crème BRÛLÉE")), QStringLiteral("creme brulee"));
    EXPECT_EQ(foldForSearch(QStringLiteral("ÅNGSTRÖM 😀")), QStringLiteral("angstrom 😀"));

    const std::optional<QString> text = QStringLiteral("Überweisung für die STRASSE — Invoice 42 Café");
    const std::optional<QString> fileName = QStringLiteral("report.PDF");
    const std::optional<QString> none;
    const QByteArray key = searchKeyOf({&text, &none, &fileName}, ClipKind::file);
    auto finds = [&](const char *query) { return SearchQuery(QString::fromUtf8(query)).matches(key); };
    EXPECT_TRUE(finds("invoice pdf"));
    EXPECT_TRUE(finds("uberweisung")) << "a plain word finds the accented one";
    EXPECT_TRUE(finds("FÜR strasse"));
    EXPECT_TRUE(finds("cafe"));
    EXPECT_TRUE(finds("CAFÉ"));
    EXPECT_TRUE(finds("file")) << "the kind's label is searched too";
    EXPECT_FALSE(finds("invoices"));
    EXPECT_FALSE(finds("42x"));
    EXPECT_FALSE(finds("cafereport")) << "a word never spans two fields";
    EXPECT_FALSE(SearchQuery(QString(200, 'a')).matches(key));
    EXPECT_TRUE(SearchQuery(QStringLiteral("  ")).isEmpty());
    EXPECT_TRUE(SearchQuery(QStringLiteral("\u0301")).isEmpty()) << "a word of accents alone asks nothing";
}

// The byte search agrees with a plain one at every place and length: words at either end of a
// key, across the sixteen-byte steps, in the tail, longer than the key, and in UTF-8.
TEST(ClipSearch, HoldsBytesFindsWhatAPlainSearchFinds)
{
    const auto plain = [](const QByteArray &key, const QByteArray &word) { return key.contains(word); };
    QByteArray key;
    quint32 seed = 40;
    for (int i = 0; i < 70; ++i)
        key += char('a' + ((seed = seed * 1103515245u + 12345u) >> 16) % 26);
    key += QStringLiteral("caf\u00e9 stra\u00dfe").toUtf8();
    for (qsizetype length = 1; length <= 40; ++length)
        for (qsizetype at = 0; at + length <= key.size(); ++at) {
            const QByteArray word = key.mid(at, length);
            QByteArray lastChanged = word, firstChanged = word;
            lastChanged[length - 1] = char(lastChanged[length - 1] ^ 0x20);
            firstChanged[0] = char(firstChanged[0] ^ 0x20);
            // Cut short, the key must not be read past its end.
            for (const QByteArray &w : {word, lastChanged, firstChanged})
                for (const qsizetype cut : {key.size(), at + length, at + length - 1, qsizetype(17), qsizetype(31)})
                    ASSERT_EQ(holdsBytes(key.constData(), size_t(cut), w.constData(), size_t(length)),
                              plain(key.left(cut), w))
                        << at << " " << length << " " << cut;
        }
    EXPECT_FALSE(holdsBytes(key.constData(), 3, key.constData(), 4));
    EXPECT_TRUE(holdsBytes(key.constData(), 0, "", 0));
}
