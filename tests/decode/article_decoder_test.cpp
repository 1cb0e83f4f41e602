#include "nntp/decode/article_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "decode_support.h"
#include "nntp/decode/crc32.h"
#include "support/temp_dir.h"

namespace quivern {
namespace {

using test::Article;
using test::RecordingSink;
using test::ToCrlf;

std::uint32_t CrcOf(const std::string& s) {
    return Crc32(s.data(), s.size());
}

bool Decode(RecordingSink& sink, const std::string& article, const TArticleJobInfo* job = nullptr) {
    std::string work;
    return DecodeArticle(sink, work, "alt.binaries.test", article, "<id@host>", 77, job);
}

// --- samples --------------------------------------------------------------------------------

struct YEncSample {
    const char* file;
    const char* name;
    std::uint32_t length;
    std::uint32_t crc;
    // What the "=yend" line says of the data: checked at all, size right, CRC right.
    bool checked = true;
    bool sizeOk = true;
    bool crcOk = true;
};

TEST(DecodeArticleSamples, YEncArticlesDecodeToTheExpectedParts) {
    // A trailer mismatch is only reported: the "mismatch" variants decode like the good ones. Part
    // numbers are not compared.
    const YEncSample samples[] = {
        {"yenc/usenet-keimpema/singlepart/00000005.ntx", "testfile.txt", 584, 0xded29f4f},
        {"yenc/usenet-keimpema/singlepart/00000005 (checksum mismatch).ntx", "testfile.txt", 584, 0xded29f4f,
         true, true, false},
        {"yenc/usenet-keimpema/singlepart/00000005 (size mismatch).ntx", "testfile.txt", 584, 0xded29f4f,
         true, false, true},
        {"yenc/usenet-keimpema/singlepart/test (1.2).ntx", "test (1.2).txt", 67, 0xef9b1b81},
        {"yenc/usenet-keimpema/multipart/00000020.ntx", "joystick.jpg", 11250, 0xbfae5c0b},
        {"yenc/usenet-keimpema/multipart/00000021.ntx", "joystick.jpg", 8088, 0xaca76043},
        {"yenc/usenet-keimpema/multipart/00000021 (part mismatch).ntx", "joystick.jpg", 8088, 0xaca76043},
        {"yenc/usenet-keimpema/multipart/test (1.2).ntx", "test (1.2).txt", 67, 0xef9b1b81},
        {"yenc/sabyenc/test_regular.txt", "90E2Sdvsmds0801dvsmds90E.part06.rar", 384000, 0x084e170f},
        {"yenc/sabyenc/test_special_chars.txt", "90E2Sdvsmds0801dvsmds90E\xC3\xA9\xC3\xA9\xC3\xA9.part06.rar",
         384000, 0x084e170f},
        {"yenc/sabyenc/test_single_part.txt", "logo.gif", 16335, 0x547266c7},
        {"yenc/sabyenc/test_badcrc.txt", "4fd5dbf1db9b34ad2835d4079003627b.r07", 768000, 0xad765df6},
        {"yenc/sabyenc/test_partial.txt", "90E2Sdvsmds0801dvsmds90E.part06.rar", 549, 0xf30d9a06, true, false,
         false},
        {"yenc/usenet-keimpema/singlepart/00000005 (missing checksum).ntx", "testfile.txt", 584, 0xded29f4f},
        {"yenc/usenet-keimpema/multipart/00000021 (missing checksum).ntx", "joystick.jpg", 8088, 0xaca76043},
        {"yenc/usenet-keimpema/multipart/00000021 (checksum mismatch).ntx", "joystick.jpg", 8088, 0xaca76043,
         true, true, false},
        {"yenc/usenet-keimpema/multipart/00000021 (size mismatch).ntx", "joystick.jpg", 8088, 0xaca76043,
         true, false, true},
    };
    for (const auto& s : samples) {
        const std::string raw = test::ReadFile(test::TestData(s.file));
        const bool bodyReply = std::string_view(s.file).starts_with("yenc/sabyenc");
        const std::string article = bodyReply ? test::ArticleFromBodyReply(raw) : Article(ToCrlf(raw));
        RecordingSink sink;
        EXPECT_TRUE(Decode(sink, article)) << s.file;
        ASSERT_EQ(sink.segments.size(), 1u) << s.file;
        EXPECT_TRUE(sink.texts.empty());
        const auto& seg = sink.segments[0];
        EXPECT_EQ(seg.fileName, s.name) << s.file;
        EXPECT_EQ(seg.length, s.length) << s.file;
        EXPECT_EQ(CrcOf(seg.data), s.crc) << s.file;
        EXPECT_EQ(seg.trailerChecked, s.checked) << s.file;
        EXPECT_EQ(seg.sizeMatches, s.sizeOk) << s.file;
        EXPECT_EQ(seg.crcMatches, s.crcOk) << s.file;
        EXPECT_EQ(seg.jobId, 77u);
        EXPECT_EQ(seg.group, "alt.binaries.test");
        EXPECT_EQ(seg.messageId, "<id@host>");
    }
    // The two parts of joystick.jpg give the whole file.
    RecordingSink sink;
    Decode(sink,
           Article(ToCrlf(test::ReadFile(test::TestData("yenc/usenet-keimpema/multipart/00000020.ntx")))));
    Decode(sink,
           Article(ToCrlf(test::ReadFile(test::TestData("yenc/usenet-keimpema/multipart/00000021.ntx")))));
    ASSERT_EQ(sink.segments.size(), 2u);
    EXPECT_EQ(sink.segments[0].data + sink.segments[1].data,
              test::ReadFile(test::TestData("yenc/usenet-keimpema/multipart/joystick.jpg")));
}

TEST(DecodeArticleSamples, YEncWithoutNameIsHandedOnAsText) {
    RecordingSink sink;
    const std::string raw = test::ReadFile(test::TestData("yenc/sabyenc/test_no_name.txt"));
    EXPECT_TRUE(Decode(sink, test::ArticleFromBodyReply(raw)));
    EXPECT_TRUE(sink.segments.empty());
    ASSERT_EQ(sink.texts.size(), 1u);
    EXPECT_EQ(sink.texts[0].substr(0, 17), "\r\n=ybegin part=41");
}

TEST(DecodeArticleSamples, UUEncodedArticlesDecodeToTheRarFiles) {
    const char* names[] = {"test_read_format_rar.rar", "test_read_format_rar5_stored.rar",
                           "test_read_format_rar5_compressed.rar"};
    for (const char* name : names) {
        const std::string uu = test::ReadFile(test::TestData(std::string("uu/") + name + ".uu"));
        RecordingSink sink;
        EXPECT_TRUE(Decode(sink, Article("Subject: " + std::string(name) + "\r\n\r\n" + ToCrlf(uu))));
        ASSERT_EQ(sink.segments.size(), 1u) << name;
        EXPECT_EQ(sink.segments[0].fileName, name);
        EXPECT_EQ(sink.segments[0].data,
                  test::ReadFile(test::TestData(std::string("rar/libarchive/") + name)));
    }
}

TEST(DecodeArticleSamples, TruncatedUUArticleNeedsLaterArticlesOfItsFile) {
    const std::string uu =
        ToCrlf(test::ReadFile(test::TestData("uu/DERIVED-truncated-no-end.rar5_compressed.uu")));
    const std::string article = Article("Subject: xyz\r\n\r\n" + uu);
    const std::string whole =
        test::ReadFile(test::TestData("rar/libarchive/test_read_format_rar5_compressed.rar"));

    const TArticleJobInfo onlyArticle{true, 1, 1};
    RecordingSink alone;
    EXPECT_TRUE(Decode(alone, article, &onlyArticle));
    EXPECT_TRUE(alone.segments.empty());
    EXPECT_EQ(alone.texts.size(), 1u);

    const TArticleJobInfo firstOfFive{true, 1, 5};
    RecordingSink first;
    EXPECT_TRUE(Decode(first, article, &firstOfFive));
    ASSERT_EQ(first.segments.size(), 1u);
    const std::string& got = first.segments[0].data;
    EXPECT_EQ(got.size() % 45, 0u);  // complete lines only
    EXPECT_GE(got.size(), 180u);
    EXPECT_EQ(got, whole.substr(0, got.size()));
}

TEST(DecodeArticleSamples, MimeMessages) {
    struct Sample {
        const char* file;
        std::vector<std::pair<std::string, std::uint32_t>> parts;  // name, CRC; none: text hand-off
        std::uint32_t length;
    };
    const Sample samples[] = {
        {"attachment.raw", {{"test.html", 0x33cb3499}}, 7},
        {"attachment-application.raw", {{"some.doc", 0x33cb3499}}, 7},
        {"html-mime-inline.raw", {}, 0},  // the image sits in a nested multipart, which is not searched
        {"other-multi-related.raw", {{"image001.png", 0x02fc9ab4}, {"image002.png", 0x02fc9ab4}}, 687},
        {"attachment-octet.raw", {}, 0},                    // base64 part without a name
        {"attachment-only.raw", {}, 0},                     // not multipart
        {"mime-bad-content-transfer-encoding.raw", {}, 0},  // no named base64 part
    };
    for (const auto& s : samples) {
        const std::string raw = ToCrlf(test::ReadFile(test::TestData(std::string("mime/enmime/") + s.file)));
        RecordingSink sink;
        EXPECT_TRUE(Decode(sink, Article(raw))) << s.file;
        ASSERT_EQ(sink.segments.size(), s.parts.size()) << s.file;
        for (std::size_t i = 0; i < s.parts.size(); ++i) {
            EXPECT_EQ(sink.segments[i].fileName, s.parts[i].first) << s.file;
            EXPECT_EQ(sink.segments[i].length, s.length) << s.file;
            EXPECT_EQ(CrcOf(sink.segments[i].data), s.parts[i].second) << s.file;
        }
        EXPECT_EQ(sink.texts.size(), s.parts.empty() ? 1u : 0u) << s.file;
    }
    // Not a message at all: no empty line after the headers.
    RecordingSink sink;
    EXPECT_FALSE(Decode(sink, Article(ToCrlf(test::ReadFile(test::TestData("mime/enmime/erroneous.raw"))))));
    EXPECT_TRUE(sink.segments.empty());
    EXPECT_TRUE(sink.texts.empty());
}

TEST(DecodeArticleSamples, SecondUsablePartFailsWhenTheOwnerRefusesIt) {
    const std::string raw = ToCrlf(test::ReadFile(test::TestData("mime/enmime/other-multi-related.raw")));
    RecordingSink sink;
    sink.acceptSegments = 1;  // the first hand-off took the job out of the waiting list
    EXPECT_FALSE(Decode(sink, Article(raw)));
    EXPECT_EQ(sink.segments.size(), 2u);
}

// --- synthetic articles -------------------------------------------------------------------

// "kl" decodes to "AB".
const std::string kYEncBody = "=ybegin line=128 size=2 name=ab.bin\r\nkl\r\n=yend size=2\r\n";

struct Outcome {
    bool result;
    int segments;  // -1: do not care
    int texts;
};

TEST(DecodeArticle, HeaderRules) {
    struct Case {
        const char* what;
        std::string article;
        Outcome expected;
    };
    const Case cases[] = {
        {"no empty line after the headers", Article("Subject: x y\r\n" + kYEncBody), {false, 0, 0}},
        {"no Subject", Article("From: a\r\n\r\n" + kYEncBody), {false, 0, 0}},
        {"Subject of one character", Article("Subject: x\r\n\r\n" + kYEncBody), {false, 0, 0}},
        {"Subject only as part of another header",
         Article("X-Subject: xyz\r\n\r\n" + kYEncBody),
         {false, 0, 0}},
        {"Subject written in any case", Article("sUBJECT: xyz\r\n\r\n" + kYEncBody), {true, 1, 0}},
        {"Subject as an encoded word",
         Article("Subject: =?UTF-8?B?w6k=?=\r\n\r\n" + kYEncBody),
         {true, 1, 0}},
        {"Subject continued on a folded line", Article("Subject:\r\n  xy\r\n\r\n" + kYEncBody), {true, 1, 0}},
        {"empty body goes to the text hand-off", Article("Subject: xyz\r\n\r\n"), {true, 0, 1}},
        {"plain text body", Article("Subject: xyz\r\n\r\nhello\r\n"), {true, 0, 1}},
    };
    for (const auto& c : cases) {
        RecordingSink sink;
        EXPECT_EQ(Decode(sink, c.article), c.expected.result) << c.what;
        EXPECT_EQ(static_cast<int>(sink.segments.size()), c.expected.segments) << c.what;
        EXPECT_EQ(static_cast<int>(sink.texts.size()), c.expected.texts) << c.what;
    }
}

TEST(DecodeArticle, YEncBlockRules) {
    struct Case {
        const char* what;
        std::string body;
        Outcome expected;
        std::string name;
        std::string data;
    };
    const Case cases[] = {
        {"ypart line is skipped, name is the rest of the line",
         "=ybegin part=1 line=128 size=9 name= my file (1).bin \r\n=ypart begin=1 end=2\r\nkl\r\n=yend\r\n",
         {true, 1, 0},
         "my file (1).bin",
         "AB"},
        {"quoted name", "=ybegin line=128 name=\"q.bin\"\r\nkl\r\n=yend\r\n", {true, 1, 0}, "q.bin", "AB"},
        {"Windows-1252 name",
         "=ybegin line=128 name=caf\xE9.bin\r\nkl\r\n=yend\r\n",
         {true, 1, 0},
         "caf\xC3\xA9.bin",
         "AB"},
        {"dot-stuffed data line",
         "=ybegin name=d.bin\r\n..k\r\n=yend\r\n",
         {true, 1, 0},
         "d.bin",
         "\x04"
         "A"},
        {"text before the block",
         "see below\r\n=ybegin name=t.bin\r\nkl\r\n=yend\r\n",
         {true, 1, 0},
         "t.bin",
         "AB"},
        {"header line continued after ';'",
         "=ybegin name=s.bin;\r\n=ypart x\r\nkl\r\n=yend\r\n",
         {true, 1, 0},
         "s.bin;",
         "AB"},
        {"equals at the end of a line: nothing handed on",
         "=ybegin name=e.bin\r\nkl=\r\nkl\r\n=yend\r\n",
         {true, 0, 0},
         "",
         ""},
        {"no =yend: handed on as text", "=ybegin name=n.bin\r\nkl\r\n", {true, 0, 1}, "", ""},
        {"no name=: handed on as text", "=ybegin line=128 size=2\r\nkl\r\n=yend\r\n", {true, 0, 1}, "", ""},
    };
    for (const auto& c : cases) {
        RecordingSink sink;
        EXPECT_EQ(Decode(sink, Article("Subject: xyz\r\n\r\n" + c.body)), c.expected.result) << c.what;
        ASSERT_EQ(static_cast<int>(sink.segments.size()), c.expected.segments) << c.what;
        EXPECT_EQ(static_cast<int>(sink.texts.size()), c.expected.texts) << c.what;
        if (!sink.segments.empty()) {
            EXPECT_EQ(sink.segments[0].fileName, c.name) << c.what;
            EXPECT_EQ(sink.segments[0].data, c.data) << c.what;
        }
    }
}

TEST(DecodeArticle, YEncTrailerIsComparedWithTheData) {
    struct Case {
        const char* what;
        std::string ybegin;
        std::string yend;
        bool checked, sizeOk, crcOk;
    };
    // CRC-32 of "AB" is 30694c07.
    const Case cases[] = {
        {"size and crc32 of a single part", "=ybegin line=128 size=2 name=a", "=yend size=2 crc32=30694c07",
         true, true, true},
        {"upper-case hex", "=ybegin line=128 size=2 name=a", "=yend size=2 crc32=30694C07", true, true, true},
        {"wrong size", "=ybegin line=128 size=2 name=a", "=yend size=3", true, false, true},
        {"wrong crc32", "=ybegin line=128 size=2 name=a", "=yend size=2 crc32=30694c08", true, true, false},
        {"nothing to compare", "=ybegin line=128 size=2 name=a", "=yend", false, true, true},
        {"unreadable values are ignored", "=ybegin line=128 name=a", "=yend size=2x crc32=xyz", false, true,
         true},
        {"crc32 of a multipart posting is the whole file's", "=ybegin part=1 line=128 size=9 name=a",
         "=yend size=2 part=1 crc32=deadbeef", true, true, true},
        {"pcrc32 of a part", "=ybegin part=1 line=128 size=9 name=a",
         "=yend size=2 part=1 pcrc32=deadbeef crc32=30694c07", true, true, false},
    };
    for (const auto& c : cases) {
        RecordingSink sink;
        EXPECT_TRUE(Decode(sink, Article("Subject: xyz\r\n\r\n" + c.ybegin + "\r\nkl\r\n" + c.yend + "\r\n")))
            << c.what;
        ASSERT_EQ(sink.segments.size(), 1u) << c.what;
        EXPECT_EQ(sink.segments[0].data, "AB") << c.what;
        EXPECT_EQ(sink.segments[0].trailerChecked, c.checked) << c.what;
        EXPECT_EQ(sink.segments[0].sizeMatches, c.sizeOk) << c.what;
        EXPECT_EQ(sink.segments[0].crcMatches, c.crcOk) << c.what;
    }
}

TEST(DecodeArticle, YEncPartRangeGivesThePlaceInTheFileOnlyWhenItFitsTheData) {
    struct Case {
        const char* what;
        std::string header;  // "=ybegin" line and any "=ypart" line; the data "kl" decodes to "AB"
        bool placed;
        std::uint64_t offset, fileSize;
    };
    const Case cases[] = {
        {"a part", "=ybegin part=3 line=128 size=9 name=a\r\n=ypart begin=5 end=6", true, 4, 9},
        {"range longer than the data", "=ybegin part=3 size=9 name=a\r\n=ypart begin=5 end=7", false, 0, 9},
        {"end before begin", "=ybegin part=3 size=9 name=a\r\n=ypart begin=6 end=5", false, 0, 9},
        {"begin 0", "=ybegin part=1 size=9 name=a\r\n=ypart begin=0 end=1", false, 0, 9},
        {"no ypart line", "=ybegin part=1 size=9 name=a", false, 0, 9},
        {"unreadable numbers", "=ybegin part=1 size=9 name=a\r\n=ypart begin=1x end=2", false, 0, 9},
        {"a posting in one part", "=ybegin line=128 size=2 name=a", true, 0, 2},
        {"one part of another size", "=ybegin line=128 size=3 name=a", false, 0, 3},
    };
    for (const auto& c : cases) {
        RecordingSink sink;
        EXPECT_TRUE(Decode(sink, Article("Subject: xyz\r\n\r\n" + c.header + "\r\nkl\r\n=yend\r\n")))
            << c.what;
        ASSERT_EQ(sink.segments.size(), 1u) << c.what;
        EXPECT_EQ(sink.segments[0].data, "AB") << c.what;
        EXPECT_EQ(sink.segments[0].hasFileOffset, c.placed) << c.what;
        if (c.placed) {
            EXPECT_EQ(sink.segments[0].fileOffset, c.offset) << c.what;
        }
        EXPECT_EQ(sink.segments[0].fileSize, c.fileSize) << c.what;
    }
}

TEST(DecodeArticle, OnePassBlockDecodingMatchesSearchThenDecode) {
    // The one-pass decoding searches "=yend" in slices of 16 KiB: markers placed around a slice end,
    // split by it, absent, or preceded by an "=y" that is no marker.
    for (const std::size_t dataLength : {0u, 5u, 16379u, 16380u, 16381u, 16383u, 16384u, 16385u, 40000u}) {
        for (const char* tail : {"=yend size=1\r\n", "=yen", "=y=yend crc32=0\r\n"}) {
            std::string data(dataLength, 'k');
            for (std::size_t i = 128; i < data.size(); i += 130)
                data.replace(i, 2, "\r\n");
            const std::string body = "=ybegin line=128 name=a.bin\r\n" + data + tail;
            TYEncBlock expectedBlock;
            const bool found = FindYEncBlock(body, expectedBlock);
            TYEncBlock block;
            TYEncDecoded result;
            std::vector<std::uint8_t> out(body.size() + 1);
            ASSERT_EQ(DecodeYEncBody(body, block, out.data(), result), found) << dataLength << tail;
            if (!found) continue;
            EXPECT_EQ(block.data, expectedBlock.data);
            EXPECT_EQ(block.trailer, expectedBlock.trailer);
            std::vector<std::uint8_t> expected(body.size() + 1);
            const TYEncDecoded e = DecodeYEncBlock(expectedBlock, expected.data());
            EXPECT_EQ(result.length, e.length);
            EXPECT_EQ(result.crc32, e.crc32);
            EXPECT_EQ(result.trailerChecked, e.trailerChecked);
            EXPECT_EQ(result.sizeMatches, e.sizeMatches);
            EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(e.length),
                                   expected.begin()));
        }
    }
}

