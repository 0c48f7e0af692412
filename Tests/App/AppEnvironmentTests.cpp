#include "Quillmere/App/AppEnvironment.h"
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
    AppEnvironment::Options options;
    options.arguments = {"quillmere", "--demo-data"};
    options.store.preferences = prefs.prefs.get();
    AppEnvironment env(options);
    EXPECT_EQ(env.persistence().mode, PersistenceMode::inMemory);
    EXPECT_EQ(&env.store().container(), env.persistence().container.get());
    EXPECT_EQ(env.syncStatus().mode(), PersistenceMode::inMemory);
}
