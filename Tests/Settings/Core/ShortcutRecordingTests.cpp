#include "Quillmere/App/HotKeyCenter.h"
#include "Quillmere/Settings/Core/ShortcutRecording.h"

#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::CarbonModifier;
using Outcome = ShortcutRecording::Outcome;

namespace {
std::optional<quint32> codeFor(Qt::Key key)
{
    return ShortcutRecording::carbonKeyCode(*ShortcutRecording::keysymForQtKey(key), &HotKeyCenter::keysymForKeyCode);
}
} // namespace

TEST(ShortcutRecording, QtKeysReachCarbonCodesThroughTheHotKeyTable)
{
    EXPECT_EQ(codeFor(Qt::Key_A), 0u);
    EXPECT_EQ(codeFor(Qt::Key_2), 19u);
    EXPECT_EQ(codeFor(Qt::Key_V), 9u);
    EXPECT_EQ(codeFor(Qt::Key_F5), 96u);
    EXPECT_EQ(codeFor(Qt::Key_Space), 49u);
    EXPECT_EQ(codeFor(Qt::Key_Backspace), ShortcutRecording::keyCodeDelete);
    EXPECT_EQ(codeFor(Qt::Key_Delete), ShortcutRecording::keyCodeForwardDelete);
    EXPECT_EQ(codeFor(Qt::Key_Escape), ShortcutRecording::keyCodeEscape);
    EXPECT_EQ(ShortcutRecording::carbonModifiers(Qt::ControlModifier | Qt::MetaModifier | Qt::KeypadModifier),
              control | command);
}

TEST(ShortcutRecording, AcceptsRefusesClearsAndCancelsAsTheRecorderMust)
{
    ShortcutRecording r;
    EXPECT_EQ(r.handleKeyDown(19, shift | command).outcome, Outcome::passedOn) << "not recording";

    r.start();
    const auto recorded = r.handleKeyDown(19, shift | command);
    EXPECT_EQ(recorded.outcome, Outcome::recorded);
    EXPECT_EQ(recorded.shortcut, (CaptureShortcut{19, 0x300}));
    EXPECT_FALSE(r.isRecording());

    r.start();
    EXPECT_EQ(r.handleKeyDown(0, shift).outcome, Outcome::refused);
    EXPECT_EQ(r.handleKeyDown(0, 0).outcome, Outcome::refused);
    EXPECT_EQ(r.handleKeyDown(9, shift | command).outcome, Outcome::refused);
    EXPECT_EQ(r.handleKeyDown(9, option | command).outcome, Outcome::refused);
    EXPECT_EQ(r.handleKeyDown(std::nullopt, control).outcome, Outcome::refused);
    EXPECT_TRUE(r.isRecording()) << "refusals keep listening";
    EXPECT_EQ(r.handleKeyDown(9, control | shift | command).shortcut, (CaptureShortcut{9, 0x1300}));

    r.start();
    const auto removed = r.handleKeyDown(ShortcutRecording::keyCodeForwardDelete, control | option);
    EXPECT_EQ(removed.outcome, Outcome::removed);
    EXPECT_FALSE(removed.shortcut);
    r.start();
    EXPECT_EQ(r.handleKeyDown(ShortcutRecording::keyCodeEscape, command).outcome, Outcome::cancelled);
    EXPECT_FALSE(r.isRecording());
}

TEST(ShortcutRecording, ShownWithTheDesktopsModifierNames)
{
    EXPECT_EQ(ShortcutRecording::displayText(CaptureShortcut{21, control | shift}, false), "Ctrl+Shift+4");
    EXPECT_EQ(ShortcutRecording::displayText(CaptureShortcut{19, 0x1b00}, false), "Ctrl+Alt+Shift+Super+2");
    EXPECT_EQ(ShortcutRecording::displayText(CaptureShortcut{50, option}, false), "Alt+key 50");
    EXPECT_EQ(ShortcutRecording::displayText(std::nullopt, false), "Click to record");
    EXPECT_EQ(ShortcutRecording::displayText(CaptureShortcut{21, control}, true), "Type shortcut…");
}
