#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>

#include "assembly/data_swap.h"
#include "engine/engine_support.h"
#include "newsserver/news_server.h"
#include "nntp/engine_settings.h"
#include "nntp/manager.h"
#include "nntp/watchdog.h"
#include "platform/paths.h"
#include "posting.h"
#include "postproc/par_repair.h"
#include "support/fixtures.h"

namespace quivern {
namespace {

namespace fs = std::filesystem;

class Queued final : public INNTPManagerCB {
public:
    void ArticleQueued(void*, CNzbArticle*) override { ++count; }
    std::size_t count = 0;
};

// A fresh engine and store for each test, with the test's folders.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ReleaseNntpManager();
        ReleaseDataSwap();
        settings.savePathRoot = tmp.File("out");
        settings.tempPathRoot = tmp.File("spill");
        fs::create_directories(settings.tempPathRoot);
        settings.createSubfolders = false;
        settings.maxChannels = 4;
        settings.useChannelLoop = true;
        SetEngineSettings(settings);
        ASSERT_TRUE(GetNntpManager(manager));
        manager->SetRetryDelayForTest(50);
    }
    void TearDown() override {
        manager = RcPtr<CNNTPManager>();
        ReleaseNntpManager();
        ReleaseDataSwap();
    }
    void AddServer(int port) {
        CServerEntry e;
        ASSERT_TRUE(e.SetServer("127.0.0.1", static_cast<std::uint16_t>(port), false, "", ""));
        manager->InsertServer(e, -1);
    }
    // Serves the posting's articles (with `faults` when given) and adds the server to the engine.
    void Serve(newsserver::NewsServer& server, const posting::Posting& posting,
               const newsserver::NewsFaults* faults = nullptr) {
        std::string error;
        ASSERT_GE(server.LoadFolder(posting.articleFolder, &error), 1) << error;
        if (faults != nullptr) server.SetFaults(*faults);
        ASSERT_TRUE(server.Start(&error)) << error;
        AddServer(server.Port());
    }
    bool Queue(const RcPtr<CNzbMedia>& media, std::uint8_t mode = ModeDownload) {
        InsertCursor cursor;
        bool any = false;
        for (CNzbPart* part : media->m_parts) {
            any = manager->QueueJobs(media.get(), part, nullptr, window.Handle(), part, &queued, mode,
                                     cursor) ||
                  any;
        }
        return any;
    }
    // Pumps the window until every queued job has ended (or the time-out).
    void WaitForJobs(int timeoutMs = 20000) {
        const std::uint64_t deadline = MonotonicMs() + static_cast<std::uint64_t>(timeoutMs);
        while (ended < queued.count && MonotonicMs() < deadline) {
            auto m = window.Take(50);
            if (!m) continue;
            if (m->message == WM_JOB_PROGRESS) {
                const TProgress p = TakeProgressRecord(m->lParam);
                const TEventWord w = UnpackEventWord(p.eventWord);
                if (w.phase == PhaseEnded) {
                    ++ended;
                    results[p.article] = w.result;
                    states[p.article] = w.state;
                }
            } else if (m->message == WM_JOB_ERRORS) {
                errors.push_back(static_cast<std::int32_t>(static_cast<LParam>(m->wParam)));
            } else if (m->message == WM_JOB_FILE_WRITTEN) {
                auto* r = reinterpret_cast<TFileWrittenRecord*>(m->wParam);
                written[r->fileName] = r->size;
                FreeFileWrittenMessage(m->wParam, m->lParam);
            }
        }
        ASSERT_EQ(ended, queued.count) << "jobs did not end in time";
        // File messages follow the end of their job: collect the stragglers.
        while (auto m = window.Take(100)) {
            if (m->message == WM_JOB_FILE_WRITTEN) {
                auto* r = reinterpret_cast<TFileWrittenRecord*>(m->wParam);
                written[r->fileName] = r->size;
                FreeFileWrittenMessage(m->wParam, m->lParam);
            } else if (m->message == WM_JOB_PROGRESS) {
                TakeProgressRecord(m->lParam);
            } else if (m->message == WM_JOB_ERRORS) {
                errors.push_back(static_cast<std::int32_t>(static_cast<LParam>(m->wParam)));
            }
        }
    }
    posting::Posting MakePosting(int files, std::uint64_t size, std::uint32_t segment = 100000,
                                 bool par2 = false) {
        posting::PostingOptions o;
        o.par2 = par2;
        o.folder = tmp.File("posting");
        o.files = files;
        o.fileSize = size;
        o.segmentSize = segment;
        posting::Posting p;
        std::string error;
        EXPECT_TRUE(posting::MakePosting(o, p, &error)) << error;
        return p;
    }
    RcPtr<CNzbMedia> Open(const std::string& path) {
        CNzbMedia* m = nullptr;
        EXPECT_TRUE(OpenNzbMedia(path, &m));
        return RcPtr<CNzbMedia>::Adopt(m);
    }
    void ExpectFilesEqualSource(const posting::Posting& p) {
        for (const auto& f : p.files) {
            const std::string got = test::ReadFile(tmp.File("out/" + f.name));
            EXPECT_TRUE(got == test::ReadFile(p.sourceFolder + "/" + f.name))
                << f.name << " differs from its source (" << got.size() << " of " << f.size << " bytes)";
            EXPECT_EQ(written[f.name], f.size) << f.name;
        }
    }

