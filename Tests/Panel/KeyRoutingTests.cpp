// Every key of the routing tables in every mode, the focus road, and the edge that turns a key
// event into a panel key.
#include "ModelFixture.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

struct KeyCase {
    const char *name;
    int key;
    Qt::KeyboardModifiers modifiers;
    QString text;
};

const Qt::KeyboardModifiers ctrl = Qt::ControlModifier, shift = Qt::ShiftModifier, alt = Qt::AltModifier;

const std::vector<KeyCase> keys = {
    {"Return", Qt::Key_Return, {}, QStringLiteral("\r")},
    {"Enter", Qt::Key_Enter, Qt::KeypadModifier, QStringLiteral("\r")},
    {"Tab", Qt::Key_Tab, {}, QStringLiteral("\t")},
    {"Shift+Tab", Qt::Key_Backtab, shift, {}},
    {"Backspace", Qt::Key_Backspace, {}, QStringLiteral("\b")},
    {"Delete", Qt::Key_Delete, {}, QStringLiteral("\x7f")},
    {"Escape", Qt::Key_Escape, {}, QStringLiteral("\x1b")},
    {"Left", Qt::Key_Left, {}, {}},
    {"Right", Qt::Key_Right, {}, {}},
    {"Down", Qt::Key_Down, {}, {}},
    {"Up", Qt::Key_Up, {}, {}},
    {"a", Qt::Key_A, {}, QStringLiteral("a")},
    {"Ctrl+1", Qt::Key_1, ctrl, QStringLiteral("1")},
    {"Ctrl+Shift+1", Qt::Key_Exclam, ctrl | shift, QStringLiteral("!")},
    {"Ctrl+K", Qt::Key_K, ctrl, QStringLiteral("\x0b")},
    {"Ctrl+Shift+V", Qt::Key_V, ctrl | shift, QStringLiteral("\x16")},
    {"Ctrl+Alt+Left", Qt::Key_Left, ctrl | alt, {}},
};

// Clips 1...5, a locked Page and an open one; the mode is set up as named.
std::unique_ptr<ModelFixture> inMode(PanelKeyboardMode mode)
{
    auto f = std::make_unique<ModelFixture>(
        makeClips(5), std::vector{makePage(1, QStringLiteral("Vault"), true), makePage(2, QStringLiteral("Work"))});
    switch (mode) {
    case PanelKeyboardMode::browsing:
        f->model->setSelectedIndex(1);
        break;
    case PanelKeyboardMode::searching:
        f->model->search().expandSearch();
        f->type(QStringLiteral("clip"));
        f->model->setSelectedIndex(1);
        break;
    case PanelKeyboardMode::unlocking:
        f->model->tabs().selectTab(PanelTab::page(pageID(1)), true);
        f->type(QStringLiteral("pw"));
        break;
    case PanelKeyboardMode::paused:
        f->model->setSelectedIndex(1);
        f->model->setShowingManualNoteSheet(true);
        break;
    }
    f->scheduler.runPending();
    EXPECT_EQ(f->model->interactionMode(), mode);
    return f;
}

// What a key did, in a few words.
std::string effectOf(PanelKeyboardMode mode, const KeyCase &k)
{
    auto f = inMode(mode);
    const HistoryViewState before = f->state();
    const auto stop = [&](const HistoryViewState &s) {
        return PanelTabs::currentStop(s.isSearchExpanded, s.selectedTab, f->lists().pages());
    };
    f->key(k.key, k.modifiers, k.text);
    const HistoryViewState &after = f->state();
    QStringList out;
    for (const PersistentIdentifier &id : f->pasted)
        out << QStringLiteral("paste:%1").arg(id.rowID);
    if (f->closes)
        out << QStringLiteral("close");
    if (stop(after) != stop(before))
        out << QStringLiteral("stop=%1").arg(stop(after));
    if (after.query != before.query)
        out << QStringLiteral("query=") + after.query;
    if (after.selectedIndex != before.selectedIndex)
        out << QStringLiteral("sel=%1").arg(after.selectedIndex);
    if (after.inlineUnlockPassword != before.inlineUnlockPassword)
        out << QStringLiteral("pw=") + after.inlineUnlockPassword;
    if (after.inlineUnlockError != before.inlineUnlockError)
        out << QStringLiteral("error");
    if (!f->typedThrough.empty())
        out << QStringLiteral("typed");
    return out.join(u' ').toStdString();
}

} // namespace

