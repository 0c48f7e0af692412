#pragma once

#include <QSemaphore>
#include <QThreadPool>
#include <memory>
#include <utility>

namespace quillmere::test {

// Holds a thread of the global pool (with one thread, every job put after it) until released.
class PoolBlocker {
public:
    PoolBlocker()
    {
        QThreadPool::globalInstance()->start([release = m_release] { release->acquire(); });
    }
    ~PoolBlocker() { release(); }
    PoolBlocker(const PoolBlocker &) = delete;
    PoolBlocker &operator=(const PoolBlocker &) = delete;
    void release()
    {
        if (!std::exchange(m_released, true))
            m_release->release();
    }

private:
    std::shared_ptr<QSemaphore> m_release = std::make_shared<QSemaphore>();
    bool m_released = false;
};

} // namespace quillmere::test
