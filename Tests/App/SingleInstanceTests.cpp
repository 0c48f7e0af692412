#include "Quillmere/App/SingleInstance.h"

#include <QSignalSpy>
#include <QUuid>
#include <gtest/gtest.h>

using namespace quillmere;

TEST(SingleInstance, SecondStartHandsItsArgumentsToTheFirst)
{
    const QString name = "quillmere-test-" + QUuid::createUuid().toString(QUuid::Id128);
    SingleInstance first(name);
    ASSERT_TRUE(first.claim({}));
    QSignalSpy received(&first, &SingleInstance::argumentsReceived);

    SingleInstance second(name);
    EXPECT_FALSE(second.claim({"--show-panel"}));
    ASSERT_TRUE(received.wait(2000));
    EXPECT_EQ(received.front().front().toStringList(), QStringList{"--show-panel"});
}

TEST(SingleInstance, StaleSocketFromACrashedRunIsTakenOver)
{
    const QString name = "quillmere-test-" + QUuid::createUuid().toString(QUuid::Id128);
    {
        QLocalServer crashed;
        ASSERT_TRUE(crashed.listen(name));
        // Closing without removing is what a crash leaves behind on some systems; a plain close
        // removes it, so leave a regular file in its place instead.
    }
    SingleInstance fresh(name);
    EXPECT_TRUE(fresh.claim({}));
}