TEST(KeyRouting, EveryKeyInEveryMode)
{
    // Columns: browsing (second card selected), searching ("clip", second card), unlocking
    // ("pw" typed into the locked Page's prompt), paused (a sheet is open).
    const std::map<std::string, std::array<const char *, 4>> expected = {
        {"Return", {"paste:2", "paste:2", "pw= error", ""}},
        {"Enter", {"paste:2", "paste:2", "pw= error", ""}},
        {"Tab", {"stop=2 sel=0", "stop=1 query= sel=0", "stop=3 pw=", ""}},
        {"Shift+Tab", {"stop=0", "stop=3 query= sel=0", "stop=1 pw=", ""}},
        {"Backspace", {"", "query=cli sel=0", "pw=p", ""}},
        {"Delete", {"", "query=cli sel=0", "pw=p", ""}},
        {"Escape", {"close", "stop=1 query= sel=0", "close", ""}},
        {"Left", {"sel=0", "sel=0", "", ""}},
        {"Right", {"sel=2", "sel=2", "", ""}},
        {"Down", {"stop=2 sel=0", "stop=1 query= sel=0", "stop=3 pw=", ""}},
        {"Up", {"stop=0", "stop=3 query= sel=0", "stop=1 pw=", ""}},
        {"a", {"close", "query=clipa sel=0", "pw=pwa", ""}},
        {"Ctrl+1", {"paste:1", "paste:1", "", ""}},
        {"Ctrl+Shift+1", {"", "", "", ""}},
        {"Ctrl+K", {"", "", "", ""}},
        {"Ctrl+Shift+V", {"close", "close", "close", ""}},
        {"Ctrl+Alt+Left", {"sel=0", "sel=0", "", ""}},
    };
    const PanelKeyboardMode modes[] = {PanelKeyboardMode::browsing, PanelKeyboardMode::searching,
                                       PanelKeyboardMode::unlocking, PanelKeyboardMode::paused};
    for (const KeyCase &k : keys) {
        for (int m = 0; m < 4; ++m)
            EXPECT_EQ(effectOf(modes[m], k), expected.at(k.name)[m])
                << k.name << " in " << rawValue(modes[m]).toStdString();
    }
}

TEST(KeyRouting, TheTabRingWrapsBothWays)
{
    ModelFixture f(makeClips(2), {makePage(1, QStringLiteral("One")), makePage(2, QStringLiteral("Two"))});
    f.model->tabs().selectTab(PanelTab::page(pageID(2)), true);
    f.key(Qt::Key_Tab);
    EXPECT_TRUE(f.state().isSearchExpanded) << "Tab from the last Page opens the search";
    EXPECT_EQ(f.state().selectedTab, PanelTab::page(pageID(2)));
    f.key(Qt::Key_Backtab, shift);
    EXPECT_FALSE(f.state().isSearchExpanded);
    EXPECT_EQ(f.state().selectedTab, PanelTab::page(pageID(2)));
    f.key(Qt::Key_Down);
    EXPECT_TRUE(f.state().isSearchExpanded);
    f.key(Qt::Key_Down);
    EXPECT_EQ(f.state().selectedTab, PanelTab::history());
    EXPECT_EQ(f.pref(PreferenceKeys::panelLastUsedTarget), QStringLiteral("history"));
    EXPECT_TRUE(f.state().isGridFocused);
}

TEST(KeyRouting, FocusedCardAreaTypesThroughOnlyPrintableText)
{
    ModelFixture f(makeClips(3));
    EXPECT_EQ(f.model->handleGridKeyPress({Qt::Key_Right}), KeyPressResult::handled);
    EXPECT_EQ(f.model->handleGridKeyPress({Qt::Key_Right}), KeyPressResult::handled);
    EXPECT_EQ(f.model->handleGridKeyPress({Qt::Key_Right}), KeyPressResult::handled) << "kept on the last card";
    EXPECT_EQ(f.state().selectedIndex, 2);
    for (int key : {Qt::Key_Space, Qt::Key_Home, Qt::Key_End, Qt::Key_PageUp, Qt::Key_PageDown, Qt::Key_Clear})
        EXPECT_EQ(f.model->handleGridKeyPress({key, {}, QStringLiteral(" ")}), KeyPressResult::ignored) << key;
    EXPECT_EQ(f.model->handleGridKeyPress({Qt::Key_A, ctrl, QStringLiteral("a")}), KeyPressResult::ignored);
    EXPECT_EQ(f.model->handleGridKeyPress({Qt::Key_F1, {}, QStringLiteral("\x10")}), KeyPressResult::ignored);
    EXPECT_TRUE(f.typedThrough.empty());
    EXPECT_EQ(f.closes, 0);

    EXPECT_EQ(f.model->handleGridKeyPress({Qt::Key_A, shift, QStringLiteral("A")}), KeyPressResult::handled);
    EXPECT_EQ(f.closes, 1);
    EXPECT_EQ(f.typedThrough, (std::vector<QString>{QStringLiteral("A")}));

    f.model->handleGridKeyPress({Qt::Key_Return, {}, QStringLiteral("\r")});
    EXPECT_EQ(f.pasted, (std::vector<PersistentIdentifier>{clipID(3)}));
    EXPECT_EQ(f.model->handleGridKeyPress({Qt::Key_Enter, Qt::KeypadModifier, QStringLiteral("\r")}),
              KeyPressResult::handled)
        << "the keypad's Enter pastes as in the lists";
    EXPECT_EQ(f.pasted, (std::vector<PersistentIdentifier>{clipID(3), clipID(3)}));

    f.changeStore([](HistorySnapshot &s) { s.clips.clear(); });
    EXPECT_EQ(f.model->handleGridKeyPress({Qt::Key_Left}), KeyPressResult::ignored) << "an empty list";
}

