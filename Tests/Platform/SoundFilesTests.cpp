#include "Quillmere/Platform/SoundPlayer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;

// Kept in memory, the sounds are still files the player reads by name, and none is in a folder.
TEST(SoundFiles, KeptInMemoryAreReadByNameAndWrittenNowhere)
{
    QTemporaryDir cache;
    const bool wasSet = qEnvironmentVariableIsSet("XDG_CACHE_HOME");
    const QByteArray before = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache.path()));
    QString pop, again;
    {
        CanberraSoundPlayer player(CanberraSoundPlayer::InMemory{});
        pop = player.soundFile(QStringLiteral("Pop"));
        again = player.soundFile(QStringLiteral("Pop"));
        EXPECT_TRUE(player.soundFile(QStringLiteral("Nope")).isEmpty());
        QFile file(pop);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << pop.toStdString();
        EXPECT_EQ(file.readAll(), CanberraSoundPlayer::synthesize(QStringLiteral("Pop")));
        EXPECT_NE(player.soundFile(QStringLiteral("Glass")), pop);
    }
    wasSet ? qputenv("XDG_CACHE_HOME", before) : qunsetenv("XDG_CACHE_HOME");
    EXPECT_EQ(again, pop) << "made once";
    EXPECT_TRUE(QDir(cache.path()).isEmpty());
}
