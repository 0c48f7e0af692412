#include "Quillmere/Platform/NotificationCenter.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

using namespace quillmere;

TEST(NotificationCenter, DeliversByNameSynchronouslyAndStopsAfterRemoval)
{
    NotificationCenter center;
    QStringList seen;
    const auto token = center.addObserver("a", nullptr, [&](const Notification &n) {
        seen << n.name + ":" + n.userInfo.value("changeCount").toString();
    });
    center.addObserver("b", nullptr, [&](const Notification &n) { seen << n.name; });
    center.post("a", nullptr, {{"changeCount", 4}});
    EXPECT_EQ(seen, QStringList{"a:4"});
    center.removeObserver(token);
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

TEST(NotificationCenter, ObserverMayRemoveAnotherWhileHandling)
{
    NotificationCenter center;
    int second = 0;
    NotificationCenter::Token secondToken = 0;
    center.addObserver("x", nullptr, [&](const Notification &) { center.removeObserver(secondToken); });
    secondToken = center.addObserver("x", nullptr, [&](const Notification &) { ++second; });
    center.post("x");
    EXPECT_EQ(second, 0);
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
