#include "Quillmere/Clipboard/ClipTextTransform.h"
#include "Quillmere/Model/Records.h"

#include <gtest/gtest.h>

using namespace quillmere;
using namespace Qt::StringLiterals;
using T = ClipTextTransform;

namespace {

std::optional<QString> apply(T::Case c, const QString &text)
{
    return T::apply(c, text, QLocale(u"en_US"_s));
}

QString b64(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64());
}

} // namespace

TEST(ClipTextTransform, LinkCleaningDropsTrackingItemsInPlaceAndKeepsTheRestByteForByte)
{
    const std::vector<std::pair<QString, std::optional<QString>>> cases{
        {u"See https://ex.com/p?utm_source=x&id=7&fbclid=abc."_s, u"See https://ex.com/p?id=7."_s},
        {u"(https://ex.com/p?utm_source=x&gclid=1)."_s, u"(https://ex.com/p)."_s},
        // Names compare trimmed and lower-cased; "utm" without the underscore is no tracker.
        {u"https://ex.com/?UTM_Medium=a&%20gclid=b&utm=c"_s, u"https://ex.com/?utm=c"_s},
        // Path and fragment stay; a "?" inside the fragment is not a query.
        {u"https://ex.com/a/b?mc_cid=1#part?utm_source=z"_s, u"https://ex.com/a/b#part?utm_source=z"_s},
        {u"https://u:p@ex.com:8080/?x=1&msclkid=2"_s, u"https://u:p@ex.com:8080/?x=1"_s},
        {u"https://ex.com/s?q=a%2Bb+c&utm_campaign=z&e=%C3%A9&flag&&x="_s,
         u"https://ex.com/s?q=a%2Bb+c&e=%C3%A9&flag&&x="_s},
        // The first replacement shortens the text; later links must still land where they were.
        {u"a https://one.example/?utm_source=long-value-here b https://two.example/x?fbclid=q&k=v c https://three.example/ d"_s,
         u"a https://one.example/ b https://two.example/x?k=v c https://three.example/ d"_s},
        // Nothing to offer without trackers, or without a host.
        {u"no links here"_s, std::nullopt},
        {u"https://ex.com/?id=1&page=2 and http://a.b/"_s, std::nullopt},
        {u"https://ex.com/?"_s, std::nullopt},
        {u"https://?utm_source=x"_s, std::nullopt},
        {u"https://ex.com:port/?utm_source=x"_s, std::nullopt},
    };
    for (const auto &[text, cleaned] : cases)
        EXPECT_EQ(apply(T::cleanURL, text), cleaned) << text.toStdString();
}

TEST(ClipTextTransform, PrettyJsonKeepsKeyOrderNumbersAndEscapes)
{
    EXPECT_EQ(apply(T::prettyPrintJSON, uR"({"b":1,"a":[1,2]})"_s),
              u"{\n  \"b\": 1,\n  \"a\": [\n    1,\n    2\n  ]\n}"_s);
    EXPECT_EQ(
        apply(T::prettyPrintJSON,
              uR"(  [12345678901234567890123, 1.0, -0.5e+10, "caf\u00e9 \/ \"q\"", {}, [], true, null]  )"_s),
        u"[\n  12345678901234567890123,\n  1.0,\n  -0.5e+10,\n  \"caf\\u00e9 \\/ \\\"q\\\"\",\n  {},\n  [],\n  true,\n  null\n]"_s);
    // Duplicate keys are a formatting matter, not ours to resolve.
    EXPECT_EQ(apply(T::prettyPrintJSON, uR"({"k":1,"k":2})"_s), u"{\n  \"k\": 1,\n  \"k\": 2\n}"_s);
    EXPECT_TRUE(apply(T::prettyPrintJSON, uR"(["\ud83d\ude00"])"_s));
}

TEST(ClipTextTransform, PrettyJsonOffersNothingForScalarsFormattedInvalidOrRunawayText)
{
    const auto pretty = apply(T::prettyPrintJSON, uR"({"x":{"y":[1,{"z":null}]}})"_s);
    ASSERT_TRUE(pretty);
    EXPECT_FALSE(apply(T::prettyPrintJSON, *pretty));
    EXPECT_FALSE(apply(T::prettyPrintJSON, u"{}"_s));
    for (const char *bad : {"42",
                            "\"text\"",
                            "null",
                            "{\"a\":1,}",
                            "[1,]",
                            "[1 2]",
                            "{'a':1}",
                            "{\"a\" 1}",
                            "[01]",
                            "[1.]",
                            "[.5]",
                            "[-]",
                            "[1e]",
                            "[tru]",
                            "[\"\\x\"]",
                            "[\"\\u12G4\"]",
                            "[\"\\ud800\"]",
                            "[\"\\udc00\\ud800\"]",
                            "[\"a\tb\"]",
                            "[1] [2]",
                            "[NaN]",
                            "{\"a\":1}}",
                            "[[]"})
        EXPECT_FALSE(apply(T::prettyPrintJSON, QString::fromUtf8(bad))) << bad;

    EXPECT_FALSE(apply(T::prettyPrintJSON, QString(100000, u'[') + QString(100000, u']')));
    EXPECT_TRUE(apply(T::prettyPrintJSON, QString(100, u'[') + u"1"_s + QString(100, u']')));
}

