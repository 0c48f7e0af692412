#include "Quillmere/Platform/Core/NotificationCenter.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

using namespace quillmere;

TEST(NotificationCenter, DeliversByNameSynchronouslyUntilRemoved)
{
    NotificationCenter center;
    QStringList seen;
    NotificationCenter::Token second = 0;
    const auto first = center.addObserver("a", nullptr, [&](const Notification &n) {
        seen << n.name + ":" + n.userInfo.value("changeCount").toString();
        center.removeObserver(second); // removed while the same post is being delivered
    });
    second = center.addObserver("a", nullptr, [&](const Notification &) { seen << "second"; });
    center.addObserver("b", nullptr, [&](const Notification &n) { seen << n.name; });
    center.post("a", nullptr, {{"changeCount", 4}});
    EXPECT_EQ(seen, QStringList{"a:4"});
    center.removeObserver(first);
    center.post("a");
    center.post("b");
    EXPECT_EQ(seen, (QStringList{"a:4", "b"}));
}

TEST(NotificationCenter, ObserverDiesWithItsContext)
{
    NotificationCenter center;
    int calls = 0;
    {
        QObject owner;
        center.addObserver("x", &owner, [&](const Notification &) { ++calls; });
        center.post("x");
    }
    center.post("x");
    EXPECT_EQ(calls, 1);
}

TEST(NotificationCenter, PostFromWorkerThreadArrivesOnMainThread)
{
    NotificationCenter center;
    QThread *deliveredOn = nullptr;
    center.addObserver("x", nullptr, [&](const Notification &) { deliveredOn = QThread::currentThread(); });
    std::unique_ptr<QThread> worker(QThread::create([&] { center.post("x"); }));
    worker->start();
    worker->wait();
    QCoreApplication::processEvents();
    EXPECT_EQ(deliveredOn, QCoreApplication::instance()->thread());
}
