#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <unordered_map>

namespace quillmere {

// Deferred work on the main thread. Work scheduled for the same moment runs in the order it was
// scheduled; a delay of zero means the next turn of the event loop.
class TaskScheduler {
public:
    using TaskId = quint64;
    virtual ~TaskScheduler() = default;
    virtual TaskId schedule(std::chrono::milliseconds delay, std::function<void()> work) = 0;
    // Unknown or finished tasks are ignored.
    virtual void cancel(TaskId id) = 0;
};

// Single-shot timers of the Qt event loop.
class QtTaskScheduler : public QObject, public TaskScheduler {
    Q_OBJECT
public:
    explicit QtTaskScheduler(QObject *parent = nullptr);
    ~QtTaskScheduler() override;
    TaskId schedule(std::chrono::milliseconds delay, std::function<void()> work) override;
    void cancel(TaskId id) override;

private:
    std::unordered_map<TaskId, QTimer *> m_timers;
    TaskId m_next = 1;
};

} // namespace quillmere