    test::TempDir tmp;
    TEngineSettings settings;
    RcPtr<CNNTPManager> manager;
    CTestReceiver window;
    Queued queued;
    std::size_t ended = 0;
    std::map<const CNzbArticle*, std::int32_t> results;
    std::map<const CNzbArticle*, std::int32_t> states;
    std::map<std::string, std::uint64_t> written;
    std::vector<std::int32_t> errors;
};

std::vector<std::string> Names(const std::vector<CNNTPManager::TQueued>& q) {
    std::vector<std::string> out;
    for (const auto& j : q) {
        out.push_back(j.part->m_subject + std::to_string(j.article->m_number) +
                      (j.mode == ModeCheck ? "?" : ""));
    }
    return out;
}

TEST_F(EngineTest, BatchesKeepTogetherAndNeverSplitTheFrontRun) {
    for (const std::uint8_t mode : {ModeDownload, ModeCheck}) {
        SCOPED_TRACE(mode == ModeDownload ? "download" : "check");
        manager->HoldChannelsForTest(true);
        auto a = test::MakeNzb(tmp, {{"A", 2}}, "a.nzb");
        auto b = test::MakeNzb(tmp, {{"B", 1}}, "b.nzb");
        auto cd = test::MakeNzb(tmp, {{"C", 2}, {"D", 2}}, "cd.nzb");
        ASSERT_TRUE(Queue(a));
        ASSERT_TRUE(Queue(b));
        EXPECT_EQ(Names(manager->QueueSnapshotForTest()), (std::vector<std::string>{"A1", "A2", "B1"}));
        InsertCursor cursor;
        ASSERT_TRUE(manager->QueueJobs(cd.get(), cd->m_parts[0], nullptr, window.Handle(), nullptr, &queued,
                                       mode, cursor));
        if (mode == ModeDownload) {
            EXPECT_EQ(Names(manager->QueueSnapshotForTest()),
                      (std::vector<std::string>{"A1", "A2", "C1", "C2", "B1"}));
            ASSERT_TRUE(manager->QueueJobs(cd.get(), cd->m_parts[1], nullptr, window.Handle(), nullptr,
                                           &queued, mode, cursor));
            EXPECT_EQ(Names(manager->QueueSnapshotForTest()),
                      (std::vector<std::string>{"A1", "A2", "C1", "C2", "B1", "D1", "D2"}));
        } else {
            EXPECT_EQ(Names(manager->QueueSnapshotForTest()),
                      (std::vector<std::string>{"C1?", "C2?", "A1", "A2", "B1"}));
        }
        // A file whose articles all have jobs already queues nothing.
        InsertCursor again;
        EXPECT_FALSE(manager->QueueJobs(a.get(), a->m_parts[0], nullptr, window.Handle(), nullptr, &queued,
                                        mode, again));
        // A single article that already has a job counts as queued.
        EXPECT_TRUE(manager->QueueJobs(a.get(), a->m_parts[0], a->m_parts[0]->m_articles[0], window.Handle(),
                                       nullptr, &queued, mode, again));
        TearDown();
        SetUp();
        queued.count = 0;
    }
}

