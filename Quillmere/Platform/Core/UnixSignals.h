#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <chrono>
#include <memory>

namespace quillmere {

// Turns SIGINT and SIGTERM into a Qt signal on the main thread, so shutdown runs the normal
// quit path instead of dying inside a signal handler.
class UnixSignals : public QObject {
    Q_OBJECT
public:
    explicit UnixSignals(QObject *parent = nullptr);
    // From the first signal on, the process ends where it stands after `limit` even when its
    // main thread is held and never hears it; the normal quit path usually ends it first.
    static void endWithin(std::chrono::milliseconds limit);
    ~UnixSignals() override;

    // While it lives, the end a signal sets off waits `limit` from when it was made (or from the
    // signal) instead; once it goes, the usual limit runs again from then. For work whose loss
    // would cost the user's files, kept short.
    class EndPostponed {
    public:
        explicit EndPostponed(std::chrono::milliseconds limit);
        ~EndPostponed();
        EndPostponed(const EndPostponed &) = delete;
        EndPostponed &operator=(const EndPostponed &) = delete;
    };

Q_SIGNALS:
    void terminationRequested(int signal);

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace quillmere
