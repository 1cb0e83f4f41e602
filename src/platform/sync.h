#pragma once
// Critical sections, events (auto- and manual-reset, with a wait on two) and threads with
// the priorities the engine uses (lowest: nice 19; idle: SCHED_IDLE).

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace quivern {

// A recursive lock, like the critical sections the engine's locking was designed around.
class CCriticalSection {
public:
    void Enter() { m_mutex.lock(); }
    bool TryEnter() { return m_mutex.try_lock(); }
    void Leave() { m_mutex.unlock(); }
    // BasicLockable, so std::lock_guard and std::scoped_lock work.
    void lock() { Enter(); }
    void unlock() { Leave(); }

private:
    std::recursive_mutex m_mutex;
};

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
inline constexpr int kWaitTimeout = -1;

class CEvent {
public:
    CEvent(bool manualReset, bool initiallySet);
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    void Set();
    void Reset();
    // True when the event was (or became) signalled within timeoutMs (kInfinite: no limit).
    bool Wait(std::uint32_t timeoutMs);
    bool IsSetForTest() const;

    // Waits until a or b is signalled: returns 0 for a, 1 for b (a wins when both are), or
    // kWaitTimeout. An auto-reset event is consumed by the wait that returns it.
    static int WaitAny(CEvent& a, CEvent& b, std::uint32_t timeoutMs);

private:
    bool TryConsume();
    const bool m_manualReset;
    bool m_set;
    int m_waiters = 0;  // threads waiting on this event (under the shared event lock)
};

enum class ThreadPriority { Normal, Lowest, Idle };

// A joinable worker thread. Start() runs `body` on a new thread with the given priority.
class CThread {
public:
    CThread() = default;
    ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    bool Start(std::function<void()> body, ThreadPriority priority);
    void Join();
    bool Running() const { return m_thread.joinable(); }

private:
    std::thread m_thread;
};

// Applies the priority to the calling thread (best effort; failures are ignored).
void SetCurrentThreadPriority(ThreadPriority priority);

// Milliseconds of a monotonic clock.
std::uint64_t MonotonicMs();

}  // namespace quivern
