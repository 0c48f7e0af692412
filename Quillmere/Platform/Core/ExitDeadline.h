#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace quillmere {

// Bounds the last steps of quitting. Once everything the user made is on disk, what is left only
// lets go of background work (a search walk, a key warming, a keyring wait, the thread pool);
// none of it may hold the exit past `limit`: the process then ends with `status` where it stands.
class ExitDeadline {
public:
    ExitDeadline() = default;
    // Disarms: the process goes on to end as it will.
    ~ExitDeadline();
    ExitDeadline(const ExitDeadline &) = delete;
    ExitDeadline &operator=(const ExitDeadline &) = delete;

    void arm(std::chrono::milliseconds limit, int status);

private:
    std::mutex m_mutex;
    std::condition_variable m_disarmed;
    bool m_done = false;
    std::thread m_watch;
};

} // namespace quillmere
