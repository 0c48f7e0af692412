#include "Quillmere/Pages/ClipCardContent.h"
#include "Quillmere/Pages/PageColors.h"
#include "Quillmere/Pages/PageTabActions.h"

#include "QStringPrinting.h"

#include <gtest/gtest.h>

using namespace quillmere;

namespace {

ClipSnapshot clip(ClipKind kind, std::optional<QString> text)
{
    ClipSnapshot c;
    c.id = {QStringLiteral("ClipItem"), 1};
    c.kindRawValue = rawValue(kind);
    c.text = std::move(text);
    return c;
}

} // namespace

TEST(ClipCardText, EachKindSaysWhatMattersAndSecretsStayMasked)
{
    ClipSnapshot link = clip(ClipKind::url, QStringLiteral("https://docs.example.com/guide/start/?tab=2"));
    link.linkTitle = QStringLiteral("  Getting started  ");
    const ClipCardText linkText = ClipCardText::of(ClipCardInputs::forClip(link));
    EXPECT_EQ(linkText.title, QStringLiteral("Getting started"));
    EXPECT_EQ(linkText.body, QStringLiteral("docs.example.com/guide/start/?tab=2"));
    EXPECT_EQ(linkText.caption, QStringLiteral("docs.example.com"));

    ClipSnapshot file = clip(ClipKind::file, QStringLiteral("/home/ana/report.final.pdf"));
    file.fileName = QStringLiteral("report.final.pdf");
    file.hasImageData = true;
    const ClipCardText fileText = ClipCardText::of(ClipCardInputs::forClip(file));
    EXPECT_EQ(fileText.title, QStringLiteral("report.final.pdf"));
    EXPECT_EQ(fileText.caption, QStringLiteral("PDF file"));
    EXPECT_TRUE(fileText.wantsThumbnail);

    // A secret shows its kind and mask only, never its text or a picture.
    ClipSnapshot secret = clip(ClipKind::image, QStringLiteral("password: Tr0ub4dor&3-horse-battery"));
    secret.hasImageData = true;
    const ClipCardInputs secretInputs = ClipCardInputs::forClip(secret);
    ASSERT_TRUE(secretInputs.isSensitive);
    const ClipCardText secretText = ClipCardText::of(secretInputs);
    EXPECT_FALSE(secretText.wantsThumbnail);
    EXPECT_FALSE(secretText.body.contains(QStringLiteral("Tr0ub4dor")));
    EXPECT_EQ(secretText.title, secretInputs.displayName.value_or(QString()));

    // The scan text is what the store's rule gives: text, then recognised text.
    ClipSnapshot shot = clip(ClipKind::image, std::nullopt);
    shot.recognizedText = QStringLiteral("Call 020 7946 0958");
    EXPECT_EQ(entityScanText(shot), QStringLiteral("Call 020 7946 0958"));
}

TEST(ClipCardText, OurOwnSourcesShowTheProductNameAndOthersTheirOwn)
{
    const std::vector<std::pair<QString, QString>> cases{
        {QStringLiteral("Quillmere"), QStringLiteral("Brindlewax")},
        {QStringLiteral(" Quillmere OCR "), QStringLiteral("Brindlewax OCR")},
        {QStringLiteral("Quillmere Capture"), QStringLiteral("Brindlewax Capture")},
        {QStringLiteral("Quillmere Drop"), QStringLiteral("Brindlewax Drop")},
        {QStringLiteral("Quillmere Recording"), QStringLiteral("Brindlewax Recording")},
        {QStringLiteral("QuillmereX"), QStringLiteral("QuillmereX")},
        {QStringLiteral("XTerm"), QStringLiteral("XTerm")},
    };
    for (const auto &[stored, shown] : cases) {
        ClipSnapshot c = clip(ClipKind::text, QStringLiteral("words"));
        c.sourceAppName = stored;
        EXPECT_EQ(ClipCardText::of(ClipCardInputs::forClip(c)).sourceName, shown) << stored.toStdString();
    }
    ClipSnapshot none = clip(ClipKind::text, QStringLiteral("words"));
    EXPECT_TRUE(ClipCardText::of(ClipCardInputs::forClip(none)).sourceName.isEmpty());
}

TEST(PageColors, TenNamesMagentaExactOthersGray)
{
    EXPECT_EQ(PageColors::names().size(), 10);
    EXPECT_EQ(PageColors::names().front(), QStringLiteral("magenta"));
    const QColor magenta = PageColors::color(QStringLiteral("magenta"));
    EXPECT_NEAR(magenta.redF(), 0.93, 0.002);
    EXPECT_NEAR(magenta.greenF(), 0.21, 0.002);
    EXPECT_NEAR(magenta.blueF(), 0.88, 0.002);
    EXPECT_EQ(magenta.alpha(), 255);
    for (const QString &name : PageColors::names())
        EXPECT_NE(PageColors::color(name), PageColors::color(QStringLiteral("gray"))) << qPrintable(name);
    EXPECT_EQ(PageColors::color(QStringLiteral("Magenta")), PageColors::color(QStringLiteral("chartreuse")));
    EXPECT_EQ(PageColors::title(QStringLiteral("indigo")), QStringLiteral("Indigo"));
}

TEST(PageTabActions, MovedOrderClampsBothEnds)
{
    const auto id = [](qint64 row) { return PersistentIdentifier{QStringLiteral("Pinboard"), row}; };
    const std::vector<PersistentIdentifier> ids{id(1), id(2), id(3)};
    EXPECT_EQ(PageTabActions::movedOrder(ids, 2, 0), (std::vector{id(3), id(1), id(2)}));
    EXPECT_EQ(PageTabActions::movedOrder(ids, 0, 9), (std::vector{id(2), id(3), id(1)}));
    EXPECT_EQ(PageTabActions::movedOrder(ids, 1, -4), (std::vector{id(2), id(1), id(3)}));
    EXPECT_TRUE(PageTabActions::movedOrder({}, 0, 1).empty());
}
