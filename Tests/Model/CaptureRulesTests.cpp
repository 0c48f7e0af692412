#include "Quillmere/Model/ClipCaptureRules.h"

#include "Support/TestSupport.h"

#include <QSet>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

using Field = ClipCaptureRuleField;

ClipCaptureRule rule(Field field, const QString &pattern, bool enabled = true)
{
    return {QUuid::createUuid(), enabled, field, pattern};
}

ClipCaptureRuleContext textContext(const QString &text, ClipKind kind = ClipKind::text)
{
    return {kind, text, QStringLiteral("Notes"), QStringLiteral("org.example.Notes")};
}

void storeRaw(Preferences &prefs, const QByteArray &json)
{
    prefs.setData(ClipRulePreferences::key, json);
}

QList<Field> fields(const std::vector<ClipCaptureRule> &rules)
{
    QList<Field> out;
    for (const auto &r : rules)
        out << r.field;
    return out;
}

} // namespace

TEST(CaptureRules, CleaningTrimsDropsBlanksAndCaseInsensitiveRepeats)
{
    const QStringList cleaned = ClipRulePreferences::normalizedPatterns(
        {QStringLiteral("  Slack \n"), QStringLiteral("slack"), QStringLiteral("   "), QStringLiteral(""),
         QStringLiteral("1Password"), QStringLiteral("SLACK")});
    EXPECT_EQ(cleaned, (QStringList{QStringLiteral("Slack"), QStringLiteral("1Password")}));
}

TEST(CaptureRules, DerivationGivesAppRulesFirstThenTextAndHostPairs)
{
    ClipRulePreferences prefs{{QStringLiteral("Vault")}, {QStringLiteral("bank.example"), QStringLiteral("secret")}};
    const auto rules = prefs.captureRules();
    EXPECT_EQ(fields(rules), (QList<Field>{Field::sourceApp, Field::textContains, Field::urlHost, Field::textContains,
                                           Field::urlHost}));
    QSet<QUuid> ids;
    for (const auto &r : rules) {
        EXPECT_TRUE(r.isEnabled);
        ids.insert(r.id);
    }
    EXPECT_EQ(ids.size(), 5);
    EXPECT_EQ(rules[3].pattern, QStringLiteral("secret"));
    EXPECT_EQ(rules[4].pattern, QStringLiteral("secret"));
}

TEST(CaptureRules, SourceAppPatternMatchesNameOrBundleIdentifierIgnoringCase)
{
    const auto r = rule(Field::sourceApp, QStringLiteral("keepass"));
    EXPECT_TRUE(r.matches({ClipKind::text, QStringLiteral("x"), QStringLiteral("KEEPASSXC"), QStringLiteral("org.other")}));
    EXPECT_TRUE(r.matches({ClipKind::text, QStringLiteral("x"), QStringLiteral("Password Safe"),
                           QStringLiteral("org.keepassxc.KeePassXC")}));
    EXPECT_FALSE(r.matches({ClipKind::text, QStringLiteral("keepass"), QStringLiteral("Editor"), QStringLiteral("org.editor")}));
    EXPECT_FALSE(r.matches({ClipKind::text, QStringLiteral("x"), std::nullopt, std::nullopt}));

    EXPECT_TRUE(rule(Field::sourceBundleID, QStringLiteral("KEEPASS"))
                    .matches({std::nullopt, std::nullopt, QStringLiteral("Vault"), QStringLiteral("org.keepassxc")}));
    EXPECT_FALSE(rule(Field::sourceBundleID, QStringLiteral("vault"))
                     .matches({std::nullopt, std::nullopt, QStringLiteral("Vault"), QStringLiteral("org.keepassxc")}));
    EXPECT_TRUE(rule(Field::sourceAppName, QStringLiteral("vau"))
                    .matches({std::nullopt, std::nullopt, QStringLiteral("Vault"), QStringLiteral("org.keepassxc")}));
}

TEST(CaptureRules, TextMatchingIgnoresAccentsAndCaseBothWays)
{
    EXPECT_TRUE(rule(Field::textContains, QStringLiteral("resume")).matches(textContext(QStringLiteral("My RÉSUMÉ draft"))));
    EXPECT_TRUE(rule(Field::textContains, QString::fromUtf8("Résumé")).matches(textContext(QStringLiteral("resume.pdf"))));
    // Decomposed input (e + combining acute) folds the same as the precomposed letter.
    EXPECT_TRUE(rule(Field::textContains, QStringLiteral("cafe")).matches(textContext(QString::fromUtf8("Cafe\xCC\x81 au lait"))));
    EXPECT_FALSE(rule(Field::textContains, QStringLiteral("resumes")).matches(textContext(QStringLiteral("résumé"))));
}

TEST(CaptureRules, HostFragmentBlocksAddressesThroughHostAndAnyTextThroughContains)
{
    const ClipRulePreferences prefs{{}, {QStringLiteral("bank.example")}};
    const auto rules = prefs.captureRules();
    const auto host = rules[1];
    ASSERT_EQ(host.field, Field::urlHost);

    EXPECT_TRUE(host.matches(textContext(QStringLiteral("https://login.BANK.example/session?id=1"), ClipKind::url)));
    // The host, not the path, is what a host rule looks at.
    EXPECT_FALSE(host.matches(textContext(QStringLiteral("https://mirror.test/bank.example"), ClipKind::url)));
    // Text that does not parse as an address never matches a host rule.
    EXPECT_FALSE(host.matches(textContext(QStringLiteral("see https://login.bank.example now"))));
    EXPECT_FALSE(host.matches(textContext(QStringLiteral("bank.example"))));

    EXPECT_TRUE(ClipCaptureRule::anyEnabledRuleMatches(rules, textContext(QStringLiteral("see https://login.bank.example now"))));
    EXPECT_FALSE(ClipCaptureRule::anyEnabledRuleMatches(rules, textContext(QStringLiteral("the bank on Example Street"))));
}

