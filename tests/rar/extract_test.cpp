#include "postproc/rar/extract.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>

#include "config/saved_options.h"
#include "nntp/decode/crc32.h"
#include "postproc/rar/rar_crypto.h"
#include "support/temp_dir.h"

namespace quivern {
namespace {

namespace fs = std::filesystem;
using rar::Failure;
using test::ReadFile;
using test::TempDir;
using test::TestData;

struct Observed {
    ExtractResult result;
    std::vector<std::string> files;  // ProgFile texts
    std::vector<int> permille;
    std::vector<std::uint32_t> messages;
    int prompts = 0;
};

// Copies the named samples into `dir` and runs the step on the first of them.
Observed RunStep(const TempDir& dir, const std::vector<std::string>& samples, const std::string& first,
                 CSavedOptions* options, std::optional<std::string> promptAnswer, bool autoDelete = false,
                 ExtractSettings settings = {}) {
    for (const auto& s : samples) {
        fs::copy_file(TestData("rar/" + s), dir.File(fs::path(s).filename().string()),
                      fs::copy_options::overwrite_existing);
    }
    CTestReceiver window;
    CPostProcContext ctx(window.Handle());
    ctx.m_autoDeleteCurrent = autoDelete;
    Observed seen;
    ctx.m_askPassword = [&](std::string& pw) {
        ++seen.prompts;
        if (!promptAnswer) return false;
        pw = *promptAnswer;
        return true;
    };
    seen.result = ExtractArchiveEx(dir.File(first), "/nzb/Some.NZB", ctx, options, settings);
    while (auto m = window.TryTake()) {
        if (m->wParam == ProgFile) {
            auto* text = reinterpret_cast<std::string*>(m->lParam);
            seen.files.push_back(*text);
            delete text;
        } else if (m->wParam == ProgPermille) {
            seen.permille.push_back(static_cast<int>(m->lParam));
        } else if (m->wParam == ProgMessage) {
            seen.messages.push_back(static_cast<std::uint32_t>(m->lParam));
        }
    }
    if (autoDelete) seen.files.insert(seen.files.end(), ctx.m_deleteList.begin(), ctx.m_deleteList.end());
    return seen;
}

std::uint32_t FileCrc(const std::string& path) {
    const std::string data = ReadFile(path);
    return Crc32(data.data(), data.size());
}

struct Case {
    const char* what;
    std::vector<std::string> samples;
    std::string password;                           // given at the prompt; empty: no prompt expected
    std::map<std::string, std::uint32_t> expected;  // file -> CRC-32
};

class ExtractSamples : public ::testing::TestWithParam<Case> {};

TEST_P(ExtractSamples, ExtractsEveryEntryWithTheRightContent) {
    const Case& c = GetParam();
    TempDir dir;
    const auto seen = RunStep(dir, c.samples, fs::path(c.samples.front()).filename().string(), nullptr,
                              c.password.empty() ? std::nullopt : std::optional<std::string>(c.password));
    ASSERT_TRUE(seen.result.ok) << seen.result.detail;
    EXPECT_EQ(seen.prompts, c.password.empty() ? 0 : 1);
    for (const auto& [name, crc] : c.expected) {
        EXPECT_EQ(FileCrc(dir.File(name)), crc) << name;
    }
    ASSERT_FALSE(seen.messages.empty());
    EXPECT_EQ(seen.messages.back(), 30045u);
    ASSERT_FALSE(seen.permille.empty());
    EXPECT_EQ(seen.permille.back(), 1000);
}

std::vector<std::string> Parts(const std::string& stem, int count, int width) {
    std::vector<std::string> out;
    for (int i = 1; i <= count; ++i) {
        std::string n = std::to_string(i);
        out.push_back(stem + std::string(width - n.size(), '0') + n + ".rar");
    }
    return out;
}

const std::string kThis = "This is from ";
INSTANTIATE_TEST_SUITE_P(
    Samples, ExtractSamples,
    ::testing::Values(
        Case{"rar4_stored", {"rarfile/rar3-readonly-unix.rar"}, "", {{"ro_dir/ro_file.txt", 0x818d2276}}},
        Case{"rar4_old_names_volumes",
             {"rarfile/rar3-old.rar", "rarfile/rar3-old.r00", "rarfile/rar3-old.r01"},
             "",
             {{"vols/bigfile.txt", 0x509ad74c}, {"vols/smallfile.txt", 0xd08a1f86}}},
        Case{"rar5_stored_crc", {"rarfile/ctime5.rar"}, "", {{"timed.txt", 0xea5f4713}}},
        Case{"rar5_data_encrypted",
             {"rarfile/rar5-psw.rar"},
             "password",
             {{"stest1.txt", 0xc5b7e6a2}, {"stest2.txt", 0xc5b7e6a2}}},
        Case{"rar5_headers_encrypted",
             {"rarfile/rar5-hpsw.rar"},
             "password",
             {{"stest1.txt", 0xc5b7e6a2}, {"stest2.txt", 0xc5b7e6a2}}},
        Case{"rar5_blake_encrypted",
             {"rarfile/rar5-psw-blake.rar"},
             "password",
             {{"stest1.txt", 0xc5b7e6a2}, {"stest2.txt", 0xc5b7e6a2}}},
        Case{"rar5_solid_encrypted",
             {"libarchive/test_read_format_rar5_solid_encrypted.rar"},
             "password",
             {{"a.txt", 0xee5a6e55}}},
        Case{"rar5_encrypted_names",
             {"libarchive/test_read_format_rar5_encrypted_filenames.rar"},
             "password",
             {{"a.txt", 0xee5a6e55}}},
        Case{"rar4_headers_encrypted",
             {"libarchive/test_read_format_rar4_encrypted_filenames.rar"},
             "password",
             {{"a.txt", 0xee5a6e55}, {"b.txt", 0xa9fa1485}, {"d.txt", 0x26bae125}}},
        Case{"rar4_data_encrypted",
             {"libarchive/test_read_format_rar_encryption_data.rar"},
             "12345678",
             {{"foo.txt", 0xa6ad865c}, {"bar.txt", 0xcd90e2be}}},
        Case{"rar5_volumes_part_names",
             Parts("libarchive/test_read_format_rar5_multiarchive.part", 8, 2),
             "",
             {}},
        Case{"rar4_volumes_part_names",
             Parts("libarchive/test_rar_multivolume_uncompressed_files.part", 10, 2),
             "",
             {}}),
    [](const auto& test) { return std::string(test.param.what); });

// A minimal RAR 5 archive with stored entries, for names no real archiver would write.
void PutVint(std::string& out, std::uint64_t v) {
    do {
        std::uint8_t b = v & 0x7F;
        v >>= 7;
        if (v) b |= 0x80;
        out.push_back(static_cast<char>(b));
    } while (v);
}
void PutBlock(std::string& out, const std::string& body) {
    std::string sized;
    PutVint(sized, body.size());
    sized += body;
    const std::uint32_t crc = Crc32(sized.data(), sized.size());
    out.append(reinterpret_cast<const char*>(&crc), 4);
    out += sized;
}
std::string BuildRar5(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string out("Rar!\x1a\x07\x01\x00", 8);
    PutBlock(out, std::string("\x01\x00\x00", 3));  // main header
    for (const auto& [name, data] : entries) {
        std::string body;
        PutVint(body, 2);    // file header
        PutVint(body, 0x2);  // with data area
        PutVint(body, data.size());
        PutVint(body, 0x4);  // CRC present
        PutVint(body, data.size());
        PutVint(body, 0x81A4);  // regular file, mode 0644
        const std::uint32_t crc = Crc32(data.data(), data.size());
        body.append(reinterpret_cast<const char*>(&crc), 4);
        PutVint(body, 0);  // stored
        PutVint(body, 1);  // Unix
        PutVint(body, name.size());
        body += name;
        PutBlock(out, body);
        out += data;
    }
    PutBlock(out, std::string("\x05\x00\x00", 3));  // end of archive
    return out;
}

// A window whose posted texts are freed when the test ends.
struct DrainedWindow {
    CTestReceiver receiver;
    WindowHandle Handle() const { return receiver.Handle(); }
    std::size_t Pending() { return receiver.Pending(); }
    ~DrainedWindow() {
        while (auto m = receiver.TryTake()) {
            if ((m->wParam == ProgFile || m->wParam == ProgJob) && m->lParam > 1)
                delete reinterpret_cast<std::string*>(m->lParam);
        }
    }
};

TEST(ExtractArchive, EmptyPathSucceedsAndClearsDeletion) {
    DrainedWindow window;
    CPostProcContext ctx(window.Handle());
    ctx.m_autoDeleteCurrent = true;
    EXPECT_TRUE(ExtractArchive("", "/nzb/a.nzb", ctx, nullptr));
    EXPECT_FALSE(ctx.m_autoDeleteCurrent);
    EXPECT_EQ(window.Pending(), 0u);
}

TEST(ExtractArchive, StoredPasswordIsUsedOnceWithoutPrompt) {
    TempDir dir;
    CSavedOptions options;
    options.StoreArchivePassword("/NZB/some.nzb", "password");
    const auto seen = RunStep(dir, {"rarfile/rar5-hpsw.rar"}, "rar5-hpsw.rar", &options, std::nullopt);
    ASSERT_TRUE(seen.result.ok) << seen.result.detail;
    EXPECT_EQ(seen.prompts, 0);
    EXPECT_FALSE(options.LookupArchivePassword("/nzb/some.nzb").has_value());
}

TEST(ExtractArchive, WrongStoredPasswordFailsAndStaysStored) {
    TempDir dir;
    CSavedOptions options;
    options.StoreArchivePassword("/nzb/some.nzb", "password222");
    const auto seen =
        RunStep(dir, {"rarfile/rar5-hpsw.rar"}, "rar5-hpsw.rar", &options, std::string("password"));
    EXPECT_FALSE(seen.result.ok);
    EXPECT_EQ(seen.result.failure, Failure::WrongPassword) << seen.result.detail;
    EXPECT_EQ(seen.prompts, 0);
    EXPECT_TRUE(options.LookupArchivePassword("/nzb/some.nzb").has_value());
}

TEST(ExtractArchive, DeclinedPromptFailsAndDeletesNothing) {
    TempDir dir;
    const auto seen =
        RunStep(dir, {"rarfile/rar5-psw.rar"}, "rar5-psw.rar", nullptr, std::nullopt, /*autoDelete=*/true);
    EXPECT_FALSE(seen.result.ok);
    EXPECT_EQ(seen.result.failure, Failure::NoPassword);
    EXPECT_EQ(seen.prompts, 1);
    ASSERT_FALSE(seen.messages.empty());
    EXPECT_EQ(seen.messages.back(), 30044u);
    // Only the reason text was posted as the current file; the delete list is empty.
    for (const auto& f : seen.files)
        EXPECT_EQ(f.find(dir.Path()), std::string::npos) << f;
    EXPECT_FALSE(fs::exists(dir.File("stest1.txt")));
}

struct WrongCase {
    const char* what;
    std::string sample;
    std::string password;
};
class WrongPassword : public ::testing::TestWithParam<WrongCase> {};

TEST_P(WrongPassword, IsReportedAsWrongPasswordAndWritesNoGarbage) {
    const auto& c = GetParam();
    TempDir dir;
    const auto seen = RunStep(dir, {c.sample}, fs::path(c.sample).filename().string(), nullptr, c.password);
    EXPECT_FALSE(seen.result.ok);
    EXPECT_EQ(seen.result.failure, Failure::WrongPassword) << seen.result.detail;
    ASSERT_FALSE(seen.messages.empty());
    EXPECT_EQ(seen.messages.back(), 30044u);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, WrongPassword,
    ::testing::Values(
        WrongCase{"rar5_check_value_headers", "rarfile/rar5-hpsw.rar", "password222"},
        WrongCase{"rar5_check_value_data", "rarfile/rar5-psw.rar", "secret"},
        WrongCase{"rar4_header_checksum", "libarchive/test_read_format_rar4_encrypted_filenames.rar", "x"},
        // b.txt opens with "password"; d.txt needs "password2": its CRC tells.
        WrongCase{"rar4_data_checksum", "libarchive/test_read_format_rar4_encrypted.rar", "password"}),
    [](const auto& test) { return std::string(test.param.what); });

TEST(ExtractArchive, NamesLeavingTheFolderAreRefusedOthersExtracted) {
    TempDir dir;
    fs::create_directory(dir.File("dl"));
    const std::string archive = dir.File("dl/evil.rar");
    {
        std::ofstream f(archive, std::ios::binary);
        f << BuildRar5({{"good.txt", "fine"},
                        {"../escaped.txt", "bad"},
                        {"sub/../../escaped2.txt", "bad"},
                        {"/tmp/absolute-quivern.txt", "bad"}});
    }
    DrainedWindow window;
    CPostProcContext ctx(window.Handle());
    const auto result = ExtractArchiveEx(archive, "/nzb/a.nzb", ctx, nullptr);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.failure, Failure::UnsafeName);
    EXPECT_EQ(result.refusedNames.size(), 3u);
    EXPECT_EQ(ReadFile(dir.File("dl/good.txt")), "fine");
    EXPECT_FALSE(fs::exists(dir.File("escaped.txt")));
    EXPECT_FALSE(fs::exists(dir.File("escaped2.txt")));
    EXPECT_FALSE(fs::exists("/tmp/absolute-quivern.txt"));
}

TEST(ExtractArchive, SymlinkOutOfTheFolderIsNeitherCreatedNorFollowed) {
    TempDir dir;
    fs::create_directory(dir.File("dl"));
    const auto seen = [&] {
        fs::copy_file(TestData("rar/rarfile/rar5-evil-symlink-traversal.rar"), dir.File("dl/evil.rar"));
        DrainedWindow window;
        CPostProcContext ctx(window.Handle());
        return ExtractArchiveEx(dir.File("dl/evil.rar"), "/nzb/a.nzb", ctx, nullptr);
    }();
    EXPECT_FALSE(seen.ok);
    EXPECT_EQ(seen.failure, Failure::UnsafeName);
    EXPECT_FALSE(fs::is_symlink(dir.File("dl/up")));
    // Nothing was written beside the download folder.
    std::vector<std::string> outside;
    for (const auto& e : fs::directory_iterator(dir.Path()))
        outside.push_back(e.path().filename().string());
    EXPECT_EQ(outside, std::vector<std::string>{"dl"});
}

TEST(ExtractArchive, SafeNameRules) {
    EXPECT_TRUE(IsSafeEntryName("a/b/c.txt"));
    EXPECT_TRUE(IsSafeEntryName("a/..b/c..txt"));
    EXPECT_FALSE(IsSafeEntryName("a/../../c"));
    EXPECT_FALSE(IsSafeEntryName("/etc/passwd"));
    EXPECT_FALSE(IsSafeEntryName(""));
    EXPECT_TRUE(IsSafeLinkTarget("a/link", "../b"));
    EXPECT_FALSE(IsSafeLinkTarget("a/link", "../../b"));
    EXPECT_FALSE(IsSafeLinkTarget("link", ".."));
    EXPECT_FALSE(IsSafeLinkTarget("link", "/etc"));
}

TEST(ExtractArchive, VolumesProgressOnceToThousandAndAllGoToTheDeleteList) {
    TempDir dir;
    const auto parts = Parts("libarchive/test_read_format_rar5_multiarchive.part", 8, 2);
    const auto seen =
        RunStep(dir, parts, "test_read_format_rar5_multiarchive.part01.rar", nullptr, std::nullopt,
                /*autoDelete=*/true);
    ASSERT_TRUE(seen.result.ok) << seen.result.detail;
    ASSERT_GE(seen.permille.size(), 3u);
    EXPECT_TRUE(std::is_sorted(seen.permille.begin(), seen.permille.end()));
    EXPECT_EQ(std::adjacent_find(seen.permille.begin(), seen.permille.end()), seen.permille.end());
    EXPECT_EQ(seen.permille.back(), 1000);
    for (int i = 1; i <= 8; ++i) {
        const std::string volume =
            dir.File("test_read_format_rar5_multiarchive.part0" + std::to_string(i) + ".rar");
        EXPECT_EQ(std::count(seen.files.begin(), seen.files.end(), volume), 1) << volume;
    }
}

TEST(ExtractArchive, MissingMiddleVolumeFailsAsIncomplete) {
    TempDir dir;
    auto parts = Parts("libarchive/test_read_format_rar5_multiarchive.part", 8, 2);
    parts.erase(parts.begin() + 2);
    const auto seen =
        RunStep(dir, parts, "test_read_format_rar5_multiarchive.part01.rar", nullptr, std::nullopt,
                /*autoDelete=*/true);
    EXPECT_FALSE(seen.result.ok);
    EXPECT_EQ(seen.result.failure, Failure::Damaged);
    EXPECT_EQ(seen.messages.back(), 30044u);
}

TEST(ExtractArchive, VolumeOfTheMiddleDoesNotDivideByZero) {
    TempDir dir;
    const auto seen =
        RunStep(dir, {"rarfile/rar3-old.r00", "rarfile/rar3-old.r01"}, "rar3-old.r00", nullptr, std::nullopt);
    for (int p : seen.permille)
        EXPECT_LE(p, 1000);
    ASSERT_FALSE(seen.messages.empty());
}

TEST(ExtractArchive, NotAnArchiveCannotBeOpened) {
    TempDir dir;
    const std::string path = dir.Write("x.rar", "this is no archive");
    DrainedWindow window;
    CPostProcContext ctx(window.Handle());
    const auto r = ExtractArchiveEx(path, "/nzb/a.nzb", ctx, nullptr);
    EXPECT_EQ(r.failure, Failure::OpenFailed);
}

TEST(ExtractArchive, Rar4SolidEncryptedFailsWithAReason) {
    TempDir dir;
    const auto seen = RunStep(dir, {"libarchive/test_read_format_rar4_solid_encrypted.rar"},
                              "test_read_format_rar4_solid_encrypted.rar", nullptr, std::string("password"));
    EXPECT_EQ(seen.result.failure, Failure::Unsupported);
    EXPECT_EQ(seen.messages.back(), 30044u);
}

// Samples on which the reader loops or that are damaged end as one failed step, in bounded time.
class Malformed : public ::testing::TestWithParam<std::string> {};
TEST_P(Malformed, FailsCleanlyInBoundedTime) {
    TempDir dir;
    ExtractSettings settings;
    settings.stallLimit = std::chrono::milliseconds(1500);
    const auto start = std::chrono::steady_clock::now();
    const auto seen =
        RunStep(dir, {"libarchive/" + GetParam()}, GetParam(), nullptr, std::nullopt, false, settings);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_FALSE(seen.result.ok);
    ASSERT_FALSE(seen.messages.empty());
    EXPECT_TRUE(seen.messages.back() == 30044u || seen.messages.back() == 30043u);
}
INSTANTIATE_TEST_SUITE_P(Samples, Malformed,
                         ::testing::Values("test_read_format_rar5_dirdata.rar",
                                           "test_read_format_rar5_bad_window_sz_in_mltarc_file.rar",
                                           "test_read_format_rar5_truncated_huff.rar",
                                           "test_read_format_rar5_unpacked_size_exceeds_declared.rar",
                                           "test_read_format_rar_invalid1.rar"),
                         [](const auto& test) {
                             std::string n = test.param.substr(17);
                             for (char& ch : n)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return n;
                         });

TEST(ExtractArchive, CancelDuringThePromptFails) {
    TempDir dir;
    fs::copy_file(TestData("rar/rarfile/rar5-psw.rar"), dir.File("a.rar"));
    DrainedWindow window;
    CPostProcContext ctx(window.Handle());
    ctx.m_askPassword = [&](std::string& pw) {
        pw = "password";
        ctx.m_cancel = true;
        return true;
    };
    const auto r = ExtractArchiveEx(dir.File("a.rar"), "/nzb/a.nzb", ctx, nullptr);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.failure, Failure::Cancelled);
}

}  // namespace
}  // namespace quivern
