#include "Quillmere/Model/AutoPageRules.h"
#include "Quillmere/Model/ClipCaptureRules.h"
#include "Quillmere/Model/ClipSearch.h"

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
    return {kind, text, QString("Notes"), QString("org.example.Notes")};
}

// What a check before the content is read knows: the source only.
ClipCaptureRuleContext sourceOnly(const QString &name, const QString &bundleID)
{
    return {std::nullopt, std::nullopt, name, bundleID};
}

QList<Field> fields(const std::vector<ClipCaptureRule> &rules)
{
    QList<Field> out;
    for (const auto &r : rules)
        out << r.field;
    return out;
}

} // namespace

TEST(CaptureRules, ListsAreCleanedAndGiveAppRulesFirstThenTextAndHostPairs)
{
    EXPECT_EQ(ClipRulePreferences::normalizedPatterns({"  Slack \n", "slack", "   ", "", "1Password", "SLACK"}),
              (QStringList{"Slack", "1Password"}));

    const auto rules = ClipRulePreferences{{"Vault"}, {"bank.example", "secret"}}.captureRules();
    EXPECT_EQ(
        fields(rules),
        (QList<Field>{Field::sourceApp, Field::textContains, Field::urlHost, Field::textContains, Field::urlHost}));
    EXPECT_EQ(rules[3].pattern, "secret");
    EXPECT_EQ(rules[4].pattern, "secret");
    QSet<QUuid> ids;
    for (const auto &r : rules)
        ids.insert(r.id);
    EXPECT_EQ(ids.size(), 5);
}

TEST(CaptureRules, SourceAppPatternMatchesNameOrBundleIdentifierIgnoringCase)
{
    const auto r = rule(Field::sourceApp, "keepass");
    EXPECT_TRUE(r.matches(sourceOnly("KEEPASSXC", "org.other")));
    EXPECT_TRUE(r.matches(sourceOnly("Password Safe", "org.keepassxc.KeePassXC")));
    EXPECT_FALSE(r.matches({ClipKind::text, QString("keepass"), QString("Editor"), QString("org.editor")}));
    EXPECT_FALSE(r.matches({ClipKind::text, QString("x"), std::nullopt, std::nullopt}));

    EXPECT_TRUE(rule(Field::sourceBundleID, "KEEPASS").matches(sourceOnly("Vault", "org.keepassxc")));
    EXPECT_FALSE(rule(Field::sourceBundleID, "vault").matches(sourceOnly("Vault", "org.keepassxc")));
    EXPECT_TRUE(rule(Field::sourceAppName, "vau").matches(sourceOnly("Vault", "org.keepassxc")));
    // Content rules never match a check that knows only the source.
    for (Field f : {Field::textContains, Field::urlHost, Field::kind})
        EXPECT_FALSE(rule(f, "image").matches(sourceOnly("Image Viewer", "org.gnome.eog"))) << qPrintable(rawValue(f));
}

TEST(CaptureRules, TextMatchingIgnoresAccentsAndCaseBothWays)
{
    EXPECT_TRUE(rule(Field::textContains, "resume").matches(textContext(QString::fromUtf8("My RÉSUMÉ draft"))));
    EXPECT_TRUE(rule(Field::textContains, QString::fromUtf8("Résumé")).matches(textContext("resume.pdf")));
    // Decomposed input (e + combining acute) folds the same as the precomposed letter.
    EXPECT_TRUE(rule(Field::textContains, "cafe").matches(textContext(QString::fromUtf8("Cafe\xCC\x81 au lait"))));
    EXPECT_FALSE(rule(Field::textContains, "resumes").matches(textContext(QString::fromUtf8("résumé"))));
    // Ligatures and fullwidth letters are other characters, not spellings of plain ones.
    EXPECT_FALSE(rule(Field::textContains, "file").matches(textContext(QString::fromUtf8("\uFB01le report"))));
    EXPECT_FALSE(rule(Field::textContains, "abc").matches(textContext(QString::fromUtf8("\uFF21\uFF22\uFF23"))));
    EXPECT_TRUE(rule(Field::textContains, QString::fromUtf8("\uFF41\uFF42"))
                    .matches(textContext(QString::fromUtf8("\uFF21\uFF22\uFF23"))));
    // Blank patterns and disabled rules never match.
    EXPECT_FALSE(rule(Field::textContains, "  \n").matches(textContext("x")));
    EXPECT_FALSE(ClipCaptureRule::anyEnabledRuleMatches({rule(Field::textContains, "x", false)}, textContext("x")));
}

