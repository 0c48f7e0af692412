#include "Quillmere/Clipboard/ClipTextTransform.h"
#include "Quillmere/Model/Records.h"

#include <gtest/gtest.h>

using namespace quillmere;
using T = ClipTextTransform;

namespace {

std::optional<QString> apply(T::Case c, const QString &text)
{
    return T::apply(c, text, QLocale(QStringLiteral("en_US")));
}

QString b64(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64());
}

} // namespace

TEST(ClipTextTransform, LinkCleaningDropsTrackingItemsAndKeepsTheRest)
{
    EXPECT_EQ(apply(T::cleanURL, QStringLiteral("See https://ex.com/p?utm_source=x&id=7&fbclid=abc.")),
              QStringLiteral("See https://ex.com/p?id=7."));
    EXPECT_EQ(apply(T::cleanURL, QStringLiteral("(https://ex.com/p?utm_source=x&gclid=1).")),
              QStringLiteral("(https://ex.com/p)."));
    // Names compare trimmed and lower-cased; "utm" without the underscore is no tracker.
    EXPECT_EQ(apply(T::cleanURL, QStringLiteral("https://ex.com/?UTM_Medium=a&%20gclid=b&utm=c")),
              QStringLiteral("https://ex.com/?utm=c"));
    // Path and fragment stay; a "?" inside the fragment is not a query.
    EXPECT_EQ(apply(T::cleanURL, QStringLiteral("https://ex.com/a/b?mc_cid=1#part?utm_source=z")),
              QStringLiteral("https://ex.com/a/b#part?utm_source=z"));
    EXPECT_EQ(apply(T::cleanURL, QStringLiteral("https://u:p@ex.com:8080/?x=1&msclkid=2")),
              QStringLiteral("https://u:p@ex.com:8080/?x=1"));
}

TEST(ClipTextTransform, LinkCleaningKeepsKeptItemsByteForByte)
{
    EXPECT_EQ(apply(T::cleanURL, QStringLiteral("https://ex.com/s?q=a%2Bb+c&utm_campaign=z&e=%C3%A9&flag&&x=")),
              QStringLiteral("https://ex.com/s?q=a%2Bb+c&e=%C3%A9&flag&&x="));
}

TEST(ClipTextTransform, LinkCleaningRewritesEveryLinkInPlace)
{
    // The first replacement shortens the text; later links must still land where they were.
    const QString text = QStringLiteral("a https://one.example/?utm_source=long-value-here b "
                                        "https://two.example/x?fbclid=q&k=v c https://three.example/ d");
    EXPECT_EQ(apply(T::cleanURL, text),
              QStringLiteral("a https://one.example/ b https://two.example/x?k=v c https://three.example/ d"));
}

TEST(ClipTextTransform, LinkCleaningOffersNothingWithoutTrackers)
{
    EXPECT_FALSE(apply(T::cleanURL, QStringLiteral("no links here")));
    EXPECT_FALSE(apply(T::cleanURL, QStringLiteral("https://ex.com/?id=1&page=2 and http://a.b/")));
    EXPECT_FALSE(apply(T::cleanURL, QStringLiteral("https://ex.com/?")));
    // Without a host there is no link to clean.
    EXPECT_FALSE(apply(T::cleanURL, QStringLiteral("https://?utm_source=x")));
    EXPECT_FALSE(apply(T::cleanURL, QStringLiteral("https://ex.com:port/?utm_source=x")));
}

TEST(ClipTextTransform, PrettyJsonKeepsKeyOrderNumbersAndEscapes)
{
    EXPECT_EQ(apply(T::prettyPrintJSON, QStringLiteral(R"({"b":1,"a":[1,2]})")),
              QStringLiteral("{\n  \"b\": 1,\n  \"a\": [\n    1,\n    2\n  ]\n}"));
    EXPECT_EQ(apply(T::prettyPrintJSON,
                    QStringLiteral(R"(  [12345678901234567890123, 1.0, -0.5e+10, "caf\u00e9 \/ \"q\"", {}, [], true, null]  )")),
              QStringLiteral("[\n  12345678901234567890123,\n  1.0,\n  -0.5e+10,\n  \"caf\\u00e9 \\/ \\\"q\\\"\",\n"
                             "  {},\n  [],\n  true,\n  null\n]"));
    // Duplicate keys are a formatting matter, not ours to resolve.
    EXPECT_EQ(apply(T::prettyPrintJSON, QStringLiteral(R"({"k":1,"k":2})")),
              QStringLiteral("{\n  \"k\": 1,\n  \"k\": 2\n}"));
}

TEST(ClipTextTransform, PrettyJsonOffersNothingForScalarsFormattedOrInvalidText)
{
    const auto pretty = apply(T::prettyPrintJSON, QStringLiteral(R"({"x":{"y":[1,{"z":null}]}})"));
    ASSERT_TRUE(pretty);
    EXPECT_FALSE(apply(T::prettyPrintJSON, *pretty));
    EXPECT_FALSE(apply(T::prettyPrintJSON, QStringLiteral("{}")));
    for (const char *bad : {"42", "\"text\"", "null", "{\"a\":1,}", "[1,]", "[1 2]", "{'a':1}", "{\"a\" 1}", "[01]",
                            "[1.]", "[.5]", "[-]", "[1e]", "[tru]", "[\"\\x\"]", "[\"\\u12G4\"]", "[\"\\ud800\"]",
                            "[\"\\udc00\\ud800\"]", "[\"a\tb\"]", "[1] [2]", "[NaN]", "{\"a\":1}}", "[[]"}) {
        EXPECT_FALSE(apply(T::prettyPrintJSON, QString::fromUtf8(bad))) << bad;
    }
    EXPECT_TRUE(apply(T::prettyPrintJSON, QStringLiteral(R"(["\ud83d\ude00"])")));
}