TEST_F(EngineTest, DownloadsAPostingOverSeveralChannels) {
    const auto posting = MakePosting(3, 350000);
    newsserver::NewsServer server;
    ASSERT_NO_FATAL_FAILURE(Serve(server, posting));
    auto media = Open(posting.nzbPath);
    ASSERT_TRUE(Queue(media));
    WaitForJobs();
    ExpectFilesEqualSource(posting);
    for (const auto& [article, result] : results)
        EXPECT_EQ(result, 0);
    EXPECT_TRUE(errors.empty());
    EXPECT_GT(server.PeakConnections(), 1);
}

TEST_F(EngineTest, ADownloadedParSetVerifiesFromTheDigestsTakenWhileWriting) {
    const auto posting = MakePosting(2, 300000, 100000, /*par2=*/true);
    newsserver::NewsServer server;
    ASSERT_NO_FATAL_FAILURE(Serve(server, posting));
    auto media = Open(posting.nzbPath);
    ASSERT_TRUE(Queue(media));
    WaitForJobs();
    ExpectFilesEqualSource(posting);
    TParEngineSettings noEngine;
    noEngine.m_program = tmp.File("no-such-par2");
    CTestReceiver progress;
    CPostProcContext ctx(progress.Handle());
    EXPECT_TRUE(VerifyAndRepair(tmp.File("out/sample.par2"), ctx, noEngine));
    while (auto m = progress.TryTake()) {
        if (m->wParam == ProgFile) delete reinterpret_cast<std::string*>(m->lParam);
    }
}

// The article text of one segment with one data byte changed: still valid yEnc, wrong CRC.
std::string DamagedArticle(const posting::Posting& posting, const std::string& file) {
    std::string text = test::ReadFile(posting.articleFolder + "/" + file);
    const auto data = text.find("\r\n", text.find("=ypart")) + 2;
    text[data + 10] = text[data + 10] == 'x' ? 'y' : 'x';
    return text;
}

TEST_F(EngineTest, ADamagedCopyIsFetchedAgainFromTheNextServer) {
    const auto posting = MakePosting(1, 300000);
    const std::string id = "<" + posting.files[0].messageIds[1] + ">";
    newsserver::NewsServer damaged;
    newsserver::NewsServer intact;
    std::string error;
    ASSERT_GE(damaged.LoadFolder(posting.articleFolder, &error), 1) << error;
    damaged.AddRawArticle(id, {"alt.binaries.quivern.demo"}, DamagedArticle(posting, "a1_2"));
    ASSERT_GE(intact.LoadFolder(posting.articleFolder, &error), 1) << error;
    ASSERT_TRUE(damaged.Start(&error)) << error;
    ASSERT_TRUE(intact.Start(&error)) << error;
    settings.maxChannels = 1;
    SetEngineSettings(settings);
    AddServer(damaged.Port());
    AddServer(intact.Port());
    auto media = Open(posting.nzbPath);
    ASSERT_TRUE(Queue(media));
    WaitForJobs();
    ExpectFilesEqualSource(posting);
    EXPECT_EQ(results[media->m_parts[0]->m_articles[1]], 0);
    int askedIntact = 0;
    for (const auto& c : intact.Connections()) {
        for (const auto& cmd : c.commands)
            askedIntact += cmd == "ARTICLE " + id;
    }
    EXPECT_EQ(askedIntact, 1);
}

