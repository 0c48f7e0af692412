#include "SettingsFixture.h"

using namespace quillmere;
using quillmere::test::SettingsFixture;

namespace {
ClipRulePreferences storedCaptureRules(Preferences &prefs)
{
    return prefs.decodeJSON<ClipRulePreferences>(ClipRulePreferences::key).value_or(ClipRulePreferences{});
}
} // namespace

TEST(PrivacyRules, SaveCleansSplitsCountsRulesAndShowsWhatWasStored)
{
    SettingsFixture f;
    PrivacyRulesEditor &editor = f.model->privacyRules();
    editor.appText = "  Firefox  \nfirefox\n\nTerminal, Slack\r\n";
    editor.textText = "secret";
    f.model->savePrivacyRules();
    const ClipRulePreferences stored = storedCaptureRules(*f.prefs);
    EXPECT_EQ(stored.blockedAppPatterns, (QStringList{"Firefox", "Terminal", "Slack"}));
    EXPECT_EQ(stored.blockedTextPatterns, (QStringList{"secret"}));
    EXPECT_EQ(editor.appText, "Firefox\nTerminal\nSlack");
    ASSERT_TRUE(editor.message);
    EXPECT_EQ(editor.message->text, "Saved 5 local rules.") << "three app rules and two per text pattern";

    editor.appText = "typed but not saved";
    f.model->loadPrivacyRules();
    EXPECT_EQ(editor.appText, "Firefox\nTerminal\nSlack");
    EXPECT_FALSE(editor.message);

    editor.appText.clear();
    editor.textText.clear();
    f.model->savePrivacyRules();
    EXPECT_EQ(storedCaptureRules(*f.prefs), ClipRulePreferences{});
    EXPECT_EQ(editor.message->text, "Saved 0 local rules.");
}

TEST(PrivacyRules, StoredDataThatDoesNotDecodeLoadsEmptyAndStaysUntilASave)
{
    SettingsFixture f;
    f.prefs->setData(ClipRulePreferences::key, "not json");
    f.model->loadSettingsState();
    EXPECT_EQ(f.model->privacyRules().appText, "");
    EXPECT_EQ(f.prefs->data(ClipRulePreferences::key), QByteArray("not json"));

    // Stored with blanks and repeats by hand: shown cleaned, the stored value untouched.
    ClipRulePreferences messy;
    messy.blockedAppPatterns = {"Safari", " safari ", ""};
    f.prefs->setJSON(messy, ClipRulePreferences::key);
    f.model->loadPrivacyRules();
    EXPECT_EQ(f.model->privacyRules().appText, "Safari");
    EXPECT_EQ(storedCaptureRules(*f.prefs).blockedAppPatterns.size(), 3);
}

TEST(PrivacyRules, AFailedSaveKeepsTheStoredListsAndTheUsersText)
{
    SettingsFixture f;
    PrivacyRulesEditor &editor = f.model->privacyRules();
    editor.appText = "Keychain";
    f.model->savePrivacyRules();
    f.breakPreferenceWrites();

    editor.appText = "Keychain\nPasswords, Vault";
    f.model->savePrivacyRules();
    EXPECT_EQ(storedCaptureRules(*f.prefs).blockedAppPatterns, QStringList{"Keychain"});
    EXPECT_EQ(ClipRulePreferences::currentRules(*f.prefs).size(), 1u) << "what capture applies is unchanged";
    EXPECT_EQ(editor.appText, "Keychain\nPasswords, Vault");
    ASSERT_TRUE(editor.message);
    EXPECT_TRUE(editor.message->isError);
    EXPECT_TRUE(editor.message->text.startsWith("Could not save the rules"));
}

TEST(AutoPageRules, OneRulePerPageInPageOrderAndStaleRulesGoOnSave)
{
    SettingsFixture f;
    const PageRef work = f.store->createPage("Work");
    const PageRef empty = f.store->createPage("");
    const PageRef code = f.store->createPage("Code");
    const QUuid gone = QUuid::createUuid();
    AutoPageRulePreferences stale;
    stale.rules = {{QUuid::createUuid(), gone, {"old"}}};
    f.prefs->setJSON(stale, AutoPageRulePreferences::key);
    f.model->loadSettingsState();
    AutoPageRulesEditor &editor = f.model->autoPageRules();
    EXPECT_EQ(editor.texts.size(), 3) << "one editor per listed Page; the stale rule is not shown";

    editor.setText(code->dedupID(), "  invoice \nINVOICE\n\nreceipt, order");
    editor.setText(work->dedupID(), "jira");
    f.model->saveAutoPageRules();
    const auto stored = f.prefs->decodeJSON<AutoPageRulePreferences>(AutoPageRulePreferences::key);
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->rules.size(), 2u);
    EXPECT_EQ(stored->rules[0].pinboardDedupID, work->dedupID());
    EXPECT_EQ(stored->rules[1].pinboardDedupID, code->dedupID());
    EXPECT_EQ(stored->rules[1].textPatterns, (QStringList{"invoice", "receipt", "order"}));
    EXPECT_EQ(editor.text(code->dedupID()), "invoice\nreceipt\norder");
    EXPECT_EQ(editor.text(empty->dedupID()), "");
    ASSERT_TRUE(editor.message);
    EXPECT_EQ(editor.message->text, "Saved 2 auto-page rules.");

    // Saving again keeps Pages and patterns but not the rule ids.
    f.model->saveAutoPageRules();
    const auto again = f.prefs->decodeJSON<AutoPageRulePreferences>(AutoPageRulePreferences::key);
    EXPECT_EQ(again->rules[1].textPatterns, stored->rules[1].textPatterns);
    EXPECT_NE(again->rules[1].id, stored->rules[1].id);

    // A Page deleted while there is unsaved typing: every editor falls back to what is stored.
    editor.setText(work->dedupID(), "unsaved");
    ASSERT_TRUE(f.store->deletePage(empty));
    EXPECT_EQ(editor.text(work->dedupID()), "jira");
    EXPECT_FALSE(editor.message);
}

TEST(AutoPageRules, AFailedSaveKeepsTheStoredRulesAndTheUsersText)
{
    SettingsFixture f;
    const PageRef page = f.store->createPage("Receipts");
    f.model->loadSettingsState();
    AutoPageRulesEditor &editor = f.model->autoPageRules();
    editor.setText(page->dedupID(), "invoice");
    f.model->saveAutoPageRules();
    f.breakPreferenceWrites();

    editor.setText(page->dedupID(), "");
    f.model->saveAutoPageRules();
    const auto stored = AutoPageRulePreferences::currentRules(*f.prefs);
    ASSERT_EQ(stored.size(), 1u) << "an emptied editor that fails to save does not empty the stored rules";
    EXPECT_EQ(stored[0].textPatterns, QStringList{"invoice"});
    EXPECT_EQ(editor.text(page->dedupID()), "");
    EXPECT_TRUE(editor.message && editor.message->isError);
}
