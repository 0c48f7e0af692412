#include "Quillmere/Panel/TaskScheduler.h"

namespace quillmere {

QtTaskScheduler::QtTaskScheduler(QObject *parent) : QObject(parent)
{
}

QtTaskScheduler::~QtTaskScheduler() = default;

TaskScheduler::TaskId QtTaskScheduler::schedule(std::chrono::milliseconds delay, std::function<void()> work)
{
    const TaskId id = m_next++;
    auto *timer = new QTimer(this); // owned by this scheduler
    timer->setSingleShot(true);
    // Precise timers keep equal delays in scheduling order.
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, [this, id, timer, work = std::move(work)] {
        m_timers.erase(id);
        timer->deleteLater();
        work();
    });
    m_timers.emplace(id, timer);
    timer->start(delay);
    return id;
}

void QtTaskScheduler::cancel(TaskId id)
{
    auto it = m_timers.find(id);
    if (it == m_timers.end())
        return;
    it->second->stop();
    it->second->deleteLater();
    m_timers.erase(it);
}

} // namespace quillmere
