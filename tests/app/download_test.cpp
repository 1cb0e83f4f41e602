// quivern-get download and check against the local news server, run as a user would.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <filesystem>
#include <thread>

#include "newsserver/news_server.h"
#include "platform/profile.h"
#include "posting.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"

extern char** environ;

namespace quivern {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
};

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        posting::PostingOptions o;
        o.folder = tmp.File("posting");
        o.files = 3;
        o.fileSize = 300000;
        o.segmentSize = 100000;
        std::string error;
        ASSERT_TRUE(posting::MakePosting(o, post, &error)) << error;
        ASSERT_GE(server.LoadFolder(post.articleFolder, &error), 1) << error;
        ASSERT_TRUE(server.Start(&error)) << error;
    }
    // Starts quivern-get with its own settings folder; returns the child's pid.
    pid_t Spawn(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {std::string(QUIVERN_BIN_DIR) + "/quivern-get"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (auto& a : argv)
            cargv.push_back(a.data());
        cargv.push_back(nullptr);
        std::vector<std::string> env = {"XDG_CONFIG_HOME=" + tmp.File("config"), "HOME=" + tmp.Path(),
                                        "LANG=en_US.UTF-8", "PATH=/usr/bin:/bin"};
        std::vector<char*> cenv;
        for (auto& e : env)
            cenv.push_back(e.data());
        cenv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, tmp.File("stdout.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, tmp.File("stderr.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), cenv.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    Outcome Wait(pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return Outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, test::ReadFile(tmp.File("stdout.txt")),
                       test::ReadFile(tmp.File("stderr.txt"))};
    }
    Outcome Run(const std::vector<std::string>& args) { return Wait(Spawn(args)); }
    std::vector<std::string> Download(std::vector<std::string> extra = {}) {
        std::vector<std::string> a = {
            "download",     post.nzbPath,    "--server",      "127.0.0.1:" + std::to_string(server.Port()),
            "--out",        tmp.File("out"), "--connections", "2",
            "--no-postproc"};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    // Downloads go into a subfolder named after the NZB file.
    std::string Out(const std::string& name) const { return tmp.File("out/sample/" + name); }

    test::TempDir tmp;
    posting::Posting post;
    newsserver::NewsServer server;
};

TEST_F(DownloadTest, DownloadsEveryFile) {
    const Outcome r = Run(Download());
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string last = r.out.substr(r.out.rfind("done: "));
    EXPECT_EQ(last.substr(0, last.find(" bytes=")), "done: files=3 written=3 articles=9 missing=0");
    EXPECT_NE(last.find(" bytes=900000 "), std::string::npos) << last;
    for (const auto& f : post.files) {
        EXPECT_TRUE(test::ReadFile(Out(f.name)) == test::ReadFile(post.sourceFolder + "/" + f.name))
            << f.name;
    }
    // The configured servers were not touched by --server.
    CProfileFile ini(tmp.File("config/quivern/Config.ini"));
    ASSERT_TRUE(ini.Load());
    EXPECT_TRUE(ini.GetSectionLines("Servers").empty());
}

TEST_F(DownloadTest, MissingArticlesGiveExitCodeOne) {
    newsserver::NewsFaults faults;
    faults.statusForMessageId["<" + post.files[1].messageIds[0] + ">"] = 430;
    server.SetFaults(faults);
    const Outcome r = Run(Download());
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.out.find("articles=9 missing=1 "), std::string::npos) << r.out;
}

TEST_F(DownloadTest, NoConnectionGivesExitCodeThreeAndTheReason) {
    const Outcome r = Run({"download", post.nzbPath, "--server",
                           "127.0.0.1:" + std::to_string(test::UnusedPort()), "--out", tmp.File("out")});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("The Usenet server is down or has refused the connection."), std::string::npos)
        << r.err;
    // Without any server configured (and none given) there is nothing to connect to either.
    const Outcome none = Run({"download", post.nzbPath, "--out", tmp.File("out")});
    EXPECT_EQ(none.code, 3);
}

TEST_F(DownloadTest, CheckCountsAvailableArticles) {
    newsserver::NewsFaults faults;
    faults.statusForMessageId["<" + post.files[2].messageIds[2] + ">"] = 430;
    server.SetFaults(faults);
    const Outcome r = Run({"check", post.nzbPath, "--server", "127.0.0.1:" + std::to_string(server.Port())});
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_EQ(r.out.substr(r.out.rfind("check: ")), "check: articles=9 available=8 missing=1\n");
    EXPECT_FALSE(fs::exists(tmp.File("out")));
}

TEST_F(DownloadTest, InterruptStopsCleanlyAndRemembersTheCutOffFiles) {
    newsserver::NewsFaults faults;
    faults.dripBytes = 16384;  // about 300 KB/s per connection: the download takes seconds
    faults.dripIntervalMs = 50;
    server.SetFaults(faults);
    const pid_t pid = Spawn(Download());
    ASSERT_TRUE(server.WaitForConnections(2, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ASSERT_EQ(::kill(pid, SIGINT), 0);
    const Outcome r = Wait(pid);
    EXPECT_EQ(r.code, 1) << r.err;
    // Nothing half-written: every file on disk is complete.
    std::size_t complete = 0;
    if (fs::exists(tmp.File("out/sample"))) {
        for (const auto& e : fs::directory_iterator(tmp.File("out/sample"))) {
            ASSERT_TRUE(e.is_regular_file()) << e.path();
            const std::string name = e.path().filename().string();
            EXPECT_TRUE(test::ReadFile(e.path().string()) == test::ReadFile(post.sourceFolder + "/" + name))
                << name;
            ++complete;
        }
    }
    EXPECT_LT(complete, 3u);
    // The cut-off files are remembered as unfinished jobs of this NZB file.
    CProfileFile ini(tmp.File("config/quivern/Config.ini"));
    ASSERT_TRUE(ini.Load());
    const auto lines = ini.GetSectionLines("UnfinishedJobs_0000");
    ASSERT_EQ(lines.size(), 3u - complete) << ini.ToText();
    std::string key = post.nzbPath;
    for (char& c : key)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    EXPECT_EQ(lines[0].rfind(key + "_000000=", 0), 0u) << lines[0];
}

}  // namespace
}  // namespace quivern
