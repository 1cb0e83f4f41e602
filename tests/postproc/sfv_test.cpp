#include <gtest/gtest.h>

#include <memory>

#include "postproc/sfv.h"
#include "pp_test_util.h"

namespace quivern {
namespace {

using test::TempDir;

struct TSfvResult {
    std::uint32_t percent;
    std::uint32_t code;
    std::string path;  // empty for the "unusable list" message
};

std::vector<TSfvResult> DrainSfv(CTestReceiver& window) {
    std::vector<TSfvResult> out;
    while (auto m = window.TryTake()) {
        TSfvResult r{
            static_cast<std::uint32_t>(m->wParam >> 16), static_cast<std::uint32_t>(m->wParam & 0xFFFF), {}};
        if (m->lParam != 0) {
            std::unique_ptr<std::string> s(reinterpret_cast<std::string*>(m->lParam));
            r.path = *s;
        }
        out.push_back(r);
    }
    return out;
}

std::string Utf16(const std::u16string& text, bool bigEndian) {
    std::string out = bigEndian ? std::string("\xFE\xFF", 2) : std::string("\xFF\xFE", 2);
    for (char16_t c : text) {
        const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
        out += bigEndian ? hi : lo;
        out += bigEndian ? lo : hi;
    }
    return out;
}

TEST(SfvTest, EveryEncodingGivesTheSameEntries) {
    const std::u16string text16 =
        u"; comment line\r\nd\u00e4t\u00e4.bin 0000ABCD\r\n\"two words.txt\" 12345678\r\n";
    const std::string utf8 =
        "; comment line\r\nd\xC3\xA4t\xC3\xA4.bin 0000ABCD\r\n\"two words.txt\" 12345678\r\n";
    const std::string cp1252 = "; comment line\r\nd\xE4t\xE4.bin 0000ABCD\r\n\"two words.txt\" 12345678\r\n";
    const std::string inputs[] = {Utf16(text16, false), Utf16(text16, true), "\xEF\xBB\xBF" + utf8, utf8,
                                  cp1252};
    for (const std::string& bytes : inputs) {
        std::string decoded;
        ASSERT_TRUE(DecodeSfvText(bytes, decoded));
        const auto entries = ParseSfv(decoded, "/f");
        ASSERT_EQ(entries.size(), 3u);
        // A comment of several words is an entry like any other line.
        EXPECT_EQ(entries[0].m_path, "/f/; comment");
        EXPECT_EQ(entries[1].m_path, "/f/d\xC3\xA4t\xC3\xA4.bin");
        EXPECT_EQ(entries[1].m_crc, 0xABCDu);
        EXPECT_EQ(entries[2].m_path, "/f/two words.txt");
        EXPECT_EQ(entries[2].m_crc, 0x12345678u);
    }
    std::string decoded;
    EXPECT_FALSE(DecodeSfvText(std::string("\xFF\xFE\x00\xDC", 4), decoded));  // lone low surrogate
}

TEST(SfvTest, ParsingRules) {
    struct Case {
        const char* text;
        std::vector<std::pair<std::string, std::uint32_t>> entries;
    };
    const Case cases[] = {
        // A single word ends the parsing; later lines are not read.
        {"a.bin 1\nstop\nb.bin 2\n", {{"/f/a.bin", 1}}},
        // A one-character line or name ends it too.
        {"a.bin 1\nx\nb.bin 2\n", {{"/f/a.bin", 1}}},
        {"a.bin 1\nx 5\nb.bin 2\n", {{"/f/a.bin", 1}}},
        // Blank lines and CR CR LF vanish; trailing blanks are dropped; "0x" is allowed.
        {"\n\n  a.bin\t0xFF  \r\r\nb.bin 2", {{"/f/a.bin", 0xFF}, {"/f/b.bin", 2}}},
        // Reading stops at the first non-hex digit; too large values saturate.
        {"a.bin 12zz\nb.bin 123456789AB\n", {{"/f/a.bin", 0x12}, {"/f/b.bin", 0xFFFFFFFFu}}},
        {"sub\\dir\\c.bin 3\n", {{"/f/sub/dir/c.bin", 3}}},
    };
    for (const Case& c : cases) {
        const auto entries = ParseSfv(c.text, "/f");
        ASSERT_EQ(entries.size(), c.entries.size()) << c.text;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(entries[i].m_path, c.entries[i].first) << c.text;
            EXPECT_EQ(entries[i].m_crc, c.entries[i].second) << c.text;
            EXPECT_TRUE(entries[i].m_confined);
        }
    }
}

TEST(SfvTest, NamesCannotLeaveTheFolder) {
    TempDir dir;
    dir.Write("list/inside.bin", "x");
    dir.Write("secret.bin", "secret");
    const auto entries = ParseSfv("../secret.bin 1\n/etc/passwd 2\nC:\\boot.ini 3\na/../../x 4\nok..name 5\n",
                                  dir.File("list"));
    ASSERT_EQ(entries.size(), 5u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_FALSE(entries[i].m_confined) << entries[i].m_path;
        EXPECT_EQ(CheckSfvEntry(entries[i]), SfvMissing);
    }
    EXPECT_TRUE(entries[4].m_confined);
}

TEST(SfvTest, PercentOfEachResult) {
    EXPECT_EQ(SfvPercent(1, 4), 25u);
    EXPECT_EQ(SfvPercent(4, 4), 100u);
    EXPECT_EQ(SfvPercent(199, 200), 99u);
    EXPECT_EQ(SfvPercent(1, 1), 100u);
    EXPECT_EQ(SfvPercent(1, 3), 33u);
}

TEST(SfvTest, ChecksTheSharedBrokenList) {
    CTestReceiver window;
    const std::string folder = test::TestData("sfv/derived-broken");
    ProcessSfvJob(CSFVJob(folder + "/broken.sfv", folder, window.Handle()));
    const auto results = DrainSfv(window);
    // Its comment line holds several words and is listed as a missing file.
    ASSERT_EQ(results.size(), 6u);
    const std::uint32_t codes[] = {SfvMissing, SfvOk, SfvBadCrc, SfvOk, SfvOk, SfvMissing};
    const std::uint32_t percents[] = {16, 33, 50, 66, 83, 100};
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(results[i].code, codes[i]) << i;
        EXPECT_EQ(results[i].percent, percents[i]) << i;
    }
    EXPECT_EQ(results[2].path, folder + "/data2");
}

