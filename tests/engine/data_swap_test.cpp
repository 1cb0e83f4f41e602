#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "assembly/data_swap.h"
#include "assembly/file_names.h"
#include "engine/engine_support.h"

namespace quivern {
namespace {

namespace fs = std::filesystem;

TEST(FileNames, NamesFromArticlesStayInTheirFolder) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"file.bin", "file.bin"},
        {"../../.bashrc", ".bashrc"},
        {"/etc/passwd", "passwd"},
        {"C:\\Windows\\evil.exe", "evil.exe"},
        {"dir/sub/", ""},
        {"..", ""},
        {" . ", ""},
        {"a\x01"
         "b\x7F"
         "c\n.txt",
         "abc.txt"},
        {"  spaced name.rar  ", "spaced name.rar"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ConfineFileName(c.in), c.out) << c.in;
    // Too long: shortened to the limit, extension kept, no UTF-8 character split.
    std::string longName;
    for (int i = 0; i < 200; ++i)
        longName += "\xC3\xA4";  // 400 bytes
    const std::string confined = ConfineFileName(longName + ".part01.rar");
    EXPECT_LE(confined.size(), kMaxFileNameBytes);
    EXPECT_EQ(confined.substr(confined.size() - 4), ".rar");
    EXPECT_EQ(confined.size() % 2, 0u);  // whole two-byte characters before ".rar"
}

class StoreTest : public ::testing::Test {
protected:
    void Make(bool subfolders = false, std::uint64_t budget = 1 << 30) {
        TEngineSettings s;
        s.savePathRoot = tmp.File("out");
        s.tempPathRoot = tmp.File("spill");
        fs::create_directories(s.tempPathRoot);
        s.createSubfolders = subfolders;
        s.storeMemoryBudget = budget;
        store = RcPtr<CDataSwap>(new CDataSwap(s));
    }
    std::vector<RcPtr<CNNTPJobDownload>> Register(CNzbPart* part, std::uint8_t mode = ModeDownload) {
        std::vector<RcPtr<CNNTPJobDownload>> jobs;
        for (CNzbArticle* a : part->m_articles) {
            RcPtr<CNNTPJobDownload> job(
                new CNNTPJobDownload(media.get(), part, a, nextId++, 0, nullptr, mode));
            EXPECT_TRUE(store->RegisterJob(job.get()));
            jobs.push_back(job);
        }
        return jobs;
    }
    bool Store(const RcPtr<CNNTPJobDownload>& job, const std::string& data, const std::string& name = "") {
        DecodedSegment seg;
        seg.length = static_cast<std::uint32_t>(data.size());
        seg.data = reinterpret_cast<const std::uint8_t*>(data.data());
        seg.fileName = name;
        seg.jobId = job->m_jobId;
        return store->StoreSegment(job.get(), seg);
    }
    // A segment that says where it belongs in the file (offset < 0: it does not).
    bool StoreAt(const RcPtr<CNNTPJobDownload>& job, const std::string& data, std::int64_t offset,
                 const std::string& name = "", std::uint64_t fileSize = 0) {
        DecodedSegment seg;
        seg.length = static_cast<std::uint32_t>(data.size());
        seg.data = reinterpret_cast<const std::uint8_t*>(data.data());
        seg.fileName = name;
        seg.jobId = job->m_jobId;
        seg.hasFileOffset = offset >= 0;
        seg.fileOffset = offset >= 0 ? static_cast<std::uint64_t>(offset) : 0;
        seg.fileSize = fileSize;
        return store->StoreSegment(job.get(), seg);
    }
    std::vector<std::string> HiddenFiles(const std::string& folder) {
        std::vector<std::string> names;
        if (!fs::exists(folder)) return names;
        for (const auto& e : fs::directory_iterator(folder)) {
            const std::string name = e.path().filename().string();
            if (name[0] == '.') names.push_back(name);
        }
        return names;
    }
    std::vector<std::int32_t> Results(const std::vector<RcPtr<CNNTPJobDownload>>& jobs) {
        EXPECT_TRUE(store->WaitForWriter(10000));
        std::vector<std::int32_t> out;
        for (const auto& j : jobs)
            out.push_back(j->m_resultCode.load());
        return out;
    }
    test::TempDir tmp;
    RcPtr<CNzbMedia> media;
    RcPtr<CDataSwap> store;
    std::uint64_t nextId = 1;
};