TEST(CaptureRules, HostFragmentBlocksAddressesThroughHostAndAnyTextThroughContains)
{
    const auto rules = ClipRulePreferences{{}, {"bank.example"}}.captureRules();
    const auto host = rules[1];
    ASSERT_EQ(host.field, Field::urlHost);

    EXPECT_TRUE(host.matches(textContext("https://login.BANK.example/session?id=1", ClipKind::url)));
    // The host, not the path, is what a host rule looks at.
    EXPECT_FALSE(host.matches(textContext("https://mirror.test/bank.example", ClipKind::url)));
    // Text that does not parse as an address never matches a host rule.
    EXPECT_FALSE(host.matches(textContext("see https://login.bank.example now")));
    EXPECT_FALSE(host.matches(textContext("bank.example")));

    EXPECT_TRUE(ClipCaptureRule::anyEnabledRuleMatches(rules, textContext("see https://login.bank.example now")));
    EXPECT_FALSE(ClipCaptureRule::anyEnabledRuleMatches(rules, textContext("the bank on Example Street")));
}

TEST(CaptureRules, KindRulesCompareWholeNamesOnly)
{
    const auto image = textContext(QString(), ClipKind::image);
    EXPECT_TRUE(rule(Field::kind, " IMAGE ").matches(image));
    EXPECT_FALSE(rule(Field::kind, "im").matches(image));
    EXPECT_FALSE(rule(Field::kind, "text").matches(image));
    EXPECT_FALSE(rule(Field::kind, "image").matches({std::nullopt, std::nullopt, std::nullopt, std::nullopt}));
}

TEST(CaptureRules, FileContentIsTestedWithPathsNameAndRecognisedText)
{
    const CapturedContent file{.kind = ClipKind::file,
                               .text = QString("/home/ada/a.txt\n/home/ada/b.txt"),
                               .fileName = QString("Payroll 2024.xlsx"),
                               .recognizedText = QString("Quarterly figures")};
    const ClipCaptureRuleContext ctx(file);
    EXPECT_EQ(ctx.text, QString("/home/ada/a.txt\n/home/ada/b.txt\nPayroll 2024.xlsx\nQuarterly figures"));
    EXPECT_EQ(ctx.kind, ClipKind::file);
    EXPECT_TRUE(ClipCaptureRule::anyEnabledRuleMatches(ClipRulePreferences{{}, {"payroll"}}.captureRules(), ctx));
    EXPECT_EQ(ClipCaptureRuleContext(CapturedContent{.kind = ClipKind::image}).text, QString());
}

TEST(CaptureRules, StoredListsAreReadEachOnItsOwnAndUndecodableValuesGiveNone)
{
    test::TempPreferences prefs;
    EXPECT_TRUE(ClipRulePreferences::currentRules(*prefs).empty());
    auto rulesFrom = [&](const QByteArray &json) {
        prefs->setData(ClipRulePreferences::key, json);
        return ClipRulePreferences::currentRules(*prefs);
    };

    // A damaged or missing list must not switch the other one off.
    auto rules = rulesFrom(R"({"blockedAppPatterns":[" Vault ","vault","Keyring"]})");
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].pattern, "Vault");
    EXPECT_EQ(rules[1].field, Field::sourceApp);
    EXPECT_EQ(fields(rulesFrom(R"({"blockedAppPatterns":"Vault","blockedTextPatterns":["secret"]})")),
              (QList<Field>{Field::textContains, Field::urlHost}));
    // Entries that are not texts are skipped, the rest of the list still blocks.
    rules = rulesFrom(R"({"blockedAppPatterns":["Vault",7,null],"blockedTextPatterns":[]})");
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].pattern, "Vault");

    EXPECT_TRUE(rulesFrom("{not json").empty());
    EXPECT_TRUE(rulesFrom(R"(["Vault"])").empty());
    prefs->setString(ClipRulePreferences::key, R"({"blockedAppPatterns":["Vault"],"blockedTextPatterns":[]})");
    EXPECT_TRUE(ClipRulePreferences::currentRules(*prefs).empty());
}