TEST_F(EngineTest, WithoutAnIntactCopyTheDamagedDataIsKeptAndReported) {
    const auto posting = MakePosting(1, 300000);
    const std::string id = "<" + posting.files[0].messageIds[1] + ">";
    newsserver::NewsServer server;
    std::string error;
    ASSERT_GE(server.LoadFolder(posting.articleFolder, &error), 1) << error;
    server.AddRawArticle(id, {"alt.binaries.quivern.demo"}, DamagedArticle(posting, "a1_2"));
    ASSERT_TRUE(server.Start(&error)) << error;
    AddServer(server.Port());
    auto media = Open(posting.nzbPath);
    ASSERT_TRUE(Queue(media));
    WaitForJobs();
    const auto& articles = media->m_parts[0]->m_articles;
    EXPECT_EQ(results[articles[0]], 0);
    EXPECT_EQ(results[articles[1]], kResultDamaged);
    const std::string got = test::ReadFile(tmp.File("out/" + posting.files[0].name));
    const std::string source = test::ReadFile(posting.sourceFolder + "/" + posting.files[0].name);
    ASSERT_EQ(got.size(), source.size());  // nothing left out: the damaged block is in its place
    EXPECT_TRUE(got.substr(0, 100000) == source.substr(0, 100000));
    EXPECT_FALSE(got == source);
    int asked = 0;
    for (const auto& c : server.Connections()) {
        for (const auto& cmd : c.commands)
            asked += cmd == "ARTICLE " + id;
    }
    EXPECT_EQ(asked, 4);  // once and after each of the three put-backs
}

TEST_F(EngineTest, MissingArticleLeavesAGapAndIsReported) {
    const auto posting = MakePosting(1, 350000);
    newsserver::NewsServer server;
    newsserver::NewsFaults faults;
    faults.statusForMessageId["<" + posting.files[0].messageIds[1] + ">"] = 430;
    ASSERT_NO_FATAL_FAILURE(Serve(server, posting, &faults));
    auto media = Open(posting.nzbPath);
    ASSERT_TRUE(Queue(media));
    WaitForJobs();
    const auto& articles = media->m_parts[0]->m_articles;
    EXPECT_EQ(results[articles[0]], 0);
    EXPECT_EQ(results[articles[1]], 1);
    EXPECT_EQ(results[articles[2]], 0);
    const std::string source = test::ReadFile(posting.sourceFolder + "/" + posting.files[0].name);
    EXPECT_TRUE(test::ReadFile(tmp.File("out/" + posting.files[0].name)) ==
                source.substr(0, 100000) + source.substr(200000));
    // 430 is final: the article was asked for once.
    int asked = 0;
    for (const auto& c : server.Connections()) {
        for (const auto& cmd : c.commands)
            asked += cmd.find(posting.files[0].messageIds[1]) != std::string::npos;
    }
    EXPECT_EQ(asked, 1);
}

TEST_F(EngineTest, FailsOverToTheNextServerAndReportsTheFailures) {
    const auto posting = MakePosting(1, 150000);
    newsserver::NewsServer good;
    std::string error;
    ASSERT_GE(good.LoadFolder(posting.articleFolder, &error), 1);
    ASSERT_TRUE(good.Start(&error)) << error;
    CErrorNotifyPool::SetDelayForTest(0);
    AddServer(test::UnusedPort());  // connection refused: a retryable failure
    AddServer(good.Port());
    auto media = Open(posting.nzbPath);
    ASSERT_TRUE(Queue(media));
    WaitForJobs();
    CErrorNotifyPool::SetDelayForTest(500);
    ExpectFilesEqualSource(posting);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.front(), -23);
}

TEST_F(EngineTest, ConnectionsThatDieMidArticleAreRetried) {
    const auto posting = MakePosting(2, 300000);
    newsserver::NewsServer server;
    newsserver::NewsFaults faults;
    faults.closeAfterBytes = 180000;  // each connection dies in its second article
    ASSERT_NO_FATAL_FAILURE(Serve(server, posting, &faults));
    auto media = Open(posting.nzbPath);
    ASSERT_TRUE(Queue(media));
    WaitForJobs();
    ExpectFilesEqualSource(posting);
    EXPECT_GT(server.Connections().size(), 4u);  // the channels reconnected
}

