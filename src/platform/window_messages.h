#pragma once
// Process-wide table of window handles and posted messages.
//
// A window registers a receiver and gets a handle. Any thread may Post() to the handle; the
// receiver's Deliver() only queues the message (the Qt side turns it into a queued event for
// the GUI thread, tests pump a CTestReceiver by hand). Post() returns false once the window
// is gone. Whoever posts a pointer hands over its reference or heap copy; when Post() fails,
// the sender still owns it and must free it.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace quivern {

using WindowHandle = std::uint64_t;  // 0 is never a window
using WParam = std::uintptr_t;
using LParam = std::intptr_t;

inline constexpr std::uint32_t WM_APP = 0x8000;

struct PostedMessage {
    WindowHandle window = 0;
    std::uint32_t message = 0;
    WParam wParam = 0;
    LParam lParam = 0;
};

class IMessageReceiver {
public:
    // Called on the posting thread with the table lock held: queue the message, never run it.
    virtual void Deliver(const PostedMessage& msg) = 0;

protected:
    ~IMessageReceiver() = default;
};

WindowHandle RegisterWindow(IMessageReceiver* receiver);
// After this returns no Deliver() for the handle is running or will run again.
void UnregisterWindow(WindowHandle handle);
bool PostMessageTo(WindowHandle handle, std::uint32_t message, WParam wParam, LParam lParam);
bool IsWindow(WindowHandle handle);

// A receiver that queues messages for a test (or a headless front end) to take by hand.
class CTestReceiver final : public IMessageReceiver {
public:
    CTestReceiver();
    ~CTestReceiver();
    CTestReceiver(const CTestReceiver&) = delete;
    CTestReceiver& operator=(const CTestReceiver&) = delete;

    WindowHandle Handle() const { return m_handle; }
    // Unregisters the window (as if it were destroyed); queued messages stay queued.
    void Destroy();

    void Deliver(const PostedMessage& msg) override;
    std::optional<PostedMessage> TryTake();
    // Waits up to timeoutMs for a message.
    std::optional<PostedMessage> Take(int timeoutMs);
    // Waits up to timeoutMs until at least `count` messages are queued; true when they are. The
    // waiter is woken once for the batch, not for every message.
    bool WaitForPending(std::size_t count, int timeoutMs);
    std::size_t Pending();

private:
    WindowHandle m_handle = 0;
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::deque<PostedMessage> m_queue;
    std::size_t m_takers = 0;       // threads in Take: woken by any message
    std::size_t m_batchWanted = 0;  // the count a thread in WaitForPending waits for, or 0
};

}  // namespace quivern
