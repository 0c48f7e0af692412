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

Q_SIGNALS:
    void terminationRequested(int signal);

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace quillmere
