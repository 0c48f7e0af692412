#include "Quillmere/App/AppEnvironment.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Support/TestSupport.h"

#include <QDir>
#include <gtest/gtest.h>

using namespace quillmere;

TEST(AppEnvironment, DemoDataAndSchemaArgumentsKeepTheStoreInMemory)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("data/default.store");
    for (const QStringList &args :
         {QStringList{"quillmere", "--demo-data"}, QStringList{"quillmere", "--init-cloudkit-schema"},
          QStringList{"quillmere", "--init-cloudkit-schema", "--demo-data"}}) {
        const PersistenceSetup setup = AppEnvironment::makePersistence(args, {path, systemClock()});
        EXPECT_EQ(setup.mode, PersistenceMode::inMemory) << args.join(' ').toStdString();
        EXPECT_TRUE(setup.container->isInMemory());
    }
    EXPECT_FALSE(QDir(dir.filePath("data")).exists()) << "nothing may be written to disk";
}

TEST(AppEnvironment, ArgumentsMatchWholeAndExactly)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    for (const QStringList &args : {QStringList{"quillmere"}, QStringList{"quillmere", "--demo-data=1"},
                                    QStringList{"quillmere", "--DEMO-DATA"}}) {
        const PersistenceSetup setup = AppEnvironment::makePersistence(args, {path, systemClock()});
        EXPECT_EQ(setup.mode, PersistenceMode::localOnly) << args.join(' ').toStdString();
    }
}

TEST(AppEnvironment, OwnsOneStoreOverTheChosenContainer)
{
    test::TempPreferences prefs;
    NotificationCenter center;
    AppEnvironment::Options options;
    options.arguments = {"quillmere", "--demo-data"};
    options.store.preferences = prefs.prefs.get();
    options.store.notificationCenter = &center;
    AppEnvironment env(options);
    EXPECT_EQ(env.persistence().mode, PersistenceMode::inMemory);
    EXPECT_EQ(&env.store().container(), env.persistence().container.get());
    EXPECT_EQ(env.syncStatus().mode(), PersistenceMode::inMemory);
    // The sync health is kept in the preferences it was given, not in a process-wide file.
    EXPECT_EQ(&env.syncHealth().defaults(), prefs.prefs.get());
    EXPECT_EQ(&env.store().preferences(), prefs.prefs.get());
}

TEST(AppEnvironment, TheProgramsOptionsCarryItsPreferencesCentreAndSyncFolder)
{
    test::TempPreferences prefs;
    NotificationCenter center;
    QTemporaryDir folder;
    prefs.prefs->setString(PreferenceKeys::syncFolderPath, folder.path());
    const AppEnvironment::Options options = AppEnvironment::programOptions({"quillmere"}, *prefs.prefs, center);
    EXPECT_EQ(options.store.preferences, prefs.prefs.get());
    EXPECT_EQ(options.store.notificationCenter, &center);
    EXPECT_EQ(options.persistence.syncFolder, folder.path());
}
