#include "platform/sync.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>

namespace quivern {
namespace {

// All events share one lock and one condition: that makes waiting on two events exact and
// cheap. Setting an event wakes the waiters of every event, so it does so only when the event
// itself has a waiter: an event set for every job while all its workers are busy costs no
// wake-up of unrelated threads.
std::mutex& EventLock() {
    static std::mutex m;
    return m;
}
std::condition_variable& EventCond() {
    static std::condition_variable c;
    return c;
}

}  // namespace

CEvent::CEvent(bool manualReset, bool initiallySet) : m_manualReset(manualReset), m_set(initiallySet) {}

void CEvent::Set() {
    bool waited;
    {
        std::lock_guard g(EventLock());
        m_set = true;
        waited = m_waiters > 0;
    }
    if (waited) EventCond().notify_all();
}

void CEvent::Reset() {
    std::lock_guard g(EventLock());
    m_set = false;
}

bool CEvent::IsSetForTest() const {
    std::lock_guard g(EventLock());
    return m_set;
}

bool CEvent::TryConsume() {
    if (!m_set) return false;
    if (!m_manualReset) m_set = false;
    return true;
}

bool CEvent::Wait(std::uint32_t timeoutMs) {
    std::unique_lock g(EventLock());
    auto pred = [this] { return TryConsume(); };
    ++m_waiters;
    bool got = true;
    if (timeoutMs == kInfinite) {
        EventCond().wait(g, pred);
    } else {
        got = EventCond().wait_for(g, std::chrono::milliseconds(timeoutMs), pred);
    }
    --m_waiters;
    return got;
}

int CEvent::WaitAny(CEvent& a, CEvent& b, std::uint32_t timeoutMs) {
    std::unique_lock g(EventLock());
    int which = kWaitTimeout;
    auto pred = [&] {
        if (a.TryConsume()) {
            which = 0;
            return true;
        }
        if (b.TryConsume()) {
            which = 1;
            return true;
        }
        return false;
    };
    ++a.m_waiters;
    ++b.m_waiters;
    if (timeoutMs == kInfinite) {
        EventCond().wait(g, pred);
    } else {
        EventCond().wait_for(g, std::chrono::milliseconds(timeoutMs), pred);
    }
    --a.m_waiters;
    --b.m_waiters;
    return which;
}

void SetCurrentThreadPriority(ThreadPriority priority) {
    switch (priority) {
        case ThreadPriority::Normal:
            break;
        case ThreadPriority::Lowest:
            setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
            break;
        case ThreadPriority::Idle: {
            sched_param p{};
            p.sched_priority = 0;
            if (sched_setscheduler(0, SCHED_IDLE, &p) != 0) {
                setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
            }
            break;
        }
    }
}

CThread::~CThread() {
    Join();
}

bool CThread::Start(std::function<void()> body, ThreadPriority priority) {
    if (m_thread.joinable()) return false;
    try {
        m_thread = std::thread([body = std::move(body), priority] {
            SetCurrentThreadPriority(priority);
            body();
        });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CThread::Join() {
    if (m_thread.joinable()) m_thread.join();
}

std::uint64_t MonotonicMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

}  // namespace quivern
