#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QThreadPool>
#include <QtConcurrent>
#include <type_traits>

namespace quillmere {

// Runs `work` on the thread pool and hands its result to `done` on the receiver's thread, unless
// the receiver is gone by then. The delivery belongs to the receiver, so nothing off its thread
// ever looks at a receiver that may be going away.
template <typename Work, typename Done> void inBackground(QObject *receiver, Work work, Done done)
{
    using Result = std::invoke_result_t<Work &>;
    if (!receiver)
        return;
    auto *watcher = new QFutureWatcher<Result>(receiver);
    QObject::connect(watcher, &QFutureWatcherBase::finished, watcher, [watcher, done = std::move(done)]() mutable {
        watcher->deleteLater();
        done(watcher->future().takeResult());
    });
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), std::move(work)));
}

} // namespace quillmere