TEST_F(StoreTest, WritesSegmentsInNumberOrderUnderTheFirstName) {
    Make();
    media = test::MakeNzb(tmp, {{"f", 5}});
    auto jobs = Register(media->m_parts[0]);
    EXPECT_TRUE(store->IsArticleRegistered(media->m_parts[0]->m_articles[2]));
    // Out of order; the first segment to arrive with a name decides; article 3 is missing.
    ASSERT_TRUE(Store(jobs[4], "EEEE", "first.bin"));
    ASSERT_TRUE(Store(jobs[1], "BB", "second.bin"));
    ASSERT_TRUE(store->EndJobWithoutData(jobs[2].get()));
    ASSERT_TRUE(Store(jobs[0], "A"));
    EXPECT_FALSE(store->EndJobWithoutData(jobs[0].get()));  // no longer assigned
    EXPECT_EQ(store->GetArticleJobState(media->m_parts[0]->m_articles[0]), PhaseStored);
    ASSERT_TRUE(Store(jobs[3], "DDD"));
    EXPECT_EQ(Results(jobs), (std::vector<std::int32_t>{0, 0, 1, 0, 0}));
    EXPECT_EQ(test::ReadFile(tmp.File("out/first.bin")), "ABBDDDEEEE");
    EXPECT_EQ(jobs[0]->ResultPath(), tmp.File("out/first.bin"));
    EXPECT_EQ(jobs[0]->ResultSize(), 10u);
    EXPECT_EQ(jobs[1]->ResultSize(), 0u);
    EXPECT_EQ(store->GetArticleJobState(media->m_parts[0]->m_articles[0]), -1);  // written and gone
    EXPECT_EQ(store->MemoryInUse(), 0u);
}

TEST_F(StoreTest, RegistrationRules) {
    Make();
    media = test::MakeNzb(tmp, {{"f", 2}});
    CNzbPart* part = media->m_parts[0];
    RcPtr<CNNTPJobDownload> a(new CNNTPJobDownload(media.get(), part, part->m_articles[0], 1, 0, nullptr, 0));
    RcPtr<CNNTPJobDownload> b(new CNNTPJobDownload(media.get(), part, part->m_articles[0], 2, 0, nullptr, 0));
    EXPECT_FALSE(store->IsArticleRegistered(part->m_articles[0]));
    EXPECT_EQ(store->GetArticleJobState(part->m_articles[0]), -1);
    ASSERT_TRUE(store->RegisterJob(a.get()));
    EXPECT_FALSE(store->RegisterJob(b.get()));                      // the article already has a job
    EXPECT_FALSE(store->IsArticleRegistered(part->m_articles[1]));  // in the block, but idle
    EXPECT_EQ(store->GetArticleJobState(part->m_articles[0]), PhaseCreated);
    DecodedSegment seg;
    seg.jobId = 99;
    EXPECT_FALSE(store->StoreSegment(b.get(), seg));  // unknown job
}

TEST_F(StoreTest, NoNameMeansNoFileAndResultMinus8) {
    Make();
    media = test::MakeNzb(tmp, {{"f", 2}});
    auto jobs = Register(media->m_parts[0]);
    ASSERT_TRUE(Store(jobs[0], "xx", "../"));  // a name that confines to nothing counts as none
    ASSERT_TRUE(store->EndJobWithoutData(jobs[1].get()));
    EXPECT_EQ(Results(jobs), (std::vector<std::int32_t>{-8, -8}));
    EXPECT_FALSE(fs::exists(tmp.File("out")) && !fs::is_empty(tmp.File("out")));
}

