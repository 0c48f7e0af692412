#pragma once

#include "Quillmere/Platform/Core/HandOver.h"

#include <QFutureWatcher>
#include <QObject>
#include <QRunnable>
#include <QThreadPool>
#include <QtConcurrent>
#include <memory>
#include <type_traits>

#if defined(QUILLMERE_THREAD_SANITIZER)
#include <QPromise>
#include <memory>
#endif

namespace quillmere {

#if defined(QUILLMERE_THREAD_SANITIZER)
namespace detail {
// Qt's thread pool hands a task over under locks inside the library, which a ThreadSanitizer
// build cannot see (Qt is not built with it); this task states the hand-over itself, and reads
// nothing of its own before it has. The promise is held by the task and by the receiving side
// through a std::shared_ptr, whose count the sanitizer sees, so whichever side lets go of the
// result last does so after everything the other did with it.
template <typename Work, typename Result> class SanitizedTask : public QRunnable {
public:
    SanitizedTask(Work work, std::shared_ptr<QPromise<Result>> promise, const void *token)
        : m_work(std::move(work)), m_promise(std::move(promise)), m_token(token)
    {
    }
    void run() override
    {
        takeOver(this);
        m_promise->start();
        m_promise->addResult(m_work());
        handOver(m_token);
        m_promise->finish();
    }

private:
    Work m_work;
    std::shared_ptr<QPromise<Result>> m_promise;
    const void *m_token;
};
} // namespace detail
#endif

namespace detail {
// A task whose work, made on one thread and run and destroyed on another, is handed over in a way a
// ThreadSanitizer build can see (see HandOver.h).
template <typename Work> class HandedTask : public QRunnable {
public:
    explicit HandedTask(Work work) : m_work(std::move(work)) { handOver(this); }
    void run() override
    {
        takeOver(this);
        m_work();
    }

private:
    Work m_work;
};
} // namespace detail

// Runs `work` on `pool`, with nothing to hand back.
template <typename Work> void runOn(QThreadPool &pool, Work work)
{
    // The pool deletes the task once it has run.
    pool.start(new detail::HandedTask<Work>(std::move(work)));
}

// Runs `work` on the thread pool and hands its result to `done` on the receiver's thread, unless
// the receiver is gone by then. The delivery belongs to the receiver, so nothing off its thread
// ever looks at a receiver that may be going away. `pool`: one of the caller's own, for work that
// must run on one thread.
template <typename Work, typename Done>
void inBackground(QObject *receiver, Work work, Done done, QThreadPool *pool = QThreadPool::globalInstance())
{
    using Result = std::invoke_result_t<Work &>;
    if (!receiver)
        return;
#if defined(QUILLMERE_THREAD_SANITIZER)
    // A receiver gone before the result came lets go of it here, after the worker handed it over.
    struct Watcher : QFutureWatcher<Result> {
        using QFutureWatcher<Result>::QFutureWatcher;
        ~Watcher() override { takeOver(this); }
    };
    QFutureWatcher<Result> *watcher = new Watcher(receiver);
#else
    auto *watcher = new QFutureWatcher<Result>(receiver);
#endif
#if defined(QUILLMERE_THREAD_SANITIZER)
    auto promise = std::make_shared<QPromise<Result>>();
    QFuture<Result> future = promise->future();
    auto *task = new detail::SanitizedTask<Work, Result>(std::move(work), promise, watcher);
    QObject::connect(watcher, &QFutureWatcherBase::finished, watcher,
                     [watcher, promise, done = std::move(done)]() mutable {
                         takeOver(watcher);
                         watcher->deleteLater();
                         done(watcher->future().takeResult());
                     });
    watcher->setFuture(future);
    handOver(task);
    // The pool deletes the task once it has run.
    pool->start(task);
#else
    QObject::connect(watcher, &QFutureWatcherBase::finished, watcher, [watcher, done = std::move(done)]() mutable {
        watcher->deleteLater();
        done(watcher->future().takeResult());
    });
    watcher->setFuture(QtConcurrent::run(pool, std::move(work)));
#endif
}

// One thread for work that must neither wait behind the shared pool's nor share its thread, kept
// while its owner lives. Its end never waits: the work under way finishes on its own, and the
// thread goes after it.
class ThreadOfItsOwn {
public:
    ThreadOfItsOwn() : m_pool(std::make_shared<QThreadPool>())
    {
        m_pool->setMaxThreadCount(1);
        m_pool->setExpiryTimeout(-1);
    }
    ~ThreadOfItsOwn()
    {
        // Let go of off the owner's thread, so of no thread's events.
        m_pool->moveToThread(nullptr);
        runOn(*QThreadPool::globalInstance(), [pool = std::move(m_pool)]() mutable {
            pool->waitForDone();
            pool.reset();
        });
    }
    ThreadOfItsOwn(const ThreadOfItsOwn &) = delete;
    ThreadOfItsOwn &operator=(const ThreadOfItsOwn &) = delete;
    QThreadPool *pool() const { return m_pool.get(); }

private:
    std::shared_ptr<QThreadPool> m_pool;
};

} // namespace quillmere
