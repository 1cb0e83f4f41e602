#include "platform/window_messages.h"

#include <chrono>
#include <shared_mutex>
#include <unordered_map>

namespace quivern {
namespace {

struct WindowTable {
    std::shared_mutex lock;
    std::unordered_map<WindowHandle, IMessageReceiver*> windows;
    WindowHandle next = 1;
};

WindowTable& Table() {
    static WindowTable table;
    return table;
}

}  // namespace

WindowHandle RegisterWindow(IMessageReceiver* receiver) {
    auto& t = Table();
    std::unique_lock guard(t.lock);
    const WindowHandle h = t.next++;
    t.windows.emplace(h, receiver);
    return h;
}

void UnregisterWindow(WindowHandle handle) {
    auto& t = Table();
    // The exclusive lock waits for every Deliver() running under a shared lock.
    std::unique_lock guard(t.lock);
    t.windows.erase(handle);
}

bool PostMessageTo(WindowHandle handle, std::uint32_t message, WParam wParam, LParam lParam) {
    auto& t = Table();
    std::shared_lock guard(t.lock);
    auto it = t.windows.find(handle);
    if (it == t.windows.end()) return false;
    it->second->Deliver(PostedMessage{handle, message, wParam, lParam});
    return true;
}

bool IsWindow(WindowHandle handle) {
    auto& t = Table();
    std::shared_lock guard(t.lock);
    return t.windows.count(handle) != 0;
}

CTestReceiver::CTestReceiver() : m_handle(RegisterWindow(this)) {}

CTestReceiver::~CTestReceiver() {
    Destroy();
}

void CTestReceiver::Destroy() {
    if (m_handle != 0) {
        UnregisterWindow(m_handle);
        m_handle = 0;
    }
}

void CTestReceiver::Deliver(const PostedMessage& msg) {
    bool wake;
    {
        std::lock_guard guard(m_lock);
        m_queue.push_back(msg);
        wake = m_takers != 0 || (m_batchWanted != 0 && m_queue.size() >= m_batchWanted);
    }
    if (wake) m_cv.notify_all();
}

std::optional<PostedMessage> CTestReceiver::TryTake() {
    std::lock_guard guard(m_lock);
    if (m_queue.empty()) return std::nullopt;
    PostedMessage m = m_queue.front();
    m_queue.pop_front();
    return m;
}

std::optional<PostedMessage> CTestReceiver::Take(int timeoutMs) {
    std::unique_lock guard(m_lock);
    ++m_takers;
    const bool got =
        m_cv.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] { return !m_queue.empty(); });
    --m_takers;
    if (!got) return std::nullopt;
    PostedMessage m = m_queue.front();
    m_queue.pop_front();
    return m;
}

bool CTestReceiver::WaitForPending(std::size_t count, int timeoutMs) {
    std::unique_lock guard(m_lock);
    m_batchWanted = count == 0 ? 1 : count;
    const bool got = m_cv.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                   [&] { return m_queue.size() >= m_batchWanted; });
    m_batchWanted = 0;
    return got;
}

std::size_t CTestReceiver::Pending() {
    std::lock_guard guard(m_lock);
    return m_queue.size();
}

}  // namespace quivern
