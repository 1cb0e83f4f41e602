#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "config/saved_options.h"
#include "nntp/decode/crc32.h"
#include "platform/paths.h"
#include "platform/resources.h"
#include "postproc/pipeline.h"
#include "pp_test_util.h"

namespace quivern {
namespace {

using test::TempDir;
using test::TMsg;

// Feeds every message to the dialog model (as the interface thread would) and records it,
// until `jobs` jobs have ended.
std::vector<TMsg> RunUntilJobsEnd(CTestReceiver& window, CAutoProgressNotify& notify, int jobs,
                                  int timeoutMs = 60000) {
    std::vector<TMsg> out;
    int ended = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (ended < jobs && std::chrono::steady_clock::now() < deadline) {
        auto m = window.Take(100);
        if (!m) continue;
        TMsg msg;
        msg.code = m->wParam;
        const bool text = m->wParam == ProgFile || (m->wParam == ProgJob && m->lParam != 0 && m->lParam != 1);
        if (text) {
            msg.text = *reinterpret_cast<std::string*>(m->lParam);
            msg.hasText = true;
        } else {
            msg.value = m->lParam;
        }
        if (m->wParam == ProgJob && !text) ++ended;
        notify.HandleProgress(m->wParam, m->lParam);  // frees the strings
        out.push_back(std::move(msg));
    }
    return out;
}

std::vector<std::string> JobStarts(const std::vector<TMsg>& msgs) {
    std::vector<std::string> names;
    for (const TMsg& m : msgs)
        if (m.code == ProgJob && m.hasText)
            names.push_back(std::string(m.text.substr(m.text.rfind('/') + 1)));
    return names;
}

std::vector<LParam> JobEnds(const std::vector<TMsg>& msgs) {
    std::vector<LParam> ends;
    for (const TMsg& m : msgs)
        if (m.code == ProgJob && !m.hasText) ends.push_back(m.value);
    return ends;
}

struct PipelineFixture : ::testing::Test {
    // Messages nobody looked at still own their strings.
    ~PipelineFixture() override { test::DrainProgress(window); }
    TempDir dir;
    CTestReceiver window;
    CSavedOptions options;
    std::mutex lock;
    std::vector<std::string> extracted;  // rar paths the archive step was given