TEST(ClipTextTransform, PrettyJsonRefusesRunawayNesting)
{
    const QString deep = QString(100000, QLatin1Char('[')) + QString(100000, QLatin1Char(']'));
    EXPECT_FALSE(apply(T::prettyPrintJSON, deep));
    const QString fine = QString(100, QLatin1Char('[')) + QStringLiteral("1") + QString(100, QLatin1Char(']'));
    EXPECT_TRUE(apply(T::prettyPrintJSON, fine));
}

TEST(ClipTextTransform, Base64DecodesOnlyToReadableText)
{
    const QString sentence = QStringLiteral("Grüße aus Köln,\n\tbis bald!");
    EXPECT_EQ(apply(T::decodeBase64, b64(sentence.toUtf8())), sentence);
    // Line-wrapped input and stray characters outside the alphabet are skipped.
    QString wrapped = b64(sentence.toUtf8());
    wrapped.insert(8, QStringLiteral("\n  "));
    wrapped.insert(4, QStringLiteral("*"));
    EXPECT_EQ(apply(T::decodeBase64, wrapped), sentence);

    EXPECT_FALSE(apply(T::decodeBase64, QStringLiteral("abc")));
    EXPECT_FALSE(apply(T::decodeBase64, b64(QByteArray("\xff\xfe\x80\x81 binary", 12))));
    EXPECT_FALSE(apply(T::decodeBase64, b64(QByteArray("text\x01with\x1b control", 18))));
    EXPECT_FALSE(apply(T::decodeBase64, b64(QByteArray("nul\0inside", 10))));
    EXPECT_FALSE(apply(T::decodeBase64, b64(QByteArray("   \n  "))));
    // Ordinary words are not Base64 just because their letters are in the alphabet.
    EXPECT_FALSE(apply(T::decodeBase64, QStringLiteral("Testing")));
    EXPECT_FALSE(apply(T::decodeBase64, QStringLiteral("SGVsbG8=SGVs")));
}

TEST(ClipTextTransform, ExtractionKeepsFirstOccurrenceOfEachMatch)
{
    EXPECT_EQ(apply(T::extractLinks, QStringLiteral("Go to https://Ex.com/A then HTTPS://ex.com/b or https://ex.com/a "
                                                    "and <http://b.org/x>. End https://c.net.")),
              QStringLiteral("https://Ex.com/A\nhttp://b.org/x\nhttps://c.net."));
    EXPECT_EQ(apply(T::extractEmails, QStringLiteral("JOHN.DOE@EXAMPLE.COM, john.doe@example.com; ann+x@mail.example.org")),
              QStringLiteral("JOHN.DOE@EXAMPLE.COM\nann+x@mail.example.org"));
    EXPECT_FALSE(apply(T::extractEmails, QStringLiteral("user@host or @example.com")));
    EXPECT_FALSE(apply(T::extractLinks, QStringLiteral("ftp://ex.com www.ex.com")));
}

TEST(ClipTextTransform, CaseChangesAndTrimOnlyWhenTheyChangeSomething)
{
    EXPECT_EQ(apply(T::uppercase, QStringLiteral("straße")), QStringLiteral("STRASSE"));
    EXPECT_FALSE(apply(T::lowercase, QStringLiteral("all lower 123")));
    EXPECT_EQ(apply(T::lowercase, QStringLiteral("MiXed")), QStringLiteral("mixed"));
    EXPECT_EQ(apply(T::titleCase, QStringLiteral("hello wORLD\n(again)  x-ray")), QStringLiteral("Hello World\n(Again)  X-ray"));
    EXPECT_FALSE(apply(T::titleCase, QStringLiteral("Already Titled")));
    EXPECT_EQ(T::apply(T::titleCase, QStringLiteral("istanbul"), QLocale(QStringLiteral("tr_TR"))), QStringLiteral("İstanbul"));
    EXPECT_FALSE(apply(T::trimmed, QStringLiteral("no blanks")));
    EXPECT_EQ(apply(T::trimmed, QStringLiteral(" \n\u00a0padded\t")), QStringLiteral("padded"));
    EXPECT_EQ(apply(T::copyText, QStringLiteral("  as is  ")), QStringLiteral("  as is  "));
    for (T::Case c : T::allCases)
        EXPECT_FALSE(apply(c, QStringLiteral(" \n\t "))) << qPrintable(T::rawValue(c));
}

TEST(ClipTextTransform, AvailableFollowsSourceTextAndCaseOrder)
{
    ClipItem text;
    text.setText(QStringLiteral(R"({"b":1,"a":[1,2]})"));
    EXPECT_EQ(T::available(text), (std::vector<T::Case>{T::copyText, T::prettyPrintJSON, T::uppercase, T::titleCase}));

    // Image and file clips offer their recognised text, and nothing without it.
    ClipItem image;
    image.setKind(ClipKind::image);
    image.setText(QStringLiteral("ignored"));
    EXPECT_TRUE(T::available(image).empty());
    image.setRecognizedText(QStringLiteral("Call ME"));
    EXPECT_EQ(T::available(image, QLocale(QStringLiteral("en_US"))),
              (std::vector<T::Case>{T::copyText, T::uppercase, T::lowercase, T::titleCase}));

    ClipItem unknownKind;
    unknownKind.setKindRawValue(QStringLiteral("hologram"));
    unknownKind.setText(QStringLiteral("x"));
    EXPECT_EQ(T::sourceText(unknownKind), QStringLiteral("x"));
    unknownKind.setText(QStringLiteral("   "));
    EXPECT_TRUE(T::available(unknownKind).empty());
}