TEST(DecodeArticle, HandOffResultsAreReturned) {
    RecordingSink refusing;
    refusing.acceptSegments = 0;
    EXPECT_FALSE(Decode(refusing, Article("Subject: xyz\r\n\r\n" + kYEncBody)));
    EXPECT_EQ(refusing.segments.size(), 1u);

    RecordingSink refusingText;
    refusingText.acceptText = false;
    EXPECT_FALSE(Decode(refusingText, Article("Subject: xyz\r\n\r\nna\xEFve text\r\n")));
    ASSERT_EQ(refusingText.texts.size(), 1u);
    EXPECT_EQ(refusingText.texts[0], "na\xC3\xAFve text\r\n");  // body converted from Windows-1252
    EXPECT_EQ(refusingText.textJobIds[0], 77u);
}

// "M" line of 45 bytes "0123456789..." and its end.
const std::string kUULine = "M,#$R,S0U-C<X.3$R,S0U-C<X.3$R,S0U-C<X.3$R,S0U-C<X.3$R,S0U-C<X\r\n";
const std::string kUUBytes = "0123456789123456789123456789123456789123456789";

TEST(DecodeArticle, UUBlockAndContinuationRules) {
    const std::string first45 = kUUBytes.substr(0, 45);
    const TArticleJobInfo second{true, 2, 5};
    const TArticleJobInfo firstOfFive{true, 1, 5};
    const TArticleJobInfo lastOfFive{true, 5, 5};
    const TArticleJobInfo onlyArticle{true, 1, 1};
    const TArticleJobInfo invalidSecond{false, 2, 5};
    struct Case {
        const char* what;
        std::string body;
        const TArticleJobInfo* job;
        Outcome expected;
        std::string name;
        std::string data;
    };
    const Case cases[] = {
        {"begin with end mark",
         "begin 644 a b.rar\r\n" + kUULine + "`\r\nend\r\n",
         nullptr,
         {true, 1, 0},
         "a b.rar",
         first45},
        {"four-digit mode and quoted name",
         "begin 0644 \"q.rar\"\r\n" + kUULine + "`\r\nend\r\n",
         nullptr,
         {true, 1, 0},
         "q.rar",
         first45},
        {"five-digit mode is no begin line",
         "begin 10644 a.rar\r\n" + kUULine + "`\r\nend\r\n",
         nullptr,
         {true, 0, 1},
         "",
         ""},
        {"no name", "begin 644 \r\n" + kUULine + "`\r\nend\r\n", nullptr, {true, 0, 1}, "", ""},
        {"no end mark, first of five",
         "begin 644 a.rar\r\n" + kUULine + kUULine,
         &firstOfFive,
         {true, 1, 0},
         "a.rar",
         first45 + first45},
        {"no end mark, only article of its file",
         "begin 644 a.rar\r\n" + kUULine,
         &onlyArticle,
         {true, 0, 1},
         "",
         ""},
        // The last article is then taken as a continuation, and the begin line decodes to nothing.
        {"no end mark, last of its file", "begin 644 a.rar\r\n" + kUULine, &lastOfFive, {true, 1, 0}, "", ""},
        {"no end mark, no job", "begin 644 a.rar\r\n" + kUULine, nullptr, {true, 0, 1}, "", ""},
        {"continuation ends at `+end", "\r\n" + kUULine + "`\r\nend\r\n", &second, {true, 1, 0}, "", first45},
        {"continuation ends at empty line+end", kUULine + "\r\nend\r\n", &second, {true, 1, 0}, "", first45},
        {"continuation ends at `end", kUULine + "`end\r\n", &second, {true, 1, 0}, "", first45},
        {"continuation ends at end", kUULine + "end\r\n", &second, {true, 1, 0}, "", first45},
        {"continuation without end mark", kUULine + kUULine, &second, {true, 1, 0}, "", first45 + first45},
        {"continuation needs a valid article", kUULine, &invalidSecond, {true, 0, 1}, "", ""},
        {"first article is no continuation", kUULine, &firstOfFive, {true, 0, 1}, "", ""},
    };
    for (const auto& c : cases) {
        RecordingSink sink;
        EXPECT_EQ(Decode(sink, Article("Subject: xyz\r\n\r\n" + c.body), c.job), c.expected.result) << c.what;
        ASSERT_EQ(static_cast<int>(sink.segments.size()), c.expected.segments) << c.what;
        EXPECT_EQ(static_cast<int>(sink.texts.size()), c.expected.texts) << c.what;
        if (!sink.segments.empty()) {
            EXPECT_EQ(sink.segments[0].fileName, c.name) << c.what;
            EXPECT_EQ(sink.segments[0].data, c.data) << c.what;
        }
    }
}

