#include "Quillmere/Model/ClipPresentation.h"

#include <gtest/gtest.h>

using namespace quillmere;

namespace {

ClipRef clip(ClipKind kind, std::optional<QString> text)
{
    auto c = std::make_shared<ClipItem>();
    c->setKind(kind);
    c->setText(std::move(text));
    return c;
}

} // namespace

TEST(ClipPresentation, SensitiveTextIsMaskedAndNamedByItsLabel)
{
    auto code = clip(ClipKind::text, QStringLiteral("Your verification code is 482913"));
    auto p = safePresentation(*code);
    EXPECT_TRUE(p.isSensitive);
    EXPECT_EQ(p.displayName, QStringLiteral("One-time code"));
    EXPECT_FALSE(p.safePreview.contains(QStringLiteral("482913")));
    EXPECT_FALSE(p.safePreview.contains(QStringLiteral("verification")));

    // A title the user gave wins over the label, but the preview stays masked.
    code->setCustomTitle(QStringLiteral("Bank login"));
    p = safePresentation(*code);
    EXPECT_EQ(p.displayName, QStringLiteral("Bank login"));
    EXPECT_TRUE(p.isSensitive);
    EXPECT_FALSE(p.safePreview.contains(QStringLiteral("482913")));
}

TEST(ClipPresentation, OrdinaryClipsShowTheirTitleByKind)
{
    const auto p = safePresentation(*clip(ClipKind::text, QString("\n  Shopping list: eggs, milk  \n")));
    EXPECT_FALSE(p.isSensitive);
    EXPECT_FALSE(p.displayName);
    EXPECT_EQ(p.safePreview, "Shopping list: eggs, milk");

    auto preview = [](ClipKind kind, std::optional<QString> text) {
        return safePresentation(*clip(kind, text)).safePreview;
    };
    EXPECT_EQ(preview(ClipKind::text, QString("  ")), "Empty text");
    EXPECT_EQ(preview(ClipKind::url, std::nullopt), "Empty text");
    EXPECT_EQ(preview(ClipKind::image, QString("https://example.com/cat.png")), "Image");
    EXPECT_EQ(preview(ClipKind::file, QString("/tmp/a.pdf")), "File");
    auto file = clip(ClipKind::file, QString("/tmp/a.pdf"));
    file->setFileName(QString("a.pdf"));
    EXPECT_EQ(safePresentation(*file).safePreview, "a.pdf");

    auto unknown = clip(ClipKind::text, QString("from the future"));
    unknown->setKindRawValue("hologram");
    EXPECT_EQ(safePresentation(*unknown).safePreview, "from the future");
}

TEST(ClipPresentation, PreviewIsCutAtThreeHundredCharactersWithoutSplittingOne)
{
    // Each flag is two code points of two UTF-16 units each.
    const QString flag = QString::fromUtf8("\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA");
    QString many;
    for (int i = 0; i < 400; ++i)
        many += flag;
    const QString preview = safePresentation(*clip(ClipKind::text, many)).safePreview;
    EXPECT_EQ(preview.size(), 300 * flag.size());
    EXPECT_TRUE(preview.endsWith(flag));

    // Characters built of many marks, and one that runs far past the first few hundred units.
    const QString marks(10, QChar(0x0301));
    QString heavy;
    for (int i = 0; i < 400; ++i)
        heavy += QLatin1Char('e') + marks;
    EXPECT_EQ(displayTitle(*clip(ClipKind::text, heavy)).size(), 300 * 11);
    const QString longLast = QString(299, QLatin1Char('a')) + QLatin1Char('e') + QString(2000, QChar(0x0301))
        + QString(100000, QLatin1Char('z'));
    EXPECT_EQ(displayTitle(*clip(ClipKind::text, longLast)).size(), 299 + 1 + 2000);
    EXPECT_EQ(displayTitle(*clip(ClipKind::text, QString(100000, QLatin1Char('z')))).size(), 300);
}

TEST(ClipPresentation, DistinctTitleIgnoresBlankTitlesAndOnesRepeatingTheText)
{
    auto c = clip(ClipKind::text, QString("  Meeting notes "));
    EXPECT_FALSE(distinctCustomTitle(*c));
    for (const char *title : {"   ", "Meeting notes"}) {
        c->setCustomTitle(QString(title));
        EXPECT_FALSE(distinctCustomTitle(*c)) << title;
    }
    c->setCustomTitle(QString(" Monday "));
    EXPECT_EQ(distinctCustomTitle(*c), QString("Monday"));
}

TEST(ClipPresentation, PrimaryTextByKindAndJoining)
{
    auto text = clip(ClipKind::text, QStringLiteral("  first  "));
    auto blank = clip(ClipKind::text, QStringLiteral(" \n "));
    auto image = clip(ClipKind::image, QStringLiteral("https://example.com/a.png"));
    auto scanned = clip(ClipKind::image, std::nullopt);
    scanned->setRecognizedText(QStringLiteral(" scanned words "));
    auto file = clip(ClipKind::file, QStringLiteral("/tmp/x"));

    EXPECT_EQ(primaryText(*text), QStringLiteral("first"));
    EXPECT_FALSE(primaryText(*blank));
    EXPECT_FALSE(primaryText(*image));
    EXPECT_EQ(primaryText(*scanned), QStringLiteral("scanned words"));
    EXPECT_FALSE(primaryText(*file));

    EXPECT_EQ(joinedPrimaryText({image, text, blank, scanned, file}, QStringLiteral("\n\n")),
              QStringLiteral("first\n\nscanned words"));
    EXPECT_FALSE(joinedPrimaryText({image, blank, file}, QStringLiteral("\n\n")));
    EXPECT_FALSE(joinedPrimaryText({}, QStringLiteral(",")));
}

TEST(ClipPresentation, PayloadSizeCountsUtf8BytesOfBothTexts)
{
    auto c = clip(ClipKind::image, QString::fromUtf8("\xC3\xA9t\xC3\xA9 \xF0\x9F\x8C\x9E"));
    c->setRecognizedText(QStringLiteral("sun"));
    c->setImageData(QByteArray(1000, 'i'));
    c->setFileData(QByteArray(24, 'f'));
    EXPECT_EQ(payloadByteCount(*c), 1000 + 24 + 10 + 3);
    EXPECT_EQ(entityScanText(*c), *c->text() + QStringLiteral("\nsun"));
}

TEST(ClipPresentation, OnlyOurOwnSourceNamesChangeForDisplay)
{
    EXPECT_EQ(sourceDisplayName(QStringLiteral("Quillmere")), QStringLiteral("Brindlewax"));
    EXPECT_EQ(sourceDisplayName(QStringLiteral("Quillmere Recording")), QStringLiteral("Brindlewax Recording"));
    // Only the whole word followed by a blank is ours.
    EXPECT_EQ(sourceDisplayName(QStringLiteral("Quillmeres Notes")), QStringLiteral("Quillmeres Notes"));
    EXPECT_EQ(sourceDisplayName(QStringLiteral("My Quillmere")), QStringLiteral("My Quillmere"));
    EXPECT_EQ(sourceDisplayName(QStringLiteral("quillmere")), QStringLiteral("quillmere"));
    EXPECT_FALSE(sourceDisplayName(std::optional<QString>()));
}