TEST(SfvTest, SharedListVariantsAllMatch) {
    // LF, CRLF, CR CR LF, quoted names with a sub-folder, and names in the wrong letter case as
    // lists from case-insensitive systems have them. Their ";" header lines would end the
    // parsing at the lone ";", so the lists are checked without them (the header case is below).
    const char* lists[] = {"test.sfv",         "testcrlf.sfv",   "testcrcrlf.sfv",
                           "testnoheader.sfv", "testquoted.sfv", "testquotedcase.sfv"};
    const std::string folder = test::TestData("sfv/cfv");
    TempDir dir;
    for (const char* list : lists) {
        std::string text = test::ReadFile(folder + "/" + list);
        std::string body;
        std::size_t lines = 0;
        for (std::size_t pos = 0; pos < text.size();) {
            std::size_t end = text.find('\n', pos);
            if (end == std::string::npos) end = text.size();
            const std::string line = text.substr(pos, end + 1 - pos);
            if (line[0] != ';') {
                body += line;
                ++lines;
            }
            pos = end + 1;
        }
        CTestReceiver window;
        ProcessSfvJob(CSFVJob(dir.Write(list, body), folder, window.Handle()));
        const auto results = DrainSfv(window);
        ASSERT_EQ(results.size(), lines) << list;
        for (const auto& r : results) {
            // foo.bar is empty: its CRC reads as FFFFFFFF, so it is reported unreadable.
            const bool empty = r.path.find("foo.bar") != std::string::npos;
            EXPECT_EQ(r.code, empty ? SfvUnreadable : SfvOk) << list << " " << r.path;
        }
        EXPECT_EQ(results.back().percent, 100u) << list;
    }

    // With its header the list ends at the line holding only ";": the first comment line, of
    // several words, is its one entry, a file that does not exist.
    CTestReceiver window;
    ProcessSfvJob(CSFVJob(folder + "/test.sfv", folder, window.Handle()));
    const auto results = DrainSfv(window);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].code, SfvMissing);
    EXPECT_EQ(results[0].percent, 100u);
}

TEST(SfvTest, EmptyFileAndUnusableLists) {
    TempDir dir;
    dir.Write("empty.bin", "");
    dir.Write("a.sfv", "empty.bin FFFFFFFF\nempty.bin 00000000\n");
    CTestReceiver window;
    ProcessSfvJob(CSFVJob(dir.File("a.sfv"), dir.Path(), window.Handle()));
    auto results = DrainSfv(window);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].code, SfvOk);
    EXPECT_EQ(results[1].code, SfvUnreadable);

    dir.Write("blank.sfv", "");
    dir.Write("words.sfv", "justoneword\n");
    for (const char* list : {"blank.sfv", "words.sfv", "absent.sfv"}) {
        ProcessSfvJob(CSFVJob(dir.File(list), dir.Path(), window.Handle()));
        results = DrainSfv(window);
        ASSERT_EQ(results.size(), 1u) << list;
        EXPECT_EQ(results[0].code, 3u);
        EXPECT_TRUE(results[0].path.empty());
    }
}

TEST(SfvTest, ClosedWindowEndsTheCheck) {
    TempDir dir;
    dir.Write("a.bin", "a");
    dir.Write("a.sfv", "a.bin 1\na.bin 2\n");
    CTestReceiver window;
    const CSFVJob job(dir.File("a.sfv"), dir.Path(), window.Handle());
    window.Destroy();
    EXPECT_FALSE(PostResult(job, SfvOk, dir.File("a.bin"), 1, 2));
    ProcessSfvJob(job);
    EXPECT_EQ(window.Pending(), 0u);
}

}  // namespace
}  // namespace quivern
