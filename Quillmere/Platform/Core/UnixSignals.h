#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <chrono>
#include <memory>

namespace quillmere {

// Turns the signals that ask a program to end (SIGINT, SIGTERM, SIGHUP, SIGQUIT) into a Qt signal on
// the main thread, so that each ends the program through its normal quit path instead of dying
// inside a signal handler (or, for SIGQUIT, in a core dump).
class UnixSignals : public QObject {
    Q_OBJECT
public:
    explicit UnixSignals(QObject *parent = nullptr);
    // From the first signal on, the process ends where it stands after `limit` even when its
    // main thread is held and never hears it; the normal quit path usually ends it first.
    static void endWithin(std::chrono::milliseconds limit);
    // An end that no signal asked for (a quit, the display gone) is bound by the same limit, from
    // now; after a signal it changes nothing.
    static void endStarted();
    ~UnixSignals() override;

    // While it lives, the end a signal sets off waits `step` from when it was made (or from the
    // signal, or from the last advance()) instead: work that writes copies existing nowhere else
    // goes on as long as it advances, and a step that sticks still ends the program. While several
    // live, on any threads, the longest step counts; once the last goes, the usual limit runs
    // again from then.
    class EndPostponed {
    public:
        explicit EndPostponed(std::chrono::milliseconds step);
        ~EndPostponed();
        EndPostponed(const EndPostponed &) = delete;
        EndPostponed &operator=(const EndPostponed &) = delete;
        // The work moved on: the end waits the step again from now. Cheap enough for every write.
        void advance() const;

    private:
        long m_stepMs;
        bool m_counted = false;
    };

Q_SIGNALS:
    void terminationRequested(int signal);

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace quillmere
