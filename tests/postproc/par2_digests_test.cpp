#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <map>
#include <thread>

#include "assembly/written_files.h"
#include "postproc/par2_digests.h"
#include "postproc/par_repair.h"
#include "pp_test_util.h"
#include "support/temp_dir.h"

namespace quivern {
namespace {

std::array<std::uint8_t, 16> Md5Of(const std::string& data) {
    std::array<std::uint8_t, 16> out{};
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_md5(), nullptr);
    return out;
}

class WrittenDigests : public ::testing::Test {
protected:
    void SetUp() override {
        a = test::PatternBytes(100000, 1);
        b = test::PatternBytes(70001, 2);
        dir.Write("a.bin", a);
        dir.Write("b.bin", b);
        ASSERT_TRUE(test::RunIn(dir.Path(), "par2 c -s4096 -r5 -n1 set.par2 a.bin b.bin"));
    }
    test::TempDir dir;
    std::string a, b;
};

TEST_F(WrittenDigests, ReadsTheRecoverySetOfARealPar2File) {
    std::vector<TPar2FileEntry> files;
    ASSERT_TRUE(ReadPar2FileList(dir.File("set.par2"), files));
    ASSERT_EQ(files.size(), 2u);
    std::map<std::string, TPar2FileEntry> byName;
    for (const auto& f : files)
        byName[f.name] = f;
    EXPECT_EQ(byName["a.bin"].length, a.size());
    EXPECT_EQ(byName["a.bin"].md5, Md5Of(a));
    EXPECT_EQ(byName["b.bin"].md5, Md5Of(b));
    EXPECT_FALSE(ReadPar2FileList(dir.Write("junk.par2", "PAR2\0PKT garbage"), files));
}

TEST_F(WrittenDigests, AnIntactWrittenSetIsVerifiedWithoutTheEngine) {
    RecordWrittenFile(dir.File("a.bin"), Md5Of(a));
    RecordWrittenFile(dir.File("b.bin"), Md5Of(b));
    // An engine that cannot start: success can only come from the digests.
    TParEngineSettings noEngine;
    noEngine.m_program = dir.File("no-such-par2");
    CTestReceiver window;
    CPostProcContext ctx(window.Handle());
    ASSERT_TRUE(VerifyAndRepair(dir.File("set.par2"), ctx, noEngine));
    const auto msgs = test::DrainProgress(window);
    EXPECT_EQ(test::Values(msgs, ProgStatus), std::vector<LParam>{144});
    EXPECT_EQ(test::Values(msgs, ProgMessage), std::vector<LParam>{30042});
    EXPECT_EQ(test::Values(msgs, ProgPermille).back(), 1000);
    EXPECT_EQ(test::Texts(msgs, ProgFile).size(), 2u);

    // A file changed after it was written is no longer trusted: the engine is needed again.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    dir.Write("b.bin", b);  // same bytes, new modification time
    CPostProcContext again(window.Handle());
    EXPECT_FALSE(VerifyAndRepair(dir.File("set.par2"), again, noEngine));
    test::DrainProgress(window);
    // With the real engine the set verifies the ordinary way.
    CPostProcContext real(window.Handle());
    EXPECT_TRUE(VerifyAndRepair(dir.File("set.par2"), real));
    test::DrainProgress(window);
}

TEST_F(WrittenDigests, AWrongDigestOrSizeFallsBackToTheEngine) {
    RecordWrittenFile(dir.File("a.bin"), Md5Of(a));
    RecordWrittenFile(dir.File("b.bin"), Md5Of(a));  // not b's digest
    CTestReceiver window;
    CPostProcContext ctx(window.Handle());
    EXPECT_FALSE(Par2SetIntactByWrittenDigests(dir.File("set.par2"), ctx));
    EXPECT_TRUE(test::DrainProgress(window).empty());  // nothing posted on the way out
    ForgetWrittenFile(dir.File("b.bin"));
    EXPECT_FALSE(Par2SetIntactByWrittenDigests(dir.File("set.par2"), ctx));
}

}  // namespace
}  // namespace quivern