TEST_F(EngineTest, TheWatchdogReleasesAStalledRead) {
    ASSERT_TRUE(CStalledReadWatchdog::Start(std::chrono::milliseconds(100), std::chrono::milliseconds(400)));
    settings.maxChannels = 1;
    SetEngineSettings(settings);
    const auto posting = MakePosting(1, 150000);
    newsserver::NewsServer server;
    newsserver::NewsFaults faults;
    faults.stallMidArticleSeconds = 15;
    ASSERT_NO_FATAL_FAILURE(Serve(server, posting, &faults));
    auto media = Open(posting.nzbPath);
    ASSERT_TRUE(Queue(media));
    // Once the first article stalls, the server behaves again; only the watchdog can free the
    // channel before the 15-second stall (or the 30-second socket wait) ends.
    bool sawArticle = false;
    for (int i = 0; i < 100 && !sawArticle; ++i) {
        for (const auto& c : server.Connections()) {
            for (const auto& cmd : c.commands)
                sawArticle = sawArticle || cmd.rfind("ARTICLE", 0) == 0;
        }
        if (!sawArticle) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(sawArticle);
    server.SetFaults({});
    WaitForJobs(10000);
    CStalledReadWatchdog::Stop();
    ExpectFilesEqualSource(posting);
}

TEST_F(EngineTest, CancelledJobsEndWithoutWritingAnything) {
    const auto posting = MakePosting(2, 300000);
    newsserver::NewsServer server;
    ASSERT_NO_FATAL_FAILURE(Serve(server, posting));
    auto media = Open(posting.nzbPath);
    manager->HoldChannelsForTest(true);
    ASSERT_TRUE(Queue(media));
    for (CNzbPart* part : media->m_parts)
        manager->CancelJobs(part, nullptr);
    manager->HoldChannelsForTest(false);
    WaitForJobs();
    for (const auto& [article, state] : states)
        EXPECT_EQ(state, StateCancelled);
    EXPECT_TRUE(written.empty());
    EXPECT_FALSE(fs::exists(tmp.File("out")) && !fs::is_empty(tmp.File("out")));
}

TEST_F(EngineTest, CancellingDoesNotWaitForAStalledFetch) {
    settings.maxChannels = 2;
    SetEngineSettings(settings);
    const auto posting = MakePosting(2, 300000);
    newsserver::NewsServer server;
    newsserver::NewsFaults faults;
    faults.stallMidArticleSeconds = 20;  // far beyond the wait below
    ASSERT_NO_FATAL_FAILURE(Serve(server, posting, &faults));
    auto media = Open(posting.nzbPath);
    ASSERT_TRUE(Queue(media));
    ASSERT_TRUE(server.WaitForConnections(2, 5000));
    bool fetching = false;
    for (int i = 0; i < 200 && !fetching; ++i) {
        for (const auto& c : server.Connections()) {
            for (const auto& cmd : c.commands)
                fetching = fetching || cmd.rfind("ARTICLE", 0) == 0;
        }
        if (!fetching) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(fetching);
    for (CNzbPart* part : media->m_parts)
        manager->CancelJobs(part, nullptr);
    WaitForJobs(5000);
    for (const auto& [article, state] : states)
        EXPECT_EQ(state, StateCancelled);
    EXPECT_TRUE(written.empty());
}

TEST_F(EngineTest, AvailabilityCheck) {
    const auto posting = MakePosting(1, 350000);
    newsserver::NewsServer server;
    newsserver::NewsFaults faults;
    faults.statusForMessageId["<" + posting.files[0].messageIds[2] + ">"] = 430;
    ASSERT_NO_FATAL_FAILURE(Serve(server, posting, &faults));
    auto media = Open(posting.nzbPath);
    ASSERT_TRUE(Queue(media, ModeCheck));
    WaitForJobs();
    const auto& articles = media->m_parts[0]->m_articles;
    EXPECT_EQ(results[articles[0]], 0);
    EXPECT_EQ(results[articles[2]], 1);
    EXPECT_FALSE(fs::exists(tmp.File("out")));
    for (const auto& c : server.Connections()) {
        for (const auto& cmd : c.commands)
            EXPECT_EQ(cmd.rfind("ARTICLE", 0), std::string::npos) << cmd;
    }
}

TEST_F(EngineTest, ProbeCountsTheConnectionsAServerAccepts) {
    newsserver::NewsServerOptions options;
    options.maxConnections = 3;
    newsserver::NewsServer server(options);
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    AddServer(server.Port());
    std::vector<int> shown;
    EXPECT_EQ(manager->ProbeChannels([&](int n) { shown.push_back(n); }, 0), 3);
    EXPECT_EQ(shown, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(manager->ProbeChannels(nullptr, 2), 2);
}

}  // namespace
}  // namespace quivern