TEST(KeyRouting, PanelDecidesWhichKeysReachTheWindowUnderneath)
{
    const PanelKey letter{Qt::Key_A, {}, QStringLiteral("a")};
    EXPECT_EQ(keyDisposition(PanelKeyboardMode::browsing, letter), KeyDisposition::passThrough);
    for (const PanelKey &k :
         {PanelKey{Qt::Key_Return, {}, QStringLiteral("\r")}, PanelKey{Qt::Key_Left},
          PanelKey{Qt::Key_1, ctrl, QStringLiteral("1")}, PanelKey{Qt::Key_A, alt, QStringLiteral("a")}})
        EXPECT_EQ(keyDisposition(PanelKeyboardMode::browsing, k), KeyDisposition::consume) << k.key;
    EXPECT_EQ(keyDisposition(PanelKeyboardMode::searching, letter), KeyDisposition::consume);
    EXPECT_EQ(keyDisposition(PanelKeyboardMode::unlocking, letter), KeyDisposition::consume);
    EXPECT_EQ(keyDisposition(PanelKeyboardMode::paused, letter), KeyDisposition::notCaptured);
}

TEST(KeyRouting, CtrlDigitAndCtrlVWorkOnOtherLayouts)
{
    // AZERTY: the top-row key of 1 types "&"; Cyrillic: the V key types "м".
    EXPECT_EQ(PanelKey::fromKeyEvent(Qt::Key_Ampersand, ctrl, QStringLiteral("&"), 10).key, Qt::Key_1);
    EXPECT_EQ(PanelKey::fromKeyEvent(Qt::Key_Eacute, ctrl, QStringLiteral("é"), 11).key, Qt::Key_2);
    EXPECT_EQ(PanelKey::fromKeyEvent(0x43c, ctrl | shift, QStringLiteral("М"), 55).key, Qt::Key_V);
    EXPECT_EQ(PanelKey::fromKeyEvent(Qt::Key_K, ctrl, QStringLiteral("k"), 55).key, Qt::Key_K)
        << "Dvorak keeps its letters";
    EXPECT_EQ(PanelKey::fromKeyEvent(Qt::Key_Ampersand, {}, QStringLiteral("&"), 10).key, Qt::Key_Ampersand);
    EXPECT_EQ(PanelKey::fromKeyEvent(Qt::Key_1, ctrl | Qt::KeypadModifier, QStringLiteral("1"), 87).key, Qt::Key_1);
    EXPECT_EQ(navKey({Qt::Key_1, ctrl | Qt::KeypadModifier}).key, NavKey::other) << "keypad digits do not quick-paste";

    ModelFixture f(makeClips(3));
    f.key(Qt::Key_Ampersand, ctrl, QStringLiteral("&"));
    EXPECT_TRUE(f.pasted.empty()) << "without the edge the layout's symbol is not a digit";
    const PanelKey mapped = PanelKey::fromKeyEvent(Qt::Key_QuoteDbl, ctrl, QStringLiteral("\""), 12);
    f.key(mapped.key, mapped.modifiers, mapped.text);
    EXPECT_EQ(f.pasted, (std::vector<PersistentIdentifier>{clipID(3)}));
}

TEST(KeyRouting, TypedTextTestRejectsControlAndFunctionKeyCharacters)
{
    EXPECT_FALSE(containsControlOrFunctionKeyCharacter({}));
    EXPECT_FALSE(containsControlOrFunctionKeyCharacter(QStringLiteral("Grüße 😀")));
    EXPECT_TRUE(containsControlOrFunctionKeyCharacter(QStringLiteral("a\u200Eb")));
    EXPECT_TRUE(containsControlOrFunctionKeyCharacter(QString(QChar(0xF700))));
    EXPECT_EQ(typedCharacters({Qt::Key_A, shift, QStringLiteral("A")}), QStringLiteral("A"));
    EXPECT_EQ(typedCharacters({Qt::Key_A, Qt::MetaModifier, QStringLiteral("a")}), std::nullopt);
}