TEST_F(StoreTest, CancelledJobWritesNothing) {
    Make();
    media = test::MakeNzb(tmp, {{"f", 3}});
    auto jobs = Register(media->m_parts[0]);
    ASSERT_TRUE(Store(jobs[0], "a", "c.bin"));
    jobs[1]->MarkCancelled();
    ASSERT_TRUE(store->EndJobWithoutData(jobs[1].get()));
    ASSERT_TRUE(Store(jobs[2], "c"));
    const auto results = Results(jobs);
    EXPECT_EQ(results[0], 0);  // scanned before the cancelled one
    EXPECT_FALSE(fs::exists(tmp.File("out/c.bin")));
    EXPECT_EQ(jobs[0]->ResultSize(), 0u);  // nothing written, nothing announced
}

TEST_F(StoreTest, AvailabilityChecksWriteNothing) {
    Make();
    media = test::MakeNzb(tmp, {{"some", 3}, {"none", 2}});
    auto some = Register(media->m_parts[0], ModeCheck);
    auto none = Register(media->m_parts[1], ModeCheck);
    DecodedSegment empty;
    empty.jobId = some[0]->m_jobId;
    ASSERT_TRUE(store->StoreSegment(some[0].get(), empty));
    empty.jobId = some[2]->m_jobId;
    ASSERT_TRUE(store->StoreSegment(some[2].get(), empty));
    ASSERT_TRUE(store->EndJobWithoutData(some[1].get()));
    for (auto& j : none)
        ASSERT_TRUE(store->EndJobWithoutData(j.get()));
    EXPECT_EQ(Results(some), (std::vector<std::int32_t>{0, 1, 0}));
    EXPECT_EQ(Results(none), (std::vector<std::int32_t>{-7, -7}));
    EXPECT_FALSE(fs::exists(tmp.File("out")));  // no folder either
}

TEST_F(StoreTest, ReplacesAnExistingFileAndFollowsNoLink) {
    for (const bool placed : {false, true}) {  // kept in memory, or staged and renamed
        Make(/*subfolders=*/true);
        fs::remove_all(tmp.File("out"));
        media = test::MakeNzb(tmp, {{"f", 1}}, "My Posting.nzb");
        const std::string outside = tmp.Write("outside.txt", "keep me");
        fs::create_directories(tmp.File("out/My Posting"));
        fs::create_symlink(outside, tmp.File("out/My Posting/f.bin"));
        auto jobs = Register(media->m_parts[0]);
        ASSERT_TRUE(StoreAt(jobs[0], "new content", placed ? 0 : -1, "f.bin", 11));
        EXPECT_EQ(Results(jobs), std::vector<std::int32_t>{0});
        EXPECT_EQ(test::ReadFile(tmp.File("out/My Posting/f.bin")), "new content") << placed;
        EXPECT_FALSE(fs::is_symlink(tmp.File("out/My Posting/f.bin"))) << placed;
        EXPECT_EQ(test::ReadFile(outside), "keep me") << placed;
        EXPECT_TRUE(HiddenFiles(tmp.File("out/My Posting")).empty()) << placed;
    }
}

TEST_F(StoreTest, WithoutAUsableFolderPlacedSegmentsStayInMemoryAndTheFolderErrorIsReported) {
    Make();
    tmp.Write("out", "a file where the download folder should be");
    media = test::MakeNzb(tmp, {{"f", 2}});
    auto jobs = Register(media->m_parts[0]);
    ASSERT_TRUE(StoreAt(jobs[0], "ab", 0, "f.bin", 4));
    EXPECT_EQ(store->MemoryInUse(), 2u);
    ASSERT_TRUE(StoreAt(jobs[1], "cd", 2, "f.bin", 4));
    EXPECT_EQ(Results(jobs), (std::vector<std::int32_t>{-1, -1}));
    EXPECT_EQ(test::ReadFile(tmp.File("out")), "a file where the download folder should be");
    EXPECT_EQ(store->MemoryInUse(), 0u);
}