    PipelineFixture() {
        options.m_createSubfolders = false;
        options.m_autoDelete = true;
    }
    void RecordingExtract(CAutoProgressNotify& notify, bool result) {
        notify.m_extractArchive = [this, result](const std::string& rar, const std::string&,
                                                 CPostProcContext& ctx, CSavedOptions*) {
            std::lock_guard guard(lock);
            extracted.push_back(rar);
            if (rar.empty()) ctx.m_autoDeleteCurrent = false;
            return result;
        };
    }
};

TEST_F(PipelineFixture, AddJobRefusesJobsWithoutWork) {
    CAutoProgressNotify notify(window.Handle(), &options);
    EXPECT_FALSE(notify.AddJob("", "/a.par2", ""));
    EXPECT_FALSE(notify.AddJob("/a.nzb", "", ""));
    EXPECT_FALSE(notify.WorkerRunning());
}

TEST_F(PipelineFixture, ParOnlyJobVerifiesAndDeletesNothing) {
    test::CopySample("par2/cfv-small", dir.Path());
    CAutoProgressNotify notify(window.Handle(), &options);
    ASSERT_TRUE(notify.AddJob("/nzb/small.nzb", dir.File("test.par2"), ""));
    const auto msgs = RunUntilJobsEnd(window, notify, 1);
    EXPECT_EQ(JobStarts(msgs), std::vector<std::string>{"small.nzb"});
    EXPECT_EQ(JobEnds(msgs), std::vector<LParam>{1});
    // Join looks first (164), then the verification (144) ends with the success text.
    const auto statuses = test::Values(msgs, ProgStatus);
    ASSERT_GE(statuses.size(), 2u);
    EXPECT_EQ(statuses[0], 164);
    EXPECT_EQ(statuses[1], 144);
    EXPECT_EQ(test::Values(msgs, ProgMessage).back(), 30042);
    // No archive: the downloads stay even with AutoDelete on.
    EXPECT_TRUE(FileExists(dir.File("test.par2")));
    EXPECT_TRUE(FileExists(dir.File("test.vol0+1.par2")));
    EXPECT_EQ(notify.m_errorCount, 0);
    EXPECT_EQ(notify.m_errors.at("small.nzb"), "");
    EXPECT_EQ(notify.m_lastErrorText, LoadString(30042));
}

TEST_F(PipelineFixture, StepsRunInOrderAndSuccessDeletesTheDownloads) {
    // A RAR archive in two split parts, with a recovery set over the parts.
    dir.Write("archive.rar.001", "Rar!" + test::PatternBytes(20000, 1));
    dir.Write("archive.rar.002", test::PatternBytes(15000, 2));
    ASSERT_TRUE(test::RunIn(dir.Path(), "par2 c -s4096 -c4 -n1 set.par2 archive.rar.001 archive.rar.002"));
    CAutoProgressNotify notify(window.Handle(), &options);
    RecordingExtract(notify, true);
    ASSERT_TRUE(notify.AddJob("/nzb/archive.nzb", dir.File("set.par2"), ""));
    const auto msgs = RunUntilJobsEnd(window, notify, 1);
    EXPECT_EQ(JobEnds(msgs), std::vector<LParam>{1});
    const auto statuses = test::Values(msgs, ProgStatus);
    EXPECT_EQ(statuses.front(), 164);
    EXPECT_EQ(statuses[1], 165);
    EXPECT_EQ(statuses[2], 144);
    // The joined archive is the one handed to the archive step.
    EXPECT_EQ(extracted, std::vector<std::string>{dir.File("archive.rar")});
    // Deleted: the PAR files and the joined parts; kept: the joined archive.
    EXPECT_FALSE(FileExists(dir.File("set.par2")));
    EXPECT_FALSE(FileExists(dir.File("set.vol0+4.par2")) || FileExists(dir.File("set.vol00+04.par2")));
    EXPECT_FALSE(FileExists(dir.File("archive.rar.001")));
    EXPECT_FALSE(FileExists(dir.File("archive.rar.002")));
    EXPECT_TRUE(FileExists(dir.File("archive.rar")));
}

TEST_F(PipelineFixture, RepairedPartIsJoinedAgain) {
    const std::string part1 = test::PatternBytes(3 * 4096, 7);
    const std::string part2 = test::PatternBytes(3 * 4096, 8);
    const std::string part3 = test::PatternBytes(2 * 4096 + 100, 9);
    dir.Write("movie.mkv.001", part1);
    dir.Write("movie.mkv.002", part2);
    dir.Write("movie.mkv.003", part3);
    ASSERT_TRUE(
        test::RunIn(dir.Path(), "par2 c -s4096 -c4 -n1 set.par2 movie.mkv.001 movie.mkv.002 movie.mkv.003"));
    std::string damaged = part2;
    damaged[5000] ^= 0x7F;
    dir.Write("movie.mkv.002", damaged);
    options.m_autoDelete = false;
    CAutoProgressNotify notify(window.Handle(), &options);
    ASSERT_TRUE(notify.AddJob("/nzb/movie.nzb", dir.File("set.par2"), ""));
    const auto msgs = RunUntilJobsEnd(window, notify, 1);
    EXPECT_EQ(JobEnds(msgs), std::vector<LParam>{1});
    EXPECT_EQ(test::ReadFile(dir.File("movie.mkv.002")), part2);
    EXPECT_EQ(test::ReadFile(dir.File("movie.mkv")), part1 + part2 + part3);
    EXPECT_FALSE(FileExists(dir.File("movie.mkv.002.1")));
}

TEST_F(PipelineFixture, FailedJobDoesNotStopTheQueue) {
    test::CopySample("par2/cfv-small", dir.Path());
    TempDir crash;
    std::filesystem::copy_file(test::TestData("par2/par2cmdline-block-count-wrap/recovery.par2"),
                               crash.File("recovery.par2"));
    CAutoProgressNotify notify(window.Handle(), &options);
    RecordingExtract(notify, true);
    ASSERT_TRUE(notify.AddJob("/nzb/one.nzb", dir.File("test.par2"), ""));
    ASSERT_TRUE(notify.AddJob("/nzb/two.nzb", crash.File("recovery.par2"), dir.File("x.rar")));
    ASSERT_TRUE(notify.AddJob("/nzb/three.nzb", dir.File("test.par"), ""));
    const auto msgs = RunUntilJobsEnd(window, notify, 3);
    EXPECT_EQ(JobStarts(msgs), (std::vector<std::string>{"one.nzb", "two.nzb", "three.nzb"}));
    EXPECT_EQ(JobEnds(msgs), (std::vector<LParam>{1, 0, 1}));
    // The failed verification kept the archive step from running for job two.
    EXPECT_EQ(extracted, (std::vector<std::string>{"", ""}));
    EXPECT_EQ(notify.m_errorCount, 1);
    EXPECT_EQ(notify.m_errors.at("one.nzb"), "");
    EXPECT_EQ(notify.m_errors.at("two.nzb"), LoadString(30041));
    EXPECT_EQ(notify.m_errors.at("three.nzb"), "");
    EXPECT_EQ(notify.m_statusText, LoadString(152) + FormatNumberMessage(153, 1));
    EXPECT_TRUE(notify.m_showErrorsButton);
    EXPECT_TRUE(FileExists(crash.File("recovery.par2")));
}

TEST_F(PipelineFixture, ABrokenArchiveFailsTheJobAndKeepsTheFiles) {
    CAutoProgressNotify notify(window.Handle(), &options);
    dir.Write("a.rar", "Rar!");
    ASSERT_TRUE(notify.AddJob("/nzb/a.nzb", "", dir.File("a.rar")));
    const auto msgs = RunUntilJobsEnd(window, notify, 1);
    EXPECT_EQ(JobEnds(msgs), std::vector<LParam>{0});
    const auto messages = test::Values(msgs, ProgMessage);
    ASSERT_FALSE(messages.empty());
    EXPECT_TRUE(messages.back() == 30043 || messages.back() == 30044) << messages.back();
    EXPECT_TRUE(FileExists(dir.File("a.rar")));
}

TEST_F(PipelineFixture, CancelEndsTheRunningJobAndDropsTheWaitingOnes) {
    dir.Write("set.par2", "x");
    CAutoProgressNotify notify(window.Handle(), &options);
    notify.m_parEngine.m_program =
        test::WriteScript(dir, "slow-engine", "while true; do echo 'Scanning: 1.0%'; sleep 0.05; done\n");
    RecordingExtract(notify, true);
    ASSERT_TRUE(notify.AddJob("/nzb/one.nzb", dir.File("set.par2"), ""));
    ASSERT_TRUE(notify.AddJob("/nzb/two.nzb", dir.File("set.par2"), ""));
    ASSERT_TRUE(notify.AddJob("/nzb/three.nzb", dir.File("set.par2"), ""));
    // Wait until the first job's engine reports progress.
    std::vector<TMsg> msgs;
    for (int i = 0; i < 200; ++i) {
        auto m = window.Take(50);
        if (!m) continue;
        if (m->wParam == ProgJob && m->lParam > 1) delete reinterpret_cast<std::string*>(m->lParam);
        if (m->wParam == ProgFile) delete reinterpret_cast<std::string*>(m->lParam);
        if (m->wParam == ProgPermille) break;
    }
    EXPECT_TRUE(notify.HasWork());
    const auto start = std::chrono::steady_clock::now();
    notify.Cancel();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(notify.WorkerRunning());
    EXPECT_EQ(notify.QueueLength(), 0u);
    EXPECT_FALSE(notify.HasWork());
    msgs = test::DrainProgress(window);
    EXPECT_EQ(JobStarts(msgs).size(), 0u);
    EXPECT_EQ(JobEnds(msgs), std::vector<LParam>{0});
    EXPECT_TRUE(extracted.empty());

    // The pipeline takes new jobs afterwards with a fresh worker.
    test::CopySample("par2/cfv-small", dir.Path());
    notify.m_parEngine = {};
    ASSERT_TRUE(notify.AddJob("/nzb/four.nzb", dir.File("test.par2"), ""));
    EXPECT_EQ(JobEnds(RunUntilJobsEnd(window, notify, 1)), std::vector<LParam>{1});
}

}  // namespace
}  // namespace quivern
