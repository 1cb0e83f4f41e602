#include <gtest/gtest.h>

#include "platform/text.h"

namespace quivern {
namespace {

TEST(Text, Utf8ToCp1252MapsEveryClassOfCharacter) {
    struct Case {
        const char* utf8;
        const char* cp1252;
    } cases[] = {
        {"alt.binaries.test", "alt.binaries.test"},
        {"caf\xC3\xA9", "caf\xE9"},    // Latin-1 range keeps its byte
        {"\xE2\x82\xAC 5", "\x80 5"},  // euro sign sits in the 0x80..0x9F block
        {"\xC5\xBD", "\x8E"},          // Z with caron
        {"\xE4\xB8\xAD", "?"},         // CJK has no mapping: default character
        {"\xF0\x9F\x98\x80x", "?x"},   // outside the BMP
        {"a\xFF"
         "b",
         "a?b"},                  // invalid UTF-8 byte
        {"\xC0\xAF", "??"},       // overlong form
        {"\xED\xA0\x80", "???"},  // encoded surrogate
    };
    for (const auto& c : cases)
        EXPECT_EQ(Utf8ToCp1252(c.utf8), c.cp1252) << c.utf8;
}

TEST(Text, Cp1252RoundTripsThroughUtf8) {
    std::string all;
    for (int b = 0x20; b < 0x100; ++b)
        all += static_cast<char>(b);
    EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
    EXPECT_EQ(Cp1252ToUtf8("\x80"), "\xE2\x82\xAC");
}

TEST(Text, Utf16UnitsAreCountedAndNeverSplit) {
    const std::string s = "a\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a, euro, emoji (surrogate pair), z
    EXPECT_EQ(Utf16Length(s), 5u);
    EXPECT_EQ(TruncateUtf16(s, 2), "a\xE2\x82\xAC");
    EXPECT_EQ(TruncateUtf16(s, 3), "a\xE2\x82\xAC");  // half a pair is not taken
    EXPECT_EQ(TruncateUtf16(s, 4), "a\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(TruncateUtf16(s, 99), s);
}

TEST(Text, Utf8Checks) {
    EXPECT_TRUE(IsValidUtf8("plain \xC3\xA4 \xE2\x82\xAC \xF0\x9F\x98\x80"));
    for (const char* bad : {"\xFF", "\xC0\xAF", "\xED\xA0\x80", "\xE2\x82", "\xF4\x90\x80\x80"}) {
        EXPECT_FALSE(IsValidUtf8(bad)) << bad;
    }
    EXPECT_EQ(Utf8ToUtf16("a\xC3\xA4\xF0\x9F\x98\x80"), (std::u16string{u'a', 0xE4, 0xD83D, 0xDE00}));
    EXPECT_EQ(Utf8ToUtf16("x\xFFy"), (std::u16string{u'x', 0xFFFD, u'y'}));
    std::string out;
    AppendUtf8(0x20AC, out);
    AppendUtf8(0x1F600, out);
    EXPECT_EQ(out, "\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST(Text, CaseRules) {
    EXPECT_EQ(AsciiLower("C:\\Downloads\\\xC3\x84"
                         "X.NZB"),
              "c:\\downloads\\\xC3\x84"
              "x.nzb");
    EXPECT_TRUE(EqualsIgnoreAsciiCase("General", "GENERAL"));
    EXPECT_FALSE(EqualsIgnoreAsciiCase("General", "Generals"));
    EXPECT_TRUE(EqualsIgnoreCase("/tmp/\xC3\x84rger.nzb", "/TMP/\xC3\xA4RGER.NZB"));
    EXPECT_TRUE(EqualsIgnoreCase("\xD0\x9F\xD1\x80\xD0\xB8", "\xD0\xBF\xD0\xA0\xD0\x98"));  // Cyrillic
    EXPECT_FALSE(EqualsIgnoreCase("/tmp/a.nzb", "/tmp/b.nzb"));
}

}  // namespace
}  // namespace quivern
