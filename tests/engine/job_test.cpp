#include <gtest/gtest.h>

#include <thread>

#include "engine/engine_support.h"
#include "nntp/job.h"
#include "platform/window_messages.h"

namespace quivern {
namespace {

TEST(EventWord, PacksAndUnpacks) {
    struct Case {
        std::uint32_t bytes;
        std::int32_t state, phase, result;
        std::uint8_t mode;
        std::uint64_t nibble;  // bits 36..39
    } cases[] = {
        {0, 0, 1, -9, 0, 0},
        {12345, 1, 2, 0, 1, 9},
        {0xFFFFFFFF, 2, 3, 6, 0, 15},
        {7, 0, -1 & 3, -5, 1, 4},
    };
    for (const auto& c : cases) {
        const std::uint64_t w = PackEventWord(c.bytes, c.state, c.phase, c.result, c.mode);
        EXPECT_EQ((w >> 36) & 15, c.nibble);
        EXPECT_EQ(w >> 41, 0u);
        const TEventWord u = UnpackEventWord(w);
        EXPECT_EQ(u.bytes, c.bytes);
        EXPECT_EQ(u.state, c.state);
        EXPECT_EQ(u.phase, c.phase & 3);
        EXPECT_EQ(u.result, c.result);
        EXPECT_EQ(u.mode, c.mode);
    }
}

TEST(ConnectionErrorText, CodesMapToTheirMessages) {
    struct Case {
        std::int32_t code;
        std::uint32_t id;
    } cases[] = {{-1, 30028},  {-2, 30023},  {-6, 30023},  {-7, 30028},  {-8, 30023},  {-9, 30024},
                 {-11, 30025}, {-12, 30026}, {-15, 30026}, {-16, 30027}, {-23, 30023}, {-24, 30028},
                 {-25, 30027}, {-35, 30027}, {-36, 30026}, {-43, 30026}, {-44, 30028}, {-10, 30028}};
    for (const auto& c : cases)
        EXPECT_EQ(ConnectionErrorMessageId(c.code), c.id) << c.code;
}

class JobTest : public ::testing::Test {
protected:
    void SetUp() override {
        media = test::MakeNzb(tmp, {{"file", 3}});
        part = media->m_parts[0];
    }
    RcPtr<CNNTPJobDownload> Job(std::uint64_t id, WindowHandle w, int article = 0,
                                std::uint8_t mode = ModeDownload) {
        return RcPtr<CNNTPJobDownload>(
            new CNNTPJobDownload(media.get(), part, part->m_articles[article], id, w, this, mode));
    }
    test::TempDir tmp;
    RcPtr<CNzbMedia> media;
    CNzbPart* part = nullptr;
};

TEST_F(JobTest, ProgressAndTheJobEndSequence) {
    CTestReceiver window;
    {
        auto job = Job(1, window.Handle());
        job->PostProgress(10);  // phase -1: nothing
        EXPECT_EQ(window.Pending(), 0u);
        job->m_phase = PhaseTaken;
        job->PostProgress(4096);
        job->SetResult(tmp.File("out/file.bin"), 300);
        job->m_resultCode = 0;
    }
    auto m = window.TryTake();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->message, WM_JOB_PROGRESS);
    TProgress p = TakeProgressRecord(m->lParam);
    EXPECT_EQ(p.listItem, this);
    EXPECT_EQ(p.article, part->m_articles[0]);
    EXPECT_EQ(UnpackEventWord(p.eventWord).bytes, 4096u);
    m = window.TryTake();  // the end: phase 3
    ASSERT_TRUE(m);
    p = TakeProgressRecord(m->lParam);
    EXPECT_EQ(UnpackEventWord(p.eventWord).phase, PhaseEnded);
    m = window.TryTake();  // the written file
    ASSERT_TRUE(m);
    ASSERT_EQ(m->message, WM_JOB_FILE_WRITTEN);
    const auto* record = reinterpret_cast<TFileWrittenRecord*>(m->wParam);
    EXPECT_EQ(record->fileName, "file.bin");
    EXPECT_EQ(record->size, 300u);
    EXPECT_EQ(record->media, media.get());
    EXPECT_EQ(reinterpret_cast<CNzbPart*>(m->lParam), part);
    FreeFileWrittenMessage(m->wParam, m->lParam);
    EXPECT_FALSE(window.TryTake());
}

TEST_F(JobTest, ReceivedChunksReachTheWindowAtABoundedRateWithoutLosingBytes) {
    CTestReceiver window;
    auto job = Job(5, window.Handle());
    job->m_phase = PhaseTaken;
    for (int i = 0; i < 100000; ++i)
        job->OnReceived(1000);  // far faster than 10 per 100 ms
    job->FlushReceived();
    std::uint64_t bytes = 0;
    std::size_t messages = 0;
    while (auto m = window.TryTake()) {
        bytes += UnpackEventWord(TakeProgressRecord(m->lParam).eventWord).bytes;
        ++messages;
    }
    EXPECT_EQ(bytes, 100000u * 1000u);
    EXPECT_LE(messages, 10u);

    // An article that arrives within the interval is reported once, when its receive ends.
    auto quick = Job(6, window.Handle());
    quick->m_phase = PhaseTaken;
    for (int i = 0; i < 5; ++i)
        quick->OnReceived(700);
    EXPECT_EQ(window.Pending(), 0u);
    quick->FlushReceived();
    ASSERT_EQ(window.Pending(), 1u);
    EXPECT_EQ(UnpackEventWord(TakeProgressRecord(window.TryTake()->lParam).eventWord).bytes, 3500u);
}

TEST_F(JobTest, NoFileMessageWithoutSizeAndNothingForAGoneWindow) {
    CTestReceiver window;
    {
        auto job = Job(2, window.Handle());
        job->SetResult(tmp.File("empty.bin"), 0);
    }
    ASSERT_EQ(window.Pending(), 1u);  // only the end of the job
    TakeProgressRecord(window.TryTake()->lParam);
    const WindowHandle gone = window.Handle();
    window.Destroy();
    auto job = Job(3, gone);
    job->m_phase = PhaseTaken;
    job->PostProgress(1);  // the record goes back to the pool when posting fails
    job->SetResult(tmp.File("x.bin"), 5);
}

TEST_F(JobTest, RecordPoolGrowsByBlocksAndReturnsFreeBlocks) {
    CTestReceiver window;
    auto job = Job(4, window.Handle());
    job->m_phase = PhaseTaken;
    const std::size_t before = ProgressPoolBlockCount();
    // 1001 records in use at once need a second block.
    std::vector<LParam> held;
    for (int i = 0; i < 1001 + 1000 * static_cast<int>(before); ++i) {
        job->PostProgress(static_cast<std::uint32_t>(i));
        held.push_back(window.TryTake()->lParam);
    }
    EXPECT_GE(ProgressPoolBlockCount(), 2u);
    const std::size_t grown = ProgressPoolBlockCount();
    for (LParam r : held)
        TakeProgressRecord(r);
    // Freed records are used again: a second wave of the same size needs no new block.
    held.clear();
    for (int i = 0; i < 1001; ++i) {
        job->PostProgress(1);
        held.push_back(window.TryTake()->lParam);
    }
    EXPECT_LE(ProgressPoolBlockCount(), grown);
    for (LParam r : held)
        TakeProgressRecord(r);
}

TEST(ErrorPool, BurstsBecomeOneMessageWithTheLastCodeAndTheCount) {
    CErrorNotifyPool::SetDelayForTest(200);
    CTestReceiver window;
    for (int i = 0; i < 7; ++i)
        CErrorNotifyPool::ReportConnectionError(window.Handle(), -23);
    CErrorNotifyPool::ReportConnectionError(window.Handle(), -11);
    EXPECT_EQ(window.Pending(), 0u);  // younger than the delay
    std::this_thread::sleep_for(std::chrono::milliseconds(260));
    CErrorNotifyPool::FlushErrors();
    auto m = window.TryTake();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->message, WM_JOB_ERRORS);
    EXPECT_EQ(static_cast<std::int32_t>(static_cast<LParam>(m->wParam)), -11);
    EXPECT_EQ(m->lParam, 8);
    EXPECT_FALSE(window.TryTake());

    // A job end delivers at once; a window that is gone gets nothing and loses its entry.
    CErrorNotifyPool::ReportConnectionError(window.Handle(), -24);
    CErrorNotifyPool::ForceDelivery(window.Handle());
    ASSERT_TRUE(window.TryTake());
    CTestReceiver other;
    CErrorNotifyPool::ReportConnectionError(other.Handle(), -24);
    other.Destroy();
    CErrorNotifyPool::ForceDelivery(other.Handle());
    EXPECT_EQ(other.Pending(), 0u);
    CErrorNotifyPool::SetDelayForTest(500);
}

}  // namespace
}  // namespace quivern