TEST_F(StoreTest, WithoutSegmentOneTheFileIsWrittenButNotAnnounced) {
    Make();
    media = test::MakeNzb(tmp, {{"f", 2, 2}});
    auto jobs = Register(media->m_parts[0]);
    ASSERT_TRUE(Store(jobs[1], "1", "z.bin"));
    ASSERT_TRUE(Store(jobs[0], "0"));
    EXPECT_EQ(Results(jobs), (std::vector<std::int32_t>{0, 0}));
    EXPECT_EQ(test::ReadFile(tmp.File("out/z.bin")), "01");
    EXPECT_TRUE(jobs[0]->ResultPath().empty());
    EXPECT_TRUE(jobs[1]->ResultPath().empty());
}

TEST_F(StoreTest, BeyondTheBudgetSegmentsSpillAndTheFileIsTheSame) {
    Make(false, /*budget=*/10);  // only the first 10 bytes fit in memory
    media = test::MakeNzb(tmp, {{"f", 4}});
    auto jobs = Register(media->m_parts[0]);
    std::string expected;
    const std::string parts[] = {std::string(8, 'a'), std::string(5000, 'b'), std::string(3, 'c'),
                                 std::string(70000, 'd')};
    ASSERT_TRUE(Store(jobs[3], parts[3], "big.bin"));  // spilled
    ASSERT_TRUE(Store(jobs[0], parts[0]));             // in memory
    ASSERT_TRUE(Store(jobs[2], parts[2]));             // spilled (8 + 3 > 10)
    EXPECT_EQ(store->MemoryInUse(), 8u);
    std::size_t spillFiles = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(tmp.File("spill")))
        ++spillFiles;
    EXPECT_EQ(spillFiles, 1u);
    ASSERT_TRUE(Store(jobs[1], parts[1]));
    EXPECT_EQ(Results(jobs), (std::vector<std::int32_t>{0, 0, 0, 0}));
    EXPECT_EQ(test::ReadFile(tmp.File("out/big.bin")), parts[0] + parts[1] + parts[2] + parts[3]);
    EXPECT_TRUE(fs::is_empty(tmp.File("spill")));  // removed with the block
    EXPECT_EQ(store->MemoryInUse(), 0u);
}

TEST_F(StoreTest, PlacedSegmentsAreStagedOnDiskAndTheFileIsTheConcatenation) {
    const std::string data[] = {"aaa", "bbbbb", "cc", "dddd"};  // at 0, 3, 8 and 10 of 14 bytes
    struct Piece {
        int index;
        std::int64_t offset;  // -1: the segment does not say
    };
    struct Case {
        const char* what;
        std::vector<Piece> arrivals;  // articles not listed end without data
        std::string expected;
    };
    const Case cases[] = {
        {"all, out of order", {{3, 10}, {1, 3}, {0, 0}, {2, 8}}, "aaabbbbbccdddd"},
        {"third missing", {{3, 10}, {0, 0}, {1, 3}}, "aaabbbbbdddd"},
        {"first missing", {{1, 3}, {2, 8}, {3, 10}}, "bbbbbccdddd"},
        {"second claims the first's bytes", {{0, 0}, {1, 0}, {2, 8}, {3, 10}}, "aaabbbbbccdddd"},
        {"one without a place", {{0, 0}, {1, 3}, {2, -1}, {3, 10}}, "aaabbbbbccdddd"},
        {"a hole between places", {{0, 0}, {1, 4}, {2, 9}, {3, 11}}, "aaabbbbbccdddd"},
    };
    for (const auto& c : cases) {
        Make();
        fs::remove_all(tmp.File("out"));
        media = test::MakeNzb(tmp, {{"f", 4}});
        auto jobs = Register(media->m_parts[0]);
        std::vector<bool> arrived(4, false);
        for (const auto& p : c.arrivals) {
            ASSERT_TRUE(StoreAt(jobs[p.index], data[p.index], p.offset, "placed.bin", 14)) << c.what;
            arrived[p.index] = true;
            if (p.offset >= 0 && &p == &c.arrivals.front()) {
                EXPECT_EQ(HiddenFiles(tmp.File("out")).size(), 1u) << c.what;  // staged, not in memory
                EXPECT_EQ(store->MemoryInUse(), 0u) << c.what;
            }
        }
        for (int i = 0; i < 4; ++i) {
            if (!arrived[i]) {
                ASSERT_TRUE(store->EndJobWithoutData(jobs[i].get())) << c.what;
            }
        }
        const auto results = Results(jobs);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(results[i], arrived[i] ? 0 : 1) << c.what << " " << i;
        EXPECT_EQ(test::ReadFile(tmp.File("out/placed.bin")), c.expected) << c.what;
        EXPECT_EQ(jobs[0]->ResultSize(), c.expected.size()) << c.what;
        EXPECT_TRUE(HiddenFiles(tmp.File("out")).empty()) << c.what;
        EXPECT_EQ(store->MemoryInUse(), 0u) << c.what;
    }
}

