#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "nntp/decode/crc32.h"
#include "platform/paths.h"
#include "postproc/par_repair.h"
#include "pp_test_util.h"

namespace quivern {
namespace {

using test::DrainProgress;
using test::TempDir;
using test::Texts;
using test::Values;

constexpr LParam kVerify = 144, kRepair = 145;

bool Contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

// Consecutive progress values of one pass never repeat.
void ExpectPermilleOnlyOnChange(const std::vector<test::TMsg>& msgs) {
    LParam last = -1;
    for (const auto& m : msgs) {
        if (m.code != ProgPermille) {
            last = -1;
            continue;
        }
        EXPECT_NE(m.value, last);
        EXPECT_LE(m.value, 1000);
        last = m.value;
    }
}

TEST(ParCommandLineTest, ReaderRules) {
    TempDir dir;
    dir.Write("a.par2", "x");
    dir.Write("b.PAR2", "x");
    dir.Write("c.par", "x");
    dir.Write("d.P07", "x");
    dir.Write("e.PAR", "x");
    dir.Write("f.par2", "x");
    dir.Write("f.par", "x");
    struct Case {
        std::vector<std::string> args;
        bool ok;
        int version;
        std::string file;
        ParOperation op;
    };
    const std::string p = dir.Path() + "/";
    const Case cases[] = {
        {{"/bin/quivern", "v", p + "a.par2"}, true, 2, p + "a.par2", ParOperation::Verify},
        {{"/bin/quivern", "verify", p + "b.PAR2"}, true, 2, p + "b.PAR2", ParOperation::Verify},
        {{"/bin/quivern", "v", p + "c.par"}, true, 1, p + "c.par", ParOperation::Verify},
        {{"/bin/quivern", "v", p + "d.P07"}, true, 1, p + "d.P07", ParOperation::Verify},
        // Other names get the four extensions appended, ".par2" first.
        {{"/bin/quivern", "v", p + "e"}, true, 1, p + "e.PAR", ParOperation::Verify},
        {{"/bin/quivern", "v", p + "f"}, true, 2, p + "f.par2", ParOperation::Verify},
        {{"/usr/bin/par2repair", p + "a.par2"}, true, 2, p + "a.par2", ParOperation::Repair},
        {{"/bin/quivern", "v", p + "missing.par2"}, false, 2, p + "missing.par2", ParOperation::Verify},
        {{"/bin/quivern", "v", p + "g"}, false, 0, p + "g", ParOperation::Verify},
        {{"/bin/quivern", "x", p + "a.par2"}, false, 0, "", ParOperation::None},
        {{"/bin/quivern", "v"}, false, 0, "", ParOperation::Verify},
    };
    for (const Case& c : cases) {
        const TParCommandLine cl = ReadParCommandLine(c.args);
        EXPECT_EQ(cl.m_ok, c.ok) << c.args.back();
        EXPECT_EQ(cl.m_version, c.version) << c.args.back();
        EXPECT_EQ(cl.m_parFile, c.file) << c.args.back();
        EXPECT_EQ(cl.m_operation, c.op) << c.args.back();
        if (cl.m_ok) {
            EXPECT_EQ(cl.m_noiseLevel, 3);
        }
    }
    const TParCommandLine quiet = ReadParCommandLine({"q", "v", "-q", "-m64", p + "a.par2", "extra.bin"});
    EXPECT_TRUE(quiet.m_ok);
    EXPECT_EQ(quiet.m_noiseLevel, 1);
    EXPECT_EQ(quiet.m_memoryLimit, 64u);
    EXPECT_EQ(quiet.m_extraFiles, std::vector<std::string>{"extra.bin"});
}

struct ParFixture : ::testing::Test {
    // Messages nobody looked at still own their strings.
    ~ParFixture() override { test::DrainProgress(window); }
    TempDir dir;
    CTestReceiver window;
    CPostProcContext ctx{window.Handle()};
};

TEST_F(ParFixture, CompleteSetVerifies) {
    test::CopySample("par2/par2cmdline-flatdata", dir.Path());
    EXPECT_TRUE(VerifyAndRepair(dir.File("testdata.par2"), ctx));
    const auto msgs = DrainProgress(window);
    ASSERT_FALSE(msgs.empty());
    EXPECT_EQ(msgs.front().code, ProgStatus);
    EXPECT_EQ(msgs.front().value, kVerify);
    EXPECT_EQ(Values(msgs, ProgStatus), (std::vector<LParam>{kVerify}));
    const auto files = Texts(msgs, ProgFile);
    EXPECT_TRUE(Contains(files, "testdata.par2"));
    EXPECT_TRUE(Contains(files, "testdata.vol31+29.par2"));
    EXPECT_TRUE(Contains(files, "test-0.data"));
    EXPECT_TRUE(Contains(files, "test-9.data"));
    EXPECT_FALSE(Values(msgs, ProgPermille).empty());
    ExpectPermilleOnlyOnChange(msgs);
    EXPECT_EQ(msgs.back().code, ProgMessage);
    EXPECT_EQ(msgs.back().value, 30042);
}

TEST_F(ParFixture, DamagedSetIsRepairedAndBackupsRemoved) {
    test::CopySample("par2/par2cmdline-flatdata", dir.Path());
    std::filesystem::remove(dir.File("test-1.data"));
    {
        std::string data = test::ReadFile(dir.File("test-3.data"));
        data[1000] ^= 0x55;
        data[50000] ^= 0x55;
        dir.Write("test-3.data", data);
    }
    std::vector<std::string> repaired;
    EXPECT_TRUE(VerifyAndRepair(dir.File("testdata.par2"), ctx, {}, &repaired));
    const auto msgs = DrainProgress(window);
    EXPECT_EQ(Values(msgs, ProgStatus), (std::vector<LParam>{kVerify, kRepair, kVerify}));
    EXPECT_EQ(msgs.back().code, ProgMessage);
    EXPECT_EQ(msgs.back().value, 30042);
    ExpectPermilleOnlyOnChange(msgs);
    EXPECT_EQ(FileCrc32(dir.File("test-1.data")), 0x3431e4b0u);
    EXPECT_EQ(FileCrc32(dir.File("test-3.data")), 0xd1864a67u);
    EXPECT_FALSE(FileExists(dir.File("test-3.data.1")));
    EXPECT_TRUE(Contains(repaired, dir.File("test-1.data")));
    EXPECT_TRUE(Contains(repaired, dir.File("test-3.data")));
}

TEST_F(ParFixture, ParOneSetIsRepaired) {
    test::CopySample("par2/par2cmdline-flatdata", dir.Path());
    std::filesystem::remove(dir.File("test-1.data"));
    for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
        if (e.path().extension() == ".par2") std::filesystem::remove(e.path());
    EXPECT_EQ(ReadParCommandLine({"q", "v", dir.File("testdata.par")}).m_version, 1);
    EXPECT_TRUE(VerifyAndRepair(dir.File("testdata.par"), ctx));
    EXPECT_EQ(FileCrc32(dir.File("test-1.data")), 0x3431e4b0u);
    const auto msgs = DrainProgress(window);
    EXPECT_TRUE(Contains(Texts(msgs, ProgFile), "test-2.data"));
    EXPECT_EQ(msgs.back().value, 30042);
}

TEST_F(ParFixture, TooFewBlocksReportsHowManyAreNeeded) {
    // 10 source blocks of 4096 bytes in two files and 2 recovery blocks: losing the 5-block
    // file leaves the set 3 blocks short.
    dir.Write("a.bin", test::PatternBytes(5 * 4096, 1));
    dir.Write("b.bin", test::PatternBytes(5 * 4096, 2));
    ASSERT_TRUE(test::RunIn(dir.Path(), "par2 c -s4096 -c2 -n1 set.par2 a.bin b.bin"));
    std::filesystem::remove(dir.File("a.bin"));
    EXPECT_FALSE(VerifyAndRepair(dir.File("set.par2"), ctx));
    const auto msgs = DrainProgress(window);
    EXPECT_EQ(msgs.back().code, ProgNeedBlocks);
    EXPECT_EQ(msgs.back().value, 3);

    // The shared damaged sample with three recovery blocks lacks 64.
    TempDir other;
    for (const char* f : {"test.data", "test.par2", "test.vol000+01.par2", "test.vol001+02.par2"})
        std::filesystem::copy_file(test::TestData(std::string("par2/par2cmdline-readbeyondeof-damaged/") + f),
                                   other.File(f));
    EXPECT_FALSE(VerifyAndRepair(other.File("test.par2"), ctx));
    EXPECT_EQ(DrainProgress(window).back().value, 64);
}

TEST_F(ParFixture, BadRecoveryFilesFailWithTheirMessages) {
    struct Case {
        std::string path;
        ProgCode code;
        LParam value;
    };
    // A malformed set that makes the engine crash, a missing file, a name without any
    // recovery file beside it, and a set without its main packet.
    const Case cases[] = {
        {test::TestData("par2/par2cmdline-block-count-wrap/recovery.par2"), ProgMessage, 30041},
        {dir.File("missing.par2"), ProgMessage, 30041},
        {dir.File("nothing"), ProgMessage, 30041},
    };
    for (const Case& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(VerifyAndRepair(c.path, ctx)) << c.path;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
        const auto msgs = DrainProgress(window);
        ASSERT_FALSE(msgs.empty()) << c.path;
        EXPECT_EQ(msgs.back().code, c.code) << c.path;
        EXPECT_EQ(msgs.back().value, c.value) << c.path;
    }
    // The engine's own refusal of an unusable set comes through with its own text.
    TempDir corrupt;
    test::CopySample("par2/cfv-small", corrupt.Path());
    std::filesystem::copy_file(test::TestData("par2/cfv-corrupt/missingmain.par2"),
                               corrupt.File("missingmain.par2"));
    EXPECT_FALSE(VerifyAndRepair(corrupt.File("missingmain.par2"), ctx));
    const auto msgs = DrainProgress(window);
    EXPECT_EQ(msgs.back().code, ProgMessage);
    EXPECT_NE(msgs.back().value, 30042);
}

TEST_F(ParFixture, SilentEngineIsStoppedAsHung) {
    dir.Write("set.par2", "x");
    TParEngineSettings settings;
    settings.m_program =
        test::WriteScript(dir, "silent-engine", "echo 'Loading \"set.par2\".'\nexec sleep 600\n");
    settings.m_stallTimeoutMs = 500;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(VerifyAndRepair(dir.File("set.par2"), ctx, settings));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    const auto msgs = DrainProgress(window);
    EXPECT_TRUE(Contains(Texts(msgs, ProgFile), "set.par2"));
    EXPECT_EQ(msgs.back().code, ProgMessage);
    EXPECT_EQ(msgs.back().value, 30041);
}

TEST_F(ParFixture, CancelKillsTheEngineAndItsChildren) {
    dir.Write("set.par2", "x");
    const std::string pidFile = dir.File("child.pid");
    TParEngineSettings settings;
    settings.m_program = test::WriteScript(
        dir, "busy-engine",
        "sleep 600 &\necho $! > '" + pidFile + "'\nwhile true; do echo 'Scanning: 1.0%'; sleep 0.05; done\n");
    std::thread breaker([&] {
        for (int i = 0; i < 200 && !FileExists(pidFile); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ctx.m_cancel = true;
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(VerifyAndRepair(dir.File("set.par2"), ctx, settings));
    breaker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    const auto msgs = DrainProgress(window);
    EXPECT_EQ(Values(msgs, ProgPermille), (std::vector<LParam>{10}));  // posted once, not per line
    // A broken-off step reports the success text, which never counts as an error.
    EXPECT_EQ(msgs.back().value, 30042);
    const pid_t child = static_cast<pid_t>(std::stol(test::ReadFile(pidFile)));
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        gone = ::kill(child, 0) != 0;
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(gone) << "the engine's own child outlived the cancel";
}

TEST_F(ParFixture, EmptyPathSucceedsAndStopsDeletion) {
    ctx.m_autoDeleteCurrent = true;
    EXPECT_TRUE(VerifyAndRepair("", ctx));
    EXPECT_FALSE(ctx.m_autoDeleteCurrent);
    EXPECT_EQ(window.Pending(), 0u);
}

}  // namespace
}  // namespace quivern
