#include "Quillmere/Capture/Overlay/CaptureSaveFolder.h"
#include "Support/TestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;

TEST(CaptureSaveFolder, StartsInPicturesThenHomeAndThenWhereTheLastSaveWent)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString home = root.filePath("home");
    const QString pictures = root.filePath("home/Pictures");
    const QString elsewhere = root.filePath("elsewhere");
    ASSERT_TRUE(QDir().mkpath(pictures) && QDir().mkpath(elsewhere));
    test::TempPreferences prefs;
    const CaptureSaveFolder::Places places{pictures, home};

    EXPECT_EQ(CaptureSaveFolder(prefs.prefs.get(), places).startFolder(), pictures);
    EXPECT_EQ(CaptureSaveFolder(prefs.prefs.get(), {root.filePath("no Pictures"), home}).startFolder(), home);
    EXPECT_EQ(CaptureSaveFolder(nullptr, places).startFolder(), pictures);

    CaptureSaveFolder(prefs.prefs.get(), places).remember(elsewhere + "/shot.png");
    EXPECT_EQ(CaptureSaveFolder(prefs.prefs.get(), places).startFolder(), elsewhere);
    ASSERT_TRUE(prefs->sync());
    EXPECT_EQ(
        CaptureSaveFolder(std::make_unique<Preferences>(prefs.dir.filePath("prefs.json")).get(), places).startFolder(),
        elsewhere)
        << "kept across starts";

    // A remembered folder that went away is not where the dialog opens.
    ASSERT_TRUE(QDir(elsewhere).removeRecursively());
    EXPECT_EQ(CaptureSaveFolder(prefs.prefs.get(), places).startFolder(), pictures);
}
