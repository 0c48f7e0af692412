#include "Quillmere/Model/ClipSearch.h"

#include <gtest/gtest.h>

using namespace quillmere;

namespace {
const QDateTime kNow(QDate(2026, 3, 10), QTime(15, 0), Qt::LocalTime);
}

TEST(ClipSearchFilters, KindSourceSavedAndRecognisedText)
{
    ClipItem clip;
    clip.setKindRawValue("bogus"); // unknown kinds count as text
    clip.setSourceAppName(QString("  Editor "));
    clip.setCreatedAt(kNow);
    EXPECT_TRUE(ClipSearchFilters::matches(clip, {.kind = ClipKind::text}, kNow));
    EXPECT_FALSE(ClipSearchFilters::matches(clip, {.kind = ClipKind::url}, kNow));
    EXPECT_TRUE(ClipSearchFilters::matches(clip, {.sourceAppName = QString("Editor")}, kNow));
    EXPECT_FALSE(ClipSearchFilters::matches(clip, {.sourceAppName = QString("Browser")}, kNow));

    EXPECT_FALSE(ClipSearchFilters::matches(clip, {.savedOnly = true}, kNow));
    clip.setIsSavedToPage(true);
    EXPECT_TRUE(ClipSearchFilters::matches(clip, {.savedOnly = true}, kNow));
    EXPECT_FALSE(ClipSearchFilters::matches(clip, {.pinnedOnly = true}, kNow));

    clip.setRecognizedText(QString("  \n"));
    EXPECT_FALSE(ClipSearchFilters::matches(clip, {.withRecognizedTextOnly = true}, kNow));
    clip.setRecognizedText(QString("words"));
    EXPECT_TRUE(ClipSearchFilters::matches(clip, {.withRecognizedTextOnly = true}, kNow));
}

TEST(ClipSearchFilters, ImageInboxTakesImagesAndImageFilesOnly)
{
    auto inInbox = [](ClipKind kind, std::optional<QByteArray> image) {
        ClipItem clip;
        clip.setKind(kind);
        clip.setImageData(std::move(image));
        clip.setCreatedAt(kNow);
        return ClipSearchFilters::matches(clip, {.imageInboxOnly = true}, kNow);
    };
    EXPECT_TRUE(inInbox(ClipKind::image, std::nullopt));
    EXPECT_TRUE(inInbox(ClipKind::file, QByteArray("png")));
    EXPECT_FALSE(inInbox(ClipKind::file, QByteArray()));
    EXPECT_FALSE(inInbox(ClipKind::text, QByteArray("png")));
}

TEST(ClipSearchFilters, DateBoundaries)
{
    ClipItem clip;
    clip.setCreatedAt(QDateTime(kNow.date(), QTime(0, 0, 1), Qt::LocalTime));
    EXPECT_TRUE(ClipSearchFilters::matches(clip, {.date = ClipDateFilter::today}, kNow));
    clip.setCreatedAt(QDateTime(kNow.date().addDays(-1), QTime(23, 59, 59), Qt::LocalTime));
    EXPECT_FALSE(ClipSearchFilters::matches(clip, {.date = ClipDateFilter::today}, kNow));
    EXPECT_TRUE(ClipSearchFilters::matches(clip, {.date = ClipDateFilter::last7Days}, kNow));
    clip.setCreatedAt(kNow.addSecs(-7 * 86400));
    EXPECT_TRUE(ClipSearchFilters::matches(clip, {.date = ClipDateFilter::last7Days}, kNow));
    clip.setCreatedAt(kNow.addSecs(-7 * 86400 - 1));
    EXPECT_FALSE(ClipSearchFilters::matches(clip, {.date = ClipDateFilter::last7Days}, kNow));
    EXPECT_TRUE(ClipSearchFilters::matches(clip, {.date = ClipDateFilter::last30Days}, kNow));
}

TEST(ClipSearch, QueryTermsAndSearchText)
{
    EXPECT_EQ(ClipSearchFilters::queryTerms("  alpha\tbeta \n gamma  "), (QStringList{"alpha", "beta", "gamma"}));
    EXPECT_TRUE(ClipSearchFilters::queryTerms(" \n ").isEmpty());

    ClipItem clip;
    clip.setCustomTitle(QString(" Title "));
    clip.setText(QString("body text"));
    clip.setLinkTitle(QString("   "));
    clip.setRecognizedText(QString("ocr"));
    clip.setFileName(QString("a.txt"));
    EXPECT_EQ(searchText(clip, 1000), "Title body text ocr a.txt");
    EXPECT_EQ(searchText(clip, 7), "Title b");

    EXPECT_TRUE(matchesQueryTerms(clip, {"TITLE", "a.txt"}));
    EXPECT_FALSE(matchesQueryTerms(clip, {"title", "missing"}));
    EXPECT_TRUE(matchesQueryTerms(clip, {}));

    // The cut never splits a surrogate pair.
    ClipItem emoji;
    emoji.setText(QString::fromUtf8("ab\xF0\x9F\x98\x80"));
    EXPECT_EQ(searchText(emoji, 3), "ab");
}

TEST(ClipSearch, SubstantialTextHasTwoWordsOrEightCharacters)
{
    for (const char *text : {"", "   ", "short", "sevench"})
        EXPECT_FALSE(isSubstantialText(text)) << text;
    EXPECT_TRUE(isSubstantialText("two words"));
    EXPECT_TRUE(isSubstantialText("  eightchr  "));
}

TEST(ClipSearch, QueryMatchingFoldsCaseForAsciiAndOtherScripts)
{
    ClipItem clip;
    clip.setText(QString::fromUtf8("Überweisung für die STRASSE — Invoice 42"));
    clip.setFileName(QString("report.PDF"));
    EXPECT_TRUE(QueryMatcher({"invoice", "pdf"}).matches(clip));
    EXPECT_TRUE(QueryMatcher({QString::fromUtf8("überweisung")}).matches(clip));
    EXPECT_TRUE(QueryMatcher({QString::fromUtf8("FÜR"), "strasse"}).matches(clip));
    EXPECT_FALSE(QueryMatcher({"invoices"}).matches(clip));
    EXPECT_FALSE(QueryMatcher({"42x"}).matches(clip));
    // A word longer than every field, and a match at the very end.
    EXPECT_FALSE(QueryMatcher({QString(200, 'a')}).matches(clip));
    EXPECT_TRUE(QueryMatcher({"ce 42"}).matches(clip));
}
