#include "nntp/watchdog.h"

#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/sync.h"

namespace quivern {
namespace {

using Clock = std::chrono::steady_clock;

struct Registry {
    std::mutex lock;  // the watchdog lock: guards the map and the thread's life
    // Socket to the time of its last read activity; empty optional = shut down by the watchdog.
    std::unordered_map<int, std::optional<Clock::time_point>> sockets{17};
    std::atomic<bool> running{false};
    std::atomic<bool> stopFlag{false};
    std::mutex stopLock;  // serialises Start and Stop
    std::unique_ptr<CThread> thread;
    std::unique_ptr<CEvent> stopEvent;
    std::chrono::milliseconds pass{CStalledReadWatchdog::kDefaultPass};
    std::chrono::milliseconds limit{CStalledReadWatchdog::kDefaultLimit};
};

Registry& TheRegistry() {
    static Registry* registry = new Registry();  // never destroyed: readers may outlive statics
    return *registry;
}

// Shuts down every registered socket older than `limit` (all of them when `all`).
void ClosePass(Registry& r, bool all) {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> guard(r.lock);
    for (auto& [socket, last] : r.sockets) {
        if (r.stopFlag.load()) return;
        if (!last) continue;
        if (all || now - *last > r.limit) {
            ::shutdown(socket, SHUT_RDWR);
            last.reset();
        }
    }
}

void ThreadBody() {
    Registry& r = TheRegistry();
    for (;;) {
        if (r.stopEvent->Wait(static_cast<std::uint32_t>(r.pass.count()))) break;
        ClosePass(r, false);
    }
    if (!r.stopFlag.load()) ClosePass(r, true);
}

}  // namespace

bool CStalledReadWatchdog::Start(std::chrono::milliseconds pass, std::chrono::milliseconds limit) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.stopLock);
    if (r.running.load()) return false;
    r.pass = pass;
    r.limit = limit;
    r.stopFlag = false;
    r.stopEvent = std::make_unique<CEvent>(false, false);
    r.thread = std::make_unique<CThread>();
    r.running = true;
    if (!r.thread->Start(ThreadBody, ThreadPriority::Idle)) {
        r.running = false;
        r.thread.reset();
        r.stopEvent.reset();
        return false;
    }
    return true;
}

void CStalledReadWatchdog::Stop() {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.stopLock);
    if (!r.running.load()) return;
    r.stopFlag = true;
    r.stopEvent->Set();
    r.thread->Join();
    r.thread.reset();
    r.stopEvent.reset();
    r.running = false;
    std::lock_guard<std::mutex> mapGuard(r.lock);
    r.sockets.clear();
}

bool CStalledReadWatchdog::IsRunning() {
    return TheRegistry().running.load();
}

void CStalledReadWatchdog::NoteActivity(int socket) {
    Registry& r = TheRegistry();
    if (!r.running.load()) return;
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.sockets.find(socket);
    if (it == r.sockets.end()) {
        r.sockets.emplace(socket, Clock::now());
    } else if (it->second) {
        it->second = Clock::now();
    }
}

bool CStalledReadWatchdog::ForgetSocket(int socket) {
    Registry& r = TheRegistry();
    if (!r.running.load()) return false;
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.sockets.find(socket);
    if (it == r.sockets.end()) return false;
    const bool closed = !it->second.has_value();
    r.sockets.erase(it);
    return closed;
}

}  // namespace quivern