TEST(ClipTextTransform, Base64DecodesOnlyToReadableText)
{
    const QString sentence = u"Grüße aus Köln,\n\tbis bald!"_s;
    EXPECT_EQ(apply(T::decodeBase64, b64(sentence.toUtf8())), sentence);
    // Line-wrapped input and stray characters outside the alphabet are skipped.
    QString wrapped = b64(sentence.toUtf8());
    wrapped.insert(8, u"\n  "_s);
    wrapped.insert(4, u"*"_s);
    EXPECT_EQ(apply(T::decodeBase64, wrapped), sentence);

    for (const QString &bad :
         {u"abc"_s, b64(QByteArray("\xff\xfe\x80\x81 binary", 12)), b64(QByteArray("text\x01with\x1b control", 18)),
          b64(QByteArray("nul\0inside", 10)), b64("   \n  "),
          // Ordinary words are not Base64 just because their letters are in the alphabet.
          u"Testing"_s, u"SGVsbG8=SGVs"_s})
        EXPECT_FALSE(apply(T::decodeBase64, bad)) << bad.toStdString();
}

TEST(ClipTextTransform, ExtractionKeepsFirstOccurrenceOfEachMatch)
{
    EXPECT_EQ(apply(T::extractLinks,
                    u"Go to https://Ex.com/A then HTTPS://ex.com/b or https://ex.com/a "
                    u"and <http://b.org/x>. End https://c.net."_s),
              u"https://Ex.com/A\nhttp://b.org/x\nhttps://c.net."_s);
    EXPECT_EQ(apply(T::extractEmails, u"JOHN.DOE@EXAMPLE.COM, john.doe@example.com; ann+x@mail.example.org"_s),
              u"JOHN.DOE@EXAMPLE.COM\nann+x@mail.example.org"_s);
    EXPECT_FALSE(apply(T::extractEmails, u"user@host or @example.com"_s));
    EXPECT_FALSE(apply(T::extractLinks, u"ftp://ex.com www.ex.com"_s));
}

TEST(ClipTextTransform, CaseChangesAndTrimOnlyWhenTheyChangeSomething)
{
    EXPECT_EQ(apply(T::uppercase, u"straße"_s), u"STRASSE"_s);
    EXPECT_FALSE(apply(T::lowercase, u"all lower 123"_s));
    EXPECT_EQ(apply(T::lowercase, u"MiXed"_s), u"mixed"_s);
    EXPECT_EQ(apply(T::titleCase, u"hello wORLD\n(again)  x-ray"_s), u"Hello World\n(Again)  X-ray"_s);
    EXPECT_FALSE(apply(T::titleCase, u"Already Titled"_s));
    EXPECT_EQ(T::apply(T::titleCase, u"istanbul"_s, QLocale(u"tr_TR"_s)), u"İstanbul"_s);
    EXPECT_FALSE(apply(T::trimmed, u"no blanks"_s));
    EXPECT_EQ(apply(T::trimmed, u" \n\u00a0padded\t"_s), u"padded"_s);
    EXPECT_EQ(apply(T::copyText, u"  as is  "_s), u"  as is  "_s);
    for (T::Case c : T::allCases)
        EXPECT_FALSE(apply(c, u" \n\t "_s)) << qPrintable(T::rawValue(c));
}

TEST(ClipTextTransform, AvailableFollowsSourceTextAndCaseOrder)
{
    ClipItem text;
    text.setText(uR"({"b":1,"a":[1,2]})"_s);
    EXPECT_EQ(T::available(text), (std::vector<T::Case>{T::copyText, T::prettyPrintJSON, T::uppercase, T::titleCase}));

    // Image and file clips offer their recognised text, and nothing without it.
    ClipItem image;
    image.setKind(ClipKind::image);
    image.setText(u"ignored"_s);
    EXPECT_TRUE(T::available(image).empty());
    image.setRecognizedText(u"Call ME"_s);
    EXPECT_EQ(T::available(image, QLocale(u"en_US"_s)),
              (std::vector<T::Case>{T::copyText, T::uppercase, T::lowercase, T::titleCase}));

    ClipItem unknownKind;
    unknownKind.setKindRawValue(u"hologram"_s);
    unknownKind.setText(u"x"_s);
    EXPECT_EQ(T::sourceText(unknownKind), u"x"_s);
    unknownKind.setText(u"   "_s);
    EXPECT_TRUE(T::available(unknownKind).empty());
}
