#include "postproc/rar/extract.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
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
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace quivern
