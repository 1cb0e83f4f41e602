#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "nntp/decode/binary_codecs.h"

namespace quivern {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

TEST(DecodeBase64, Table) {
    struct Case {
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"QUJD", "ABC"},
        {"QUI=", "AB"},
        {"QQ==", "A"},
        {"QUJD\r\nQUJD\r\n", "ABCABC"},           // line breaks separate runs
        {"  QUJD\t*QUJD", "ABCABC"},              // so does any other character
        {"QUJDQQ", ""},                           // a run that is not a multiple of 4 ends the decoding
        {"QUJD\r\nQQ\r\nQUJD", "ABC"},            // ... even when later runs are fine
        {"QQ==\r\nQUJD", "A"},                    // a padded run ends the decoding
        {"QUI=QUJD", std::string("AB") + "ABC"},  // groups after the padding within the run still count
        {"", ""},
        {"QUJ", ""},
        {"4pyT", "\xE2\x9C\x93"},
        {"//79", "\xFF\xFE\xFD"},
        {"++++", "\xFB\xEF\xBE"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecodeBase64(c.text), Bytes(c.expected)) << c.text;
}

// A standard uuencoder for the tests: lines of up to 45 bytes, "`" for zero bits.
std::string UUEncode(const std::vector<std::uint8_t>& data) {
    auto ch = [](unsigned v) { return static_cast<char>(v == 0 ? '`' : v + 32); };
    std::string out;
    for (std::size_t i = 0; i < data.size(); i += 45) {
        const std::size_t n = std::min<std::size_t>(45, data.size() - i);
        out.push_back(static_cast<char>(32 + n));
        for (std::size_t g = 0; g < n; g += 3) {
            const unsigned b0 = data[i + g];
            const unsigned b1 = g + 1 < n ? data[i + g + 1] : 0;
            const unsigned b2 = g + 2 < n ? data[i + g + 2] : 0;
            out.push_back(ch(b0 >> 2));
            out.push_back(ch(((b0 << 4) | (b1 >> 4)) & 63));
            out.push_back(ch(((b1 << 2) | (b2 >> 6)) & 63));
            out.push_back(ch(b2 & 63));
        }
        out += "\r\n";
    }
    return out;
}

TEST(DecodeUU, RoundTripsWholeAndShortLastLine) {
    std::mt19937 rng(5);
    for (const std::size_t size : {1u, 2u, 3u, 44u, 45u, 46u, 1000u}) {
        std::vector<std::uint8_t> data(size);
        for (auto& b : data)
            b = static_cast<std::uint8_t>(rng());
        EXPECT_EQ(DecodeUU(UUEncode(data)), data) << size;
    }
}

TEST(DecodeUU, LineRulesAndEnds) {
    std::vector<std::uint8_t> data(90);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7);
    const std::string two = UUEncode(data);  // two full lines of 45 bytes

    // A line whose count differs from the first is decoded and ends the block.
    const std::vector<std::uint8_t> shortFirst(data.begin(), data.begin() + 10);
    const std::string mixed = UUEncode(shortFirst) + two;
    std::vector<std::uint8_t> expected = shortFirst;
    expected.insert(expected.end(), data.begin(), data.begin() + 45);
    EXPECT_EQ(DecodeUU(mixed), expected);

    // The end line "`" (count 0) ends the block; what follows is ignored.
    EXPECT_EQ(DecodeUU(two + "`\r\nend\r\n" + two), data);
    // A line cut short keeps the complete lines only... and nothing is read past the text.
    EXPECT_EQ(DecodeUU(two.substr(0, two.size() - 10)),
              std::vector<std::uint8_t>(data.begin(), data.begin() + 45));
    EXPECT_TRUE(DecodeUU("M\r\n").empty());  // fewer than 4 characters
    EXPECT_TRUE(DecodeUU("").empty());
    EXPECT_TRUE(DecodeUU("\r\n\r\nM").empty());  // a line break is no count

    // A line starting with ".." is data: count '.' (14 bytes) and a first group starting with '.'.
    std::vector<std::uint8_t> dotty(14, 0x11);
    dotty[0] = 0x38;  // top six bits 14 -> '.'
    const std::string dotLine = UUEncode(dotty);
    ASSERT_EQ(dotLine.substr(0, 2), "..");
    EXPECT_EQ(DecodeUU(dotLine), dotty);
}

TEST(DecodeEncodedWord, Table) {
    struct Case {
        std::string text;
        bool ok;
        std::string decoded;
        unsigned codePage;
    };
    const Case cases[] = {
        {"=?UTF-8?B?w6l0w6kuYmlu?=", true, "\xC3\xA9t\xC3\xA9.bin", kCodePageUtf8},
        {"=?utf-8?Q?caf=C3=A9_1.rar?=", true, "caf\xC3\xA9 1.rar", kCodePageUtf8},
        {"=?iso-8859-1?Q?caf=E9.bin?=", true, "caf\xE9.bin", kCodePageWindows1252},
        {"=?windows-1252?Q?a=3Db=zz?=", true, "a=b=zz", kCodePageWindows1252},  // "=" without hex stays
        {"=?UTF-8?q?lower.bin?=", false, "", 0},                                // only capital Q or B
        {"=?UTF-8?B?QUJD?= tail", false, "", 0},                                // must be the whole text
        {"plain.bin", false, "", 0},
        {"=?UTF-8?B?=", false, "", 0},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        unsigned codePage = 0;
        EXPECT_EQ(DecodeEncodedWord(text, codePage), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(text, c.decoded) << c.text;
            EXPECT_EQ(codePage, c.codePage) << c.text;
        } else {
            EXPECT_EQ(text, c.text) << "left unchanged";
        }
    }
}

TEST(CodePageToUtf8, ConvertsAndReplacesInvalidUtf8) {
    EXPECT_EQ(CodePageToUtf8("caf\xE9", kCodePageWindows1252), "caf\xC3\xA9");
    EXPECT_EQ(CodePageToUtf8("\x80", kCodePageWindows1252), "\xE2\x82\xAC");
    EXPECT_EQ(CodePageToUtf8("ok\xC3\xA9", kCodePageUtf8), "ok\xC3\xA9");
    EXPECT_EQ(CodePageToUtf8("a\xE9z", kCodePageUtf8), "a\xEF\xBF\xBDz");
    EXPECT_EQ(CodePageToUtf8("\xED\xA0\x80", kCodePageUtf8),
              "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
}

}  // namespace
}  // namespace quivern
