#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

namespace quillmere {

// One pending piece of main-thread work. Scheduling again replaces the pending one; it is cancelled
// when its owner (the parent) is destroyed.
class DeferredTask : public QObject {
    Q_OBJECT
public:
    explicit DeferredTask(QObject *parent) : QObject(parent)
    {
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            auto work = std::move(m_work);
            m_work = nullptr;
            if (work)
                work();
        });
    }

    void schedule(int delayMs, std::function<void()> work)
    {
        m_work = std::move(work);
        m_timer.start(std::max(0, delayMs));
    }
    void cancel()
    {
        m_timer.stop();
        m_work = nullptr;
    }
    bool isPending() const { return m_timer.isActive(); }

private:
    QTimer m_timer;
    std::function<void()> m_work;
};

// Runs `work` on the next turn of `owner`'s event loop, unless the owner is gone by then.
inline void deferOnMain(QObject *owner, std::function<void()> work)
{
    QMetaObject::invokeMethod(owner, std::move(work), Qt::QueuedConnection);
}

} // namespace quillmere
