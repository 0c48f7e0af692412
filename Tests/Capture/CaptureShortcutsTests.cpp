#include "Quillmere/Capture/CaptureShortcuts.h"
#include "Support/TestSupport.h"

#include <gtest/gtest.h>

using namespace quillmere;

TEST(CaptureShortcuts, DefaultsApplyWholeWhenNothingOrSomethingBadIsStored)
{
    test::TempPreferences prefs;
    EXPECT_EQ(CaptureShortcutPreferences::load(*prefs), CaptureShortcutPreferences::defaultShortcuts());

    for (
        const QByteArray &bad : {
            QByteArray(
                R"({"shortcuts":["areaScreenshot",{"keyCode":21,"modifiers":4608},"bogus",{"keyCode":1,"modifiers":0}]})"),
            QByteArray(R"({"shortcuts":["areaScreenshot"]})"),
            QByteArray(R"({"shortcuts":["areaScreenshot",{"keyCode":-1,"modifiers":0}]})"),
            QByteArray(R"({"shortcuts":["areaScreenshot",{"keyCode":4294967296,"modifiers":0}]})"),
            QByteArray(R"({"shortcuts":["areaScreenshot",{"keyCode":21}]})"),
        }) {
        prefs->setData(CaptureShortcutPreferences::key, bad);
        EXPECT_EQ(CaptureShortcutPreferences::load(*prefs), CaptureShortcutPreferences::defaultShortcuts())
            << bad.toStdString();
    }
}

TEST(CaptureShortcuts, StoredTableIsUsedExactlyAndRoundTrips)
{
    test::TempPreferences prefs;
    prefs->setData(CaptureShortcutPreferences::key, R"({"shortcuts":[]})");
    EXPECT_TRUE(CaptureShortcutPreferences::load(*prefs).shortcuts.isEmpty());

    CaptureShortcutPreferences three = CaptureShortcutPreferences::defaultShortcuts();
    three.shortcuts.remove(CaptureAction::screenRecording);
    three.shortcuts[CaptureAction::ocrArea] = {0, 0x800};
    prefs->setJSON(three, CaptureShortcutPreferences::key);
    EXPECT_EQ(CaptureShortcutPreferences::load(*prefs), three);
}
