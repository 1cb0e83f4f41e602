#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/sync.h"
#include "platform/window_messages.h"

namespace quivern {
namespace {

TEST(WindowMessages, PostDeliversInOrderUntilTheWindowIsGone) {
    CTestReceiver window;
    const WindowHandle h = window.Handle();
    EXPECT_TRUE(IsWindow(h));
    EXPECT_TRUE(PostMessageTo(h, WM_APP + 1, 7, -3));
    EXPECT_TRUE(PostMessageTo(h, WM_APP + 2, 8, 4));
    auto m1 = window.TryTake();
    auto m2 = window.TryTake();
    ASSERT_TRUE(m1 && m2);
    EXPECT_EQ(m1->message, WM_APP + 1);
    EXPECT_EQ(m1->wParam, 7u);
    EXPECT_EQ(m1->lParam, -3);
    EXPECT_EQ(m2->message, WM_APP + 2);
    EXPECT_FALSE(window.TryTake());

    window.Destroy();
    EXPECT_FALSE(IsWindow(h));
    // The sender learns that the window is gone and keeps ownership of what it tried to post.
    auto* payload = new int(5);
    if (!PostMessageTo(h, WM_APP + 3, 0, reinterpret_cast<LParam>(payload))) delete payload;
    EXPECT_EQ(window.Pending(), 0u);
    EXPECT_FALSE(PostMessageTo(0, WM_APP, 0, 0));
}

TEST(WindowMessages, ConcurrentPostersAndDestructionLoseNothingDelivered) {
    auto window = std::make_unique<CTestReceiver>();
    const WindowHandle h = window->Handle();
    std::atomic<int> accepted{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
        posters.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                if (PostMessageTo(h, WM_APP + 1, static_cast<WParam>(i), 0)) ++accepted;
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    window->Destroy();  // returns only once no delivery runs
    for (auto& p : posters)
        p.join();
    EXPECT_EQ(static_cast<std::size_t>(accepted.load()), window->Pending());
}

TEST(WindowMessages, ATakerWaitsForTheWholeBatchOrTheTimeOut) {
    CTestReceiver window;
    const WindowHandle h = window.Handle();
    ASSERT_TRUE(PostMessageTo(h, WM_APP, 1, 0));
    EXPECT_FALSE(window.WaitForPending(2, 20));  // one of two: the time-out ends the wait
    EXPECT_TRUE(window.WaitForPending(1, 0));
    std::thread poster([&] {
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            PostMessageTo(h, WM_APP, 2, 0);
        }
    });
    EXPECT_TRUE(window.WaitForPending(4, 10000));  // the last of the batch wakes it
    EXPECT_GE(window.Pending(), 4u);
    poster.join();
    // A thread in Take is still woken by a single message while no batch is waited for.
    while (window.TryTake()) {
    }
    std::thread single([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        PostMessageTo(h, WM_APP, 3, 0);
    });
    const auto m = window.Take(10000);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->wParam, 3u);
    single.join();
}

TEST(Events, AutoResetIsConsumedManualResetStays) {
    CEvent autoEv(false, false);
    CEvent manual(true, false);
    EXPECT_FALSE(autoEv.Wait(0));
    autoEv.Set();
    EXPECT_TRUE(autoEv.Wait(0));
    EXPECT_FALSE(autoEv.Wait(0));
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));
    manual.Reset();
    EXPECT_FALSE(manual.Wait(10));
}

TEST(Events, WaitAnyReportsWhichEventAndTimesOut) {
    CEvent stop(true, false);
    CEvent work(false, false);
    EXPECT_EQ(CEvent::WaitAny(stop, work, 20), kWaitTimeout);
    work.Set();
    EXPECT_EQ(CEvent::WaitAny(stop, work, 0), 1);
    EXPECT_EQ(CEvent::WaitAny(stop, work, 0), kWaitTimeout);  // the auto-reset event was consumed
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        stop.Set();
    });
    EXPECT_EQ(CEvent::WaitAny(stop, work, kInfinite), 0);
    setter.join();
    work.Set();
    EXPECT_EQ(CEvent::WaitAny(stop, work, 0), 0);  // the first event wins when both are set
    EXPECT_EQ(CEvent::WaitAny(work, stop, 0), 0);
}

TEST(Threads, PrioritiesReachTheThread) {
    int policy = -1;
    int nice = -100;
    CThread idle;
    ASSERT_TRUE(idle.Start([&] { policy = sched_getscheduler(0); }, ThreadPriority::Idle));
    idle.Join();
    EXPECT_EQ(policy, SCHED_IDLE);
    CThread lowest;
    ASSERT_TRUE(
        lowest.Start([&] { nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid))); },
                     ThreadPriority::Lowest));
    lowest.Join();
    EXPECT_EQ(nice, 19);
    EXPECT_FALSE(lowest.Running());
}

}  // namespace
}  // namespace quivern
