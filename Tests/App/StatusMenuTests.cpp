#include "Quillmere/App/StatusItem.h"
#include "Quillmere/App/StatusMenu.h"
#include "Support/TestSupport.h"

#include <gtest/gtest.h>

using namespace quillmere;

namespace {
QStringList titles(const std::vector<StatusMenuEntry> &entries)
{
    QStringList out;
    for (const auto &e : entries)
        out << (e.action == StatusMenuAction::separator ? QString("-") : e.title);
    return out;
}
} // namespace

TEST(StatusMenu, TitlesFollowPauseAndRecordingState)
{
    StatusMenuState state{false, false, CaptureShortcutPreferences::defaultShortcuts()};
    EXPECT_EQ(titles(makeStatusMenuEntries(state)),
              (QStringList{"Open Brindlewax", "Pause Capture", "-", "Capture Area…", "Capture Full Screen",
                           "Copy Text From Area…", "Record Screen…", "-", "Check for Updates…", "Settings…",
                           "Setup Guide…", "-", "Quit Brindlewax"}));
    state.capturePaused = true;
    state.recording = true;
    const auto entries = makeStatusMenuEntries(state);
    EXPECT_EQ(entries[1].title, "Resume Capture");
    EXPECT_EQ(entries[6].title, "Stop Recording");
}

TEST(StatusMenu, CaptureShortcutsBecomeMenuShortcutsOnlyForLettersAndDigits)
{
    const auto entries = makeStatusMenuEntries({false, false, CaptureShortcutPreferences::defaultShortcuts()});
    EXPECT_EQ(entries[3].shortcut, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_4));
    EXPECT_EQ(entries[4].shortcut, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_3));
    EXPECT_EQ(entries[5].shortcut, QKeySequence(Qt::META | Qt::SHIFT | Qt::Key_2));
    EXPECT_EQ(entries[6].shortcut, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_5));
    // Shown as the desktop writes them.
    EXPECT_EQ(entries[3].shortcutText, "Ctrl+Shift+4");
    EXPECT_EQ(entries[5].shortcutText, "Shift+Super+2");
    EXPECT_EQ(entries[9].shortcutText, "Ctrl+,");
    EXPECT_EQ(entries[12].shortcutText, "Ctrl+Q");

    EXPECT_FALSE(menuShortcut({49, CarbonModifier::control}).has_value()); // Space
    EXPECT_FALSE(menuShortcut({36, CarbonModifier::control}).has_value()); // Return
    EXPECT_FALSE(menuShortcut({122, 0}).has_value());                      // F1
    EXPECT_FALSE(menuShortcut({999, 0}).has_value());
    EXPECT_EQ(menuShortcut({0, CarbonModifier::option}), QKeySequence(Qt::ALT | Qt::Key_A));
    EXPECT_EQ(menuShortcut({8, 0}), QKeySequence(Qt::Key_C));

    CaptureShortcutPreferences none;
    EXPECT_TRUE(makeStatusMenuEntries({false, false, none})[3].shortcut.isEmpty());
    EXPECT_TRUE(makeStatusMenuEntries({false, false, none})[3].shortcutText.isEmpty());
}

// A tray shows one bubble at once, the newer in the older's place: a message that comes while
// another shows waits its turn, so that both reach the user, and the same words come once.
TEST(TrayMessages, AMessageWaitsForTheOneShowingAndTheSameWordsComeOnce)
{
    QStringList shown;
    TrayMessages messages([&](const QString &, const QString &text, int) { shown << text; }, 200);
    for (const char *text : {"Earlier histories lie beside", "Settings could not be saved",
                             "Earlier histories lie beside", "Settings could not be saved"})
        messages.post("Brindlewax", text);
    EXPECT_EQ(shown, QStringList{"Earlier histories lie beside"});
    EXPECT_TRUE(test::waitUntil([&] { return shown.size() == 2; }, 2000));
    QTest::qWait(500);
    EXPECT_EQ(shown, (QStringList{"Earlier histories lie beside", "Settings could not be saved"}));
}
