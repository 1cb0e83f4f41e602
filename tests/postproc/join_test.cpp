#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "config/saved_options.h"
#include "platform/paths.h"
#include "postproc/join.h"
#include "pp_test_util.h"

namespace quivern {
namespace {

using test::DrainProgress;
using test::ReadFile;
using test::TempDir;
using test::Values;

TEST(JoinTest, PartNumbers) {
    struct Case {
        const char* name;
        int number;
    };
    const Case cases[] = {{"movie.avi.001", 1}, {"x.12", 12},  {"a.65535", 65535}, {"a.65536", -1},
                          {"a.7z", -1},         {"a.r01", -1}, {"a.mp3", -1},      {"a.", -1},
                          {"noext", -1},        {"a.0001", 1}, {"a.1a", -1}};
    for (const Case& c : cases)
        EXPECT_EQ(SplitPartNumber(c.name), c.number) << c.name;
}

struct JoinFixture : ::testing::Test {
    // Messages nobody looked at still own their strings.
    ~JoinFixture() override { test::DrainProgress(window); }
    TempDir dir;
    CTestReceiver window;
    CPostProcContext ctx{window.Handle()};
    std::string rarPath;

    bool Join(TJoinResult* result = nullptr) {
        // The PAR file's folder is the download folder when subfolders are off.
        return JoinSplitFiles("/x/job.nzb", dir.File("set.par2"), rarPath, ctx, nullptr, result);
    }
};

TEST_F(JoinFixture, JoinsPartsInNumericOrderAndListsThemForDeletion) {
    std::string whole;
    for (int i = 1; i <= 5; ++i) {
        const std::string part = test::PatternBytes(1000 + i * 37, i);
        whole += part;
        char name[32];
        std::snprintf(name, sizeof name, "name.%03d", i);
        dir.Write(name, part);
    }
    ctx.m_autoDeleteCurrent = true;
    TJoinResult result;
    EXPECT_TRUE(Join(&result));
    EXPECT_EQ(ReadFile(dir.File("name")), whole);
    EXPECT_TRUE(result.m_joined);
    ASSERT_EQ(ctx.m_deleteList.size(), 5u);
    EXPECT_EQ(ctx.m_deleteList[0], dir.File("name.001"));
    EXPECT_EQ(ctx.m_deleteList[4], dir.File("name.005"));
    EXPECT_TRUE(rarPath.empty());

    const auto msgs = DrainProgress(window);
    EXPECT_EQ(Values(msgs, ProgStatus), (std::vector<LParam>{164, 165}));
    EXPECT_EQ(test::Texts(msgs, ProgFile).size(), 5u);
    const auto permille = Values(msgs, ProgPermille);
    EXPECT_EQ(permille, (std::vector<LParam>{0, 200, 400, 600, 800}));
}

TEST_F(JoinFixture, GapIsReportedAndTheRestJoined) {
    dir.Write("name.001", "one");
    dir.Write("name.002", "two");
    dir.Write("name.004", "four");
    EXPECT_TRUE(Join());
    EXPECT_EQ(ReadFile(dir.File("name")), "onetwofour");
    const auto msgs = DrainProgress(window);
    EXPECT_EQ(Values(msgs, ProgMessage), (std::vector<LParam>{30048}));
}

TEST_F(JoinFixture, LeavesSetsAloneThatAreNotOneSetOrAlreadyJoined) {
    dir.Write("name.001", "one");
    dir.Write("other.002", "two");
    EXPECT_TRUE(Join());
    EXPECT_FALSE(FileExists(dir.File("name")));
    EXPECT_FALSE(FileExists(dir.File("other")));

    TempDir second;
    second.Write("archive.rar.001", "new");
    second.Write("archive.rar.002", "new");
    second.Write("archive.rar", "old whole file");
    std::string rar;
    EXPECT_TRUE(JoinSplitFiles("/x/a.nzb", second.File("a.par2"), rar, ctx, nullptr));
    EXPECT_EQ(ReadFile(second.File("archive.rar")), "old whole file");
    EXPECT_EQ(rar, second.File("archive.rar"));
}

TEST_F(JoinFixture, RarPartsBecomeTheJobsArchive) {
    dir.Write("archive.rar.001", "Rar!");
    dir.Write("archive.rar.002", "rest");
    EXPECT_TRUE(Join());
    EXPECT_EQ(ReadFile(dir.File("archive.rar")), "Rar!rest");
    EXPECT_EQ(rarPath, dir.File("archive.rar"));
}

TEST_F(JoinFixture, NoPartsOnlyChecks) {
    dir.Write("file.bin", "x");
    EXPECT_TRUE(Join());
    EXPECT_EQ(Values(DrainProgress(window), ProgStatus), (std::vector<LParam>{164}));
    // Without PAR path and without subfolders there is no folder to look at.
    std::string rar;
    EXPECT_TRUE(JoinSplitFiles("/x/job.nzb", "", rar, ctx, nullptr));
    EXPECT_TRUE(DrainProgress(window).empty());
}

TEST_F(JoinFixture, EmptyPartRemovesThePartialTargetAndClearsTheDeleteList) {
    dir.Write("name.001", "one");
    dir.Write("name.002", "");
    ctx.m_autoDeleteCurrent = true;
    ctx.m_deleteList = {dir.File("set.par2")};
    EXPECT_TRUE(Join());
    EXPECT_FALSE(FileExists(dir.File("name")));
    EXPECT_TRUE(ctx.m_deleteList.empty());
}

TEST_F(JoinFixture, SubfolderSettingChoosesTheFolder) {
    CSavedOptions options;
    options.m_savePathRoot = dir.Path();
    options.m_createSubfolders = true;
    dir.Write("Film/Film.mkv.001", "a");
    dir.Write("Film/Film.mkv.002", "b");
    std::string rar;
    EXPECT_TRUE(JoinSplitFiles("/elsewhere/Film.nzb", "", rar, ctx, &options));
    EXPECT_EQ(ReadFile(dir.File("Film/Film.mkv")), "ab");
}

TEST_F(JoinFixture, CancelStopsTheJoinAndFailsTheStep) {
    dir.Write("name.001", "one");
    dir.Write("name.002", "two");
    ctx.m_cancel = true;
    EXPECT_FALSE(Join());
    EXPECT_FALSE(FileExists(dir.File("name")));
}

}  // namespace
}  // namespace quivern
