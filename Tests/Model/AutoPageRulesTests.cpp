#include "Quillmere/Model/AutoPageRules.h"

#include "Support/TestSupport.h"

#include <gtest/gtest.h>

using namespace quillmere;

namespace {

const QUuid kWork = QUuid::createUuid(), kRecipes = QUuid::createUuid(), kGone = QUuid::createUuid();

AutoPageRule rule(const QUuid &page, QStringList patterns)
{
    return {QUuid::createUuid(), page, std::move(patterns)};
}

} // namespace

TEST(AutoPageRules, NormalisingCleansPatternsDropsEmptyRulesAndKeepsOneRulePerPage)
{
    const auto a = rule(kWork, {" Invoice ", "invoice", ""});
    const auto b = rule(kRecipes, {"flour"});
    const auto out = AutoPageRulePreferences::normalizedRules({a, rule(kRecipes, {"  "}), rule(kWork, {"receipt"}), b});
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].id, a.id);
    EXPECT_EQ(out[0].textPatterns, QStringList{"Invoice"});
    EXPECT_EQ(out[1].id, b.id);
}

TEST(AutoPageRules, SettingPatternsReplacesThatPagesRulesAndKeepsTheOthersInOrder)
{
    const auto work = rule(kWork, {"old"});
    const auto recipes = rule(kRecipes, {"flour"});
    const auto gone = rule(kGone, {"x"});
    auto out = AutoPageRulePreferences::settingPatterns({" Jira ", "jira", "PR"}, kWork, {work, recipes, work, gone});
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].id, recipes.id);
    EXPECT_EQ(out[1].id, gone.id);
    EXPECT_EQ(out[2].pinboardDedupID, kWork);
    EXPECT_NE(out[2].id, work.id);
    EXPECT_EQ(out[2].textPatterns, (QStringList{"Jira", "PR"}));
    EXPECT_EQ(AutoPageRulePreferences::patterns(kWork, out), out[2].textPatterns);

    out = AutoPageRulePreferences::settingPatterns({"  "}, kRecipes, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].id, gone.id);
}

TEST(AutoPageRules, StoredRulesAreReadCleanedAndDamagedDataReadsAsNone)
{
    test::TempPreferences prefs;
    EXPECT_TRUE(AutoPageRulePreferences::currentRules(*prefs).empty());

    AutoPageRulePreferences stored{{rule(kWork, {" invoice "}), rule(kWork, {"other"})}};
    prefs->setJSON(stored, AutoPageRulePreferences::key);
    const auto rules = AutoPageRulePreferences::currentRules(*prefs);
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].textPatterns, QStringList{"invoice"});
    EXPECT_EQ(prefs->decodeJSON<AutoPageRulePreferences>(AutoPageRulePreferences::key), stored);

    prefs->setData(AutoPageRulePreferences::key,
                   R"({"rules":[{"id":"nope","pinboardDedupID":"x","textPatterns":[]}]})");
    EXPECT_TRUE(AutoPageRulePreferences::currentRules(*prefs).empty());
    prefs->setData(AutoPageRulePreferences::key, "[]");
    EXPECT_TRUE(AutoPageRulePreferences::currentRules(*prefs).empty());
}

TEST(AutoPageRules, MatcherSearchesEveryFieldIgnoringCaseAndAccents)
{
    const AutoPageMatcher matcher({rule(kRecipes, {"creme brulee"})});
    auto exists = [](const QUuid &) { return true; };

    ClipItem titled;
    titled.setText(QString::fromUtf8("CRÈME BRÛLÉE for six"));
    EXPECT_EQ(matcher.firstMatch(titled, exists)->pinboardDedupID, kRecipes);
    titled.setText(QString("1. Heat the cream"));
    EXPECT_EQ(matcher.firstMatch(titled, exists), nullptr);
    for (auto setter : {&ClipItem::setCustomTitle, &ClipItem::setFileName, &ClipItem::setLinkTitle,
                        &ClipItem::setRecognizedText, &ClipItem::setSourceAppName}) {
        ClipItem c;
        c.setText(QString("unrelated"));
        (c.*setter)(QString::fromUtf8("Crème Brulee"));
        EXPECT_NE(matcher.firstMatch(c, exists), nullptr);
    }

    // The kind is matched by its stored name.
    ClipItem link;
    link.setKind(ClipKind::url);
    link.setText(QString("https://example.com"));
    EXPECT_NE(AutoPageMatcher({rule(kWork, {"URL"})}).firstMatch(link, exists), nullptr);
    EXPECT_EQ(AutoPageMatcher({rule(kWork, {"Link"})}).firstMatch(link, exists), nullptr);
}

TEST(AutoPageRules, FirstRuleInStoredOrderWinsAndRulesOfMissingPagesArePassedOver)
{
    const AutoPageMatcher matcher({rule(kGone, {"invoice"}), rule(kWork, {"invoice"}), rule(kRecipes, {"invoice"})});
    ClipItem clip;
    clip.setText(QString("Invoice #42"));
    const auto *match = matcher.firstMatch(clip, [](const QUuid &id) { return id != kGone; });
    ASSERT_NE(match, nullptr);
    EXPECT_EQ(match->pinboardDedupID, kWork);
    EXPECT_EQ(matcher.firstMatch(clip, [](const QUuid &) { return false; }), nullptr);
}
