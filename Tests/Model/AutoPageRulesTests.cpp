#include "Quillmere/Model/AutoPageRules.h"

#include "Support/TestSupport.h"

#include <gtest/gtest.h>

using namespace quillmere;

namespace {

const QUuid kWork = QUuid::fromString(QStringLiteral("11111111-1111-1111-1111-111111111111"));
const QUuid kRecipes = QUuid::fromString(QStringLiteral("22222222-2222-2222-2222-222222222222"));
const QUuid kGone = QUuid::fromString(QStringLiteral("33333333-3333-3333-3333-333333333333"));

AutoPageRule rule(const QUuid &page, QStringList patterns)
{
    return {QUuid::createUuid(), page, std::move(patterns)};
}

ClipItem &textClip(ClipItem &clip, const QString &text)
{
    clip.setText(text);
    return clip;
}

} // namespace

TEST(AutoPageRules, NormalisingCleansPatternsDropsEmptyRulesAndKeepsOneRulePerPage)
{
    const auto a = rule(kWork, {QStringLiteral(" Invoice "), QStringLiteral("invoice"), QStringLiteral("")});
    const auto empty = rule(kRecipes, {QStringLiteral("  ")});
    const auto second = rule(kWork, {QStringLiteral("receipt")});
    const auto b = rule(kRecipes, {QStringLiteral("flour")});
    const auto out = AutoPageRulePreferences::normalizedRules({a, empty, second, b});
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].id, a.id);
    EXPECT_EQ(out[0].textPatterns, QStringList{QStringLiteral("Invoice")});
    EXPECT_EQ(out[1].id, b.id);
}

TEST(AutoPageRules, SettingPatternsReplacesThatPagesRulesAndKeepsTheOthersInOrder)
{
    const auto work = rule(kWork, {QStringLiteral("old")});
    const auto recipes = rule(kRecipes, {QStringLiteral("flour")});
    const auto gone = rule(kGone, {QStringLiteral("x")});
    auto out = AutoPageRulePreferences::settingPatterns({QStringLiteral(" Jira "), QStringLiteral("jira"), QStringLiteral("PR")},
                                                        kWork, {work, recipes, work, gone});
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].id, recipes.id);
    EXPECT_EQ(out[1].id, gone.id);
    EXPECT_EQ(out[2].pinboardDedupID, kWork);
    EXPECT_NE(out[2].id, work.id);
    EXPECT_EQ(out[2].textPatterns, (QStringList{QStringLiteral("Jira"), QStringLiteral("PR")}));
    EXPECT_EQ(AutoPageRulePreferences::patterns(kWork, out), out[2].textPatterns);

    out = AutoPageRulePreferences::settingPatterns({QStringLiteral("  ")}, kRecipes, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].id, gone.id);
}

TEST(AutoPageRules, StoredRulesAreReadCleanedAndDamagedDataReadsAsNone)
{
    test::TempPreferences prefs;
    EXPECT_TRUE(AutoPageRulePreferences::currentRules(*prefs).empty());

    AutoPageRulePreferences stored{{rule(kWork, {QStringLiteral(" invoice ")}), rule(kWork, {QStringLiteral("other")})}};
    prefs->setJSON(stored, AutoPageRulePreferences::key);
    const auto rules = AutoPageRulePreferences::currentRules(*prefs);
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].textPatterns, QStringList{QStringLiteral("invoice")});
    EXPECT_EQ(prefs->decodeJSON<AutoPageRulePreferences>(AutoPageRulePreferences::key), stored);

    prefs->setData(AutoPageRulePreferences::key, R"({"rules":[{"id":"nope","pinboardDedupID":"x","textPatterns":[]}]})");
    EXPECT_TRUE(AutoPageRulePreferences::currentRules(*prefs).empty());
    prefs->setData(AutoPageRulePreferences::key, "[]");
    EXPECT_TRUE(AutoPageRulePreferences::currentRules(*prefs).empty());
}

TEST(AutoPageRules, MatcherSearchesEveryFieldIgnoringCaseAndAccents)
{
    const AutoPageMatcher matcher({rule(kRecipes, {QStringLiteral("creme brulee")})});
    auto exists = [](const QUuid &) { return true; };

    ClipItem clip;
    EXPECT_EQ(matcher.firstMatch(textClip(clip, QString::fromUtf8("CRÈME BRÛLÉE for six")), exists)->pinboardDedupID, kRecipes);

    ClipItem titled;
    titled.setText(QStringLiteral("1. Heat the cream"));
    EXPECT_EQ(matcher.firstMatch(titled, exists), nullptr);
    titled.setCustomTitle(QString::fromUtf8("Crème brûlée"));
    EXPECT_NE(matcher.firstMatch(titled, exists), nullptr);

    for (auto setter : {&ClipItem::setFileName, &ClipItem::setLinkTitle, &ClipItem::setRecognizedText, &ClipItem::setSourceAppName}) {
        ClipItem c;
        c.setText(QStringLiteral("unrelated"));
        (c.*setter)(QStringLiteral("Creme Brulee"));
        EXPECT_NE(matcher.firstMatch(c, exists), nullptr);
    }

    // The kind is matched by its stored name.
    ClipItem link;
    link.setKind(ClipKind::url);
    link.setText(QStringLiteral("https://example.com"));
    EXPECT_NE(AutoPageMatcher({rule(kWork, {QStringLiteral("URL")})}).firstMatch(link, exists), nullptr);
    EXPECT_EQ(AutoPageMatcher({rule(kWork, {QStringLiteral("Link")})}).firstMatch(link, exists), nullptr);
}

TEST(AutoPageRules, FirstRuleInStoredOrderWinsAndRulesOfMissingPagesArePassedOver)
{
    const AutoPageMatcher matcher({rule(kGone, {QStringLiteral("invoice")}), rule(kWork, {QStringLiteral("invoice")}),
                                   rule(kRecipes, {QStringLiteral("invoice")})});
    ClipItem clip;
    textClip(clip, QStringLiteral("Invoice #42"));
    const auto *match = matcher.firstMatch(clip, [](const QUuid &id) { return id != kGone; });
    ASSERT_NE(match, nullptr);
    EXPECT_EQ(match->pinboardDedupID, kWork);
    EXPECT_EQ(matcher.firstMatch(clip, [](const QUuid &) { return false; }), nullptr);
}
