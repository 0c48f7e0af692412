#pragma once

#include <utility>

#if defined(__SANITIZE_THREAD__)
#define QUILLMERE_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUILLMERE_THREAD_SANITIZER 1
#endif
#endif

#if defined(QUILLMERE_THREAD_SANITIZER)
#include <sanitizer/tsan_interface.h>
#endif

namespace quillmere {

// Data passed between threads through Qt (its event queues, thread pool and parallel map) is
// guarded by locks inside Qt, which a ThreadSanitizer build cannot see, as Qt is not built with
// it. These state such a hand-over instead; in any other build they are nothing.

// What this thread has written so far goes to whoever next takes over `token`.
inline void handOver(const void *token)
{
#if defined(QUILLMERE_THREAD_SANITIZER)
    __tsan_release(const_cast<void *>(token));
#else
    (void)token;
#endif
}

// Takes up what other threads handed over with `token`.
inline void takeOver(const void *token)
{
#if defined(QUILLMERE_THREAD_SANITIZER)
    __tsan_acquire(const_cast<void *>(token));
#else
    (void)token;
#endif
}

#if defined(QUILLMERE_THREAD_SANITIZER)
namespace detail {
// Hands itself over wherever it is copied or moved, last of all into the queue or kernel that
// carries it, and takes itself over before it reads a thing of its own. Qt destroys it on
// whichever thread lets go of it last, which takes over what the runs did to it; runs on
// different threads take over nothing from each other, so races between them still show.
template <typename Call> class HandedOverCall {
public:
    HandedOverCall(Call call, const void *back) : m_call(std::move(call)), m_back(back) { handOver(this); }
    HandedOverCall(HandedOverCall &&other) : m_call(std::move(other.m_call)), m_back(other.m_back) { handOver(this); }
    HandedOverCall(const HandedOverCall &other) : m_call(other.m_call), m_back(other.m_back) { handOver(this); }
    HandedOverCall &operator=(const HandedOverCall &) = delete;
    ~HandedOverCall()
    {
        takeOver(this);
        takeOver(&m_back);
    }

    template <typename... Args> decltype(auto) operator()(Args &&...args)
    {
        takeOver(this);
        struct Back {
            const HandedOverCall *call;
            ~Back()
            {
                if (call->m_back)
                    handOver(call->m_back);
                handOver(&call->m_back);
            }
        } back{this};
        return m_call(std::forward<Args>(args)...);
    }

private:
    Call m_call;
    const void *m_back; // its address is also the token of the runs' ends, for the destructor
};

template <typename Call> auto handedOver(const void *back, Call &&call)
{
    return HandedOverCall<std::decay_t<Call>>(std::forward<Call>(call), back);
}
} // namespace detail
#endif

} // namespace quillmere

// The call (a lambda) of a queued call into another thread's event loop, or the map of a
// QtConcurrent::blockingMap: it takes over what the calling thread wrote before handing it on.
// With a `back` token, each run hands what it wrote back, for the caller to take over once it
// knows the runs are done (after blockingMap returns, after the thread's wait). Outside a
// ThreadSanitizer build it is the call itself, so that build's code stays what it was.
#if defined(QUILLMERE_THREAD_SANITIZER)
#define QUILLMERE_HANDED_OVER(back, ...) ::quillmere::detail::handedOver(back, __VA_ARGS__)
#else
#define QUILLMERE_HANDED_OVER(back, ...) __VA_ARGS__
#endif
