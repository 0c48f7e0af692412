#include "Quillmere/Platform/Core/KeyNotation.h"

#include <gtest/gtest.h>

using namespace quillmere;

TEST(KeyNotation, ShortcutsReadAsTheDesktopWritesThem)
{
    using namespace CarbonModifier;
    EXPECT_EQ(panelShortcutText(), QStringLiteral("Shift+Super+V"));
    EXPECT_EQ(pasteNextShortcutText(), QStringLiteral("Alt+Super+V"));
    EXPECT_EQ(shortcutText(21, control | shift), QStringLiteral("Ctrl+Shift+4"));
    EXPECT_EQ(shortcutText(19, command | shift), QStringLiteral("Shift+Super+2"));
    // Every modifier, in the fixed order whatever the bits' order.
    EXPECT_EQ(shortcutText(0, command | shift | option | control), QStringLiteral("Ctrl+Alt+Shift+Super+A"));
    // Caps Lock is no part of a chord.
    EXPECT_EQ(shortcutText(9, alphaLock | control), QStringLiteral("Ctrl+V"));
    EXPECT_EQ(shortcutText(122, 0), QStringLiteral("F1"));
}

TEST(KeyNotation, KeysAreNamedInWordsNeverInSymbols)
{
    EXPECT_EQ(shortcutText(36, CarbonModifier::control), QStringLiteral("Ctrl+Return"));
    EXPECT_EQ(shortcutText(CarbonKey::tab, CarbonModifier::shift), QStringLiteral("Shift+Tab"));
    EXPECT_EQ(shortcutText(49, CarbonModifier::option), QStringLiteral("Alt+Space"));
    EXPECT_EQ(shortcutText(50, CarbonModifier::option), QStringLiteral("Alt+key 50"));
    for (quint32 code = 0; code < 128; ++code) {
        const QString text = shortcutText(code, 0x1f00);
        for (const QChar c : text)
            EXPECT_LT(c.unicode(), 0x80) << text.toStdString();
    }
}