TEST(CaptureRules, KindRulesCompareWholeNamesOnly)
{
    const auto image = textContext(QString(), ClipKind::image);
    EXPECT_TRUE(rule(Field::kind, QStringLiteral(" IMAGE ")).matches(image));
    EXPECT_FALSE(rule(Field::kind, QStringLiteral("im")).matches(image));
    EXPECT_FALSE(rule(Field::kind, QStringLiteral("text")).matches(image));
    EXPECT_FALSE(rule(Field::kind, QStringLiteral("image")).matches({std::nullopt, std::nullopt, std::nullopt, std::nullopt}));
    // Blank patterns and disabled rules never match.
    EXPECT_FALSE(rule(Field::textContains, QStringLiteral("  \n")).matches(textContext(QStringLiteral("x"))));
    EXPECT_FALSE(ClipCaptureRule::anyEnabledRuleMatches({rule(Field::kind, QStringLiteral("image"), false)}, image));
}

TEST(CaptureRules, SourcePreCheckContextIsMatchedOnlyBySourceRules)
{
    const ClipCaptureRuleContext preCheck{std::nullopt, std::nullopt, QStringLiteral("Image Viewer"),
                                          QStringLiteral("org.gnome.eog")};
    for (Field f : {Field::textContains, Field::urlHost, Field::kind})
        EXPECT_FALSE(rule(f, QStringLiteral("image")).matches(preCheck)) << qPrintable(rawValue(f));
    EXPECT_TRUE(rule(Field::sourceApp, QStringLiteral("image")).matches(preCheck));
}

TEST(CaptureRules, FileContentIsTestedWithPathsNameAndRecognisedText)
{
    CapturedContent file;
    file.kind = ClipKind::file;
    file.text = QStringLiteral("/home/ada/a.txt\n/home/ada/b.txt");
    file.fileName = QStringLiteral("Payroll 2024.xlsx");
    file.recognizedText = QStringLiteral("Quarterly figures");
    const ClipCaptureRuleContext ctx(file);
    EXPECT_EQ(ctx.text, QStringLiteral("/home/ada/a.txt\n/home/ada/b.txt\nPayroll 2024.xlsx\nQuarterly figures"));
    EXPECT_EQ(ctx.kind, ClipKind::file);
    const ClipRulePreferences prefs{{}, {QStringLiteral("payroll")}};
    EXPECT_TRUE(ClipCaptureRule::anyEnabledRuleMatches(prefs.captureRules(), ctx));

    CapturedContent empty;
    empty.kind = ClipKind::image;
    EXPECT_EQ(ClipCaptureRuleContext(empty).text, QString());
}

TEST(CaptureRules, NothingStoredMeansNoRules)
{
    test::TempPreferences prefs;
    EXPECT_TRUE(ClipRulePreferences::currentRules(*prefs).empty());
}

TEST(CaptureRules, EachStoredListIsReadOnItsOwn)
{
    test::TempPreferences prefs;
    // A damaged or missing text list must not switch the blocked apps off.
    storeRaw(*prefs, R"({"blockedAppPatterns":[" Vault ","vault","Keyring"]})");
    auto rules = ClipRulePreferences::currentRules(*prefs);
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].pattern, QStringLiteral("Vault"));
    EXPECT_EQ(rules[1].field, Field::sourceApp);

    storeRaw(*prefs, R"({"blockedAppPatterns":"Vault","blockedTextPatterns":["secret"]})");
    EXPECT_EQ(fields(ClipRulePreferences::currentRules(*prefs)), (QList<Field>{Field::textContains, Field::urlHost}));

    // Entries that are not texts are skipped, the rest of the list still blocks.
    storeRaw(*prefs, R"({"blockedAppPatterns":["Vault",7,null],"blockedTextPatterns":[]})");
    rules = ClipRulePreferences::currentRules(*prefs);
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].pattern, QStringLiteral("Vault"));
}

TEST(CaptureRules, UndecodableValuesGiveNoRules)
{
    test::TempPreferences prefs;
    storeRaw(*prefs, "{not json");
    EXPECT_TRUE(ClipRulePreferences::currentRules(*prefs).empty());
    storeRaw(*prefs, R"(["Vault"])");
    EXPECT_TRUE(ClipRulePreferences::currentRules(*prefs).empty());
    prefs->setString(ClipRulePreferences::key, QStringLiteral(R"({"blockedAppPatterns":["Vault"],"blockedTextPatterns":[]})"));
    EXPECT_TRUE(ClipRulePreferences::currentRules(*prefs).empty());
}

TEST(CaptureRules, SettingsWriterRoundTripsAndTheStrictReaderNeedsBothLists)
{
    test::TempPreferences prefs;
    const ClipRulePreferences written{{QStringLiteral("Vault")}, {QStringLiteral("bank.example")}};
    prefs->setJSON(written, ClipRulePreferences::key);
    EXPECT_EQ(ClipRulePreferences::load(*prefs), written);
    EXPECT_FALSE(ClipRulePreferences::fromJson(QJsonObject{{QStringLiteral("blockedAppPatterns"), QJsonArray{}}}));

    QJsonObject bad = rule(Field::urlHost, QStringLiteral("x")).toJson().toObject();
    bad[QStringLiteral("field")] = QStringLiteral("host");
    EXPECT_FALSE(ClipCaptureRule::fromJson(bad));
}