TEST(CaptureRules, StoredListsAreDecodedOnceUntilTheyChange)
{
    test::TempPreferences prefs;
    prefs->setJSON(ClipRulePreferences{{"Vault"}, {}}, ClipRulePreferences::key);
    const auto first = ClipRulePreferences::sharedRules(*prefs);
    ASSERT_EQ(first->size(), 1u);
    prefs->setBool("copySoundEnabled", false);
    EXPECT_EQ(ClipRulePreferences::sharedRules(*prefs), first) << "another key leaves the decoded rules alone";

    prefs->setJSON(ClipRulePreferences{{"Vault", "Keyring"}, {"secret"}}, ClipRulePreferences::key);
    const auto edited = ClipRulePreferences::sharedRules(*prefs);
    ASSERT_EQ(edited->size(), 4u);
    EXPECT_EQ(edited->at(1).pattern, "Keyring");
    EXPECT_EQ(first->size(), 1u) << "a holder of the old rules keeps them";

    prefs->remove(ClipRulePreferences::key);
    EXPECT_TRUE(ClipRulePreferences::currentRules(*prefs).empty());
}

TEST(CaptureRules, SettingsWriterRoundTripsAndTheStrictReaderNeedsBothLists)
{
    test::TempPreferences prefs;
    const ClipRulePreferences written{{"Vault"}, {"bank.example"}};
    prefs->setJSON(written, ClipRulePreferences::key);
    EXPECT_EQ(ClipRulePreferences::load(*prefs), written);
    EXPECT_FALSE(ClipRulePreferences::fromJson(QJsonObject{{"blockedAppPatterns", QJsonArray{}}}));

    QJsonObject bad = rule(Field::urlHost, "x").toJson().toObject();
    bad["field"] = "host";
    EXPECT_FALSE(ClipCaptureRule::fromJson(bad));
}

TEST(CaptureRules, CaptureRulesPageRulesAndSearchJudgeTextsAlike)
{
    struct Case {
        const char *text;
        const char *word;
    };
    const Case cases[] = {
        {"Crème BRÛLÉE", "creme brulee"},
        {"CAFE au lait", "café"},
        {"Cafe\xCC\x81", "CAFÉ"},
        {"ÅNGSTRÖM", "angstrom"},
        // Devanagari vowel signs are spacing marks: "कि" is not "का".
        {"\xE0\xA4\x95\xE0\xA4\xBF", "\xE0\xA4\x95\xE0\xA4\xBE"},
        {"\xE0\xA4\x95\xE0\xA4\xBF", "\xE0\xA4\x95\xE0\xA4\xBF"},
        // An enclosing mark makes a different sign.
        {"1", "1\xE2\x83\x9D"},
        {"plain", "plan"},
    };
    const auto exists = [](const QUuid &) { return true; };
    for (const Case &c : cases) {
        const QString text = QString::fromUtf8(c.text);
        const QString word = QString::fromUtf8(c.word);
        const std::optional<QString> field = text;
        const bool searchFinds = SearchQuery(word).matches(searchKeyOf({&field}, ClipKind::text));
        EXPECT_EQ(rule(Field::textContains, word).matches(textContext(text)), searchFinds) << c.text << " / " << c.word;
        ClipItem clip;
        clip.setText(text);
        const bool filed =
            AutoPageMatcher({{QUuid::createUuid(), QUuid::createUuid(), {word}}}).firstMatch(clip, exists) != nullptr;
        EXPECT_EQ(filed, searchFinds) << c.text << " / " << c.word;
    }
}