TEST_F(StoreTest, StagedBlocksLeaveNothingBehind) {
    fs::create_directories(tmp.File("out"));
    const std::string dead = tmp.Write("out/.quivern-part-999999999-3", "stale");
    const std::string alive = tmp.Write("out/.quivern-part-" + std::to_string(::getpid()) + "-70", "live");
    // A name already taken (here the second block's) is never opened: that block stays in memory.
    const std::string taken = tmp.Write("out/.quivern-part-" + std::to_string(::getpid()) + "-1", "taken");
    Make();
    media = test::MakeNzb(tmp, {{"c", 2}, {"u", 2}});
    // Cancelled: no file, no staging file.
    auto cancelled = Register(media->m_parts[0]);
    ASSERT_TRUE(StoreAt(cancelled[0], "xy", 0, "c.bin"));
    EXPECT_FALSE(fs::exists(dead));  // swept when the folder was first used
    EXPECT_TRUE(fs::exists(alive));
    cancelled[1]->MarkCancelled();
    ASSERT_TRUE(store->EndJobWithoutData(cancelled[1].get()));
    Results(cancelled);
    EXPECT_FALSE(fs::exists(tmp.File("out/c.bin")));
    // Unfinished when the store ends: dropped with it.
    auto unfinished = Register(media->m_parts[1]);
    ASSERT_TRUE(StoreAt(unfinished[0], "xy", 0, "u.bin"));
    EXPECT_EQ(store->MemoryInUse(), 2u);
    EXPECT_EQ(test::ReadFile(taken), "taken");
    store = RcPtr<CDataSwap>();
    EXPECT_FALSE(fs::exists(tmp.File("out/u.bin")));
    EXPECT_EQ(test::ReadFile(taken), "taken");
    auto hidden = HiddenFiles(tmp.File("out"));
    std::sort(hidden.begin(), hidden.end());
    EXPECT_EQ(hidden, (std::vector<std::string>{fs::path(taken).filename().string(),
                                                fs::path(alive).filename().string()}));
}

TEST_F(StoreTest, SpillFilesOfDeadProcessesAreRemovedAtStart) {
    fs::create_directories(tmp.File("spill"));
    const std::string dead = tmp.Write("spill/quivern-spill-999999999-3.tmp", "stale");
    const std::string alive =
        tmp.Write("spill/quivern-spill-" + std::to_string(::getpid()) + "-7.tmp", "live");
    const std::string other = tmp.Write("spill/unrelated.tmp", "x");
    Make();
    EXPECT_FALSE(fs::exists(dead));
    EXPECT_TRUE(fs::exists(alive));
    EXPECT_TRUE(fs::exists(other));
}

TEST_F(StoreTest, UnfinishedBlocksAreDroppedWithTheStore) {
    Make(false, 0);
    media = test::MakeNzb(tmp, {{"f", 2}});
    auto jobs = Register(media->m_parts[0]);
    ASSERT_TRUE(Store(jobs[0], "spilled", "u.bin"));
    EXPECT_FALSE(fs::is_empty(tmp.File("spill")));
    store = RcPtr<CDataSwap>();
    EXPECT_TRUE(fs::is_empty(tmp.File("spill")));
    EXPECT_FALSE(fs::exists(tmp.File("out/u.bin")));
}

}  // namespace
}  // namespace quivern
