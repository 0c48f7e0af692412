#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <chrono>
#include <memory>
#include <optional>

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
    // What is left before the limit ends the process; none while no end is bound by it.
    static std::optional<std::chrono::nanoseconds> timeToEnd();
    ~UnixSignals() override;

Q_SIGNALS:
    void terminationRequested(int signal);

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace quillmere