std::string Mime(const std::string& contentType, const std::string& parts) {
    return Article("Subject: xyz\r\nContent-Type: " + contentType + "\r\n\r\n" + parts);
}

TEST(DecodeArticle, MimeRules) {
    const std::string b64 = "Content-Transfer-Encoding: base64\r\n";
    struct Case {
        const char* what;
        std::string article;
        Outcome expected;
        std::string name;
        std::string data;
    };
    const Case cases[] = {
        {"quoted boundary, encoded-word name",
         Mime("multipart/mixed; boundary=\"XX\"",
              "--XX\r\nContent-Type: a; name=\"=?UTF-8?B?w6l0w6kuYmlu?=\"\r\n" + b64 +
                  "\r\n  QUJD\r\n\r\n--XX--\r\n"),
         {true, 1, 0},
         "\xC3\xA9t\xC3\xA9.bin",
         "ABC"},
        {"unquoted boundary, filename= counts, Windows-1252 name",
         Mime("multipart/mixed; boundary=XX; x=y",
              "preamble\r\n--XX\r\ncontent-transfer-encoding: BASE64\r\nContent-Disposition: attachment; "
              "filename=caf\xE9.bin\r\n\r\nQUJD\r\n--XX--\r\n"),
         {true, 1, 0},
         "caf\xC3\xA9.bin",
         "ABC"},
        {"message/partial id= works like a boundary",
         Mime("message/partial; id=\"P1\"", "--P1\r\n" + b64 + "name=p.bin\r\n\r\nQQ==\r\n--P1--\r\n"),
         {true, 1, 0},
         "p.bin",
         "A"},
        {"only part quoted-printable: text hand-off",
         Mime("multipart/mixed; boundary=XX",
              "--XX\r\nContent-Transfer-Encoding: quoted-printable\r\nContent-Type: a; "
              "name=q.txt\r\n\r\nhi\r\n--XX--\r\n"),
         {true, 0, 1},
         "",
         ""},
        {"one-character name skips the part",
         Mime("multipart/mixed; boundary=XX", "--XX\r\n" + b64 + "name=a\r\n\r\nQUJD\r\n--XX--\r\n"),
         {true, 0, 1},
         "",
         ""},
        {"no closing delimiter after the data: text hand-off",
         Mime("multipart/mixed; boundary=XX", "--XX\r\n" + b64 + "name=ab\r\n\r\nQUJD\r\n"),
         {true, 0, 1},
         "",
         ""},
        {"delimiter never found: text hand-off",
         Mime("multipart/mixed; boundary=XX", "hello\r\n"),
         {true, 0, 1},
         "",
         ""},
        {"empty boundary is no multipart",
         Mime("multipart/mixed; boundary=\"\"", kYEncBody),
         {true, 1, 0},
         "ab.bin",
         "AB"},
    };
    for (const auto& c : cases) {
        RecordingSink sink;
        EXPECT_EQ(Decode(sink, c.article), c.expected.result) << c.what;
        ASSERT_EQ(static_cast<int>(sink.segments.size()), c.expected.segments) << c.what;
        EXPECT_EQ(static_cast<int>(sink.texts.size()), c.expected.texts) << c.what;
        if (!sink.segments.empty()) {
            EXPECT_EQ(sink.segments[0].fileName, c.name) << c.what;
            EXPECT_EQ(sink.segments[0].data, c.data) << c.what;
        }
    }
}

}  // namespace
}  // namespace quivern
