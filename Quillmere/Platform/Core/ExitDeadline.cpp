#include "Quillmere/Platform/Core/ExitDeadline.h"

#include <unistd.h>

namespace quillmere {

ExitDeadline::~ExitDeadline()
{
    {
        const std::lock_guard lock(m_mutex);
        m_done = true;
    }
    m_disarmed.notify_all();
    if (m_watch.joinable())
        m_watch.join();
}

void ExitDeadline::arm(std::chrono::milliseconds limit, int status)
{
    if (m_watch.joinable())
        return;
    m_watch = std::thread([this, limit, status] {
        std::unique_lock lock(m_mutex);
        if (m_disarmed.wait_for(lock, limit, [this] { return m_done; }))
            return;
        // Another thread may be inside a logging call or the allocator: write and end without
        // either, and without running destructors that would wait again.
        static const char said[] = "quillmere: background work still running at exit was left unfinished\n";
        [[maybe_unused]] const auto n = ::write(STDERR_FILENO, said, sizeof said - 1);
        ::_exit(status);
    });
}

} // namespace quillmere
