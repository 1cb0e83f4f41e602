#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "nzb/nzb_media.h"
#include "platform/refcounted.h"
#include "support/temp_dir.h"

namespace quivern {
namespace {

constexpr const char* kTypical = R"NZB(<?xml version="1.0" encoding="iso-8859-1" ?>
<!DOCTYPE nzb PUBLIC "-//newzBin//DTD NZB 1.1//EN" "http://www.newzbin.com/DTD/nzb/nzb-1.1.dtd">
<nzb xmlns="http://www.newzbin.com/DTD/2003/nzb">
 <head>
   <meta type="title">Holiday &amp; more</meta>
   <meta type="password">secret</meta>
 </head>
 <file poster="Joe Bloggs &lt;bloggs@nowhere.example&gt;" date="1295000000" subject="Here's your file!  abc-mr2a.r01 (1/2)">
   <groups>
     <group>alt.binaries.newzbin</group>
     <group>alt.binaries.mojo</group>
   </groups>
   <segments>
     <segment bytes="102394" number="2">123456789abcdef@news.newzbin.com</segment>
     <segment bytes="4501" number="1">987654321fedbca@news.newzbin.com</segment>
   </segments>
 </file>
 <file poster="Jane" date="0" subject="caf&#233; second">
   <groups><group>alt.binaries.test</group></groups>
   <segments><segment bytes="7" number="0">x@y</segment></segments>
 </file>
</nzb>
)NZB";

RcPtr<CNzbMedia> Read(const test::TempDir& tmp, const std::string& xml, const char* name = "t.nzb") {
    return RcPtr<CNzbMedia>(new CNzbMedia(tmp.Write(name, xml)));
}

std::string OneFile(const std::string& fileAttrs, const std::string& inner) {
    return "<nzb><file " + fileAttrs + ">" + inner + "</file></nzb>";
}

constexpr const char* kAttrs = R"(poster="p" date="1" subject="s")";
constexpr const char* kGroups = "<groups><group>a.b.c</group></groups>";

TEST(NzbReader, ReadsATypicalDocumentCompletely) {
    test::TempDir tmp;
    auto doc = Read(tmp, kTypical);
    ASSERT_TRUE(doc->m_valid);
    EXPECT_EQ(doc->m_filePath, tmp.File("t.nzb"));
    ASSERT_EQ(doc->m_parts.size(), 2u);
    const CNzbPart& p = *doc->m_parts[0];
    EXPECT_EQ(p.m_poster, "Joe Bloggs <bloggs@nowhere.example>");
    EXPECT_EQ(p.m_subject, "Here's your file!  abc-mr2a.r01 (1/2)");
    EXPECT_EQ(p.m_date, (SystemTime{2011, 1, 5, 14, 10, 13, 20, 0}));
    ASSERT_NE(p.m_groups, nullptr);
    EXPECT_EQ(p.m_groups->Names(), (std::vector<std::string>{"alt.binaries.newzbin", "alt.binaries.mojo"}));
    ASSERT_EQ(p.m_articles.size(), 2u);  // document order, not number order
    EXPECT_EQ(p.m_articles[0]->m_number, 2);
    EXPECT_EQ(p.m_articles[0]->m_bytes, 102394u);
    EXPECT_EQ(p.m_articles[0]->m_messageId.value_or(""), "123456789abcdef@news.newzbin.com");
    EXPECT_EQ(p.m_articles[1]->m_number, 1);
    const CNzbPart& q = *doc->m_parts[1];
    EXPECT_EQ(q.m_subject, "caf\xC3\xA9 second");  // UTF-8 inside the program
    EXPECT_EQ(q.m_date, (SystemTime{1970, 1, 4, 1, 0, 0, 0, 0}));
    EXPECT_EQ(q.m_articles[0]->m_number, 0);
    EXPECT_EQ(doc->TotalBytes(), 102394u + 4501u + 7u);
    EXPECT_EQ(doc->ArticleCount(), 3u);
}

TEST(NzbReader, ValidVariants) {
    struct Case {
        const char* name;
        std::string xml;
        std::size_t parts;
    } cases[] = {
        {"mixed-case names",
         R"(<NZB><File Poster="p" DATE="5" Subject="s"><GROUPS><Group>a.b</Group></GROUPS>)"
         R"(<Segments><SEGMENT Bytes="1" NUMBER="1">id</SEGMENT></Segments></File></NZB>)",
         1},
        {"no groups element",
         OneFile(kAttrs, R"(<segments><segment bytes="1" number="1">id</segment></segments>)"), 1},
        {"file nested deeper inside nzb",
         "<nzb><x><y><file poster='p' date='1' subject='s'><segments><segment bytes='1' "
         "number='1'>i</segment>"
         "</segments></file></y></x></nzb>",
         1},
        {"duplicate numbers kept",
         OneFile(kAttrs, std::string(kGroups) + R"(<segments><segment bytes="1" number="3">a</segment>)"
                                                R"(<segment bytes="1" number="3">b</segment></segments>)"),
         1},
        {"content after the nzb element is ignored",
         OneFile(kAttrs, R"(<segments><segment bytes="1" number="1">id</segment></segments>)") +
             "<!-- tail -->",
         1},
        {"empty file elements are skipped",
         "<nzb><file/>" +
             OneFile(kAttrs, R"(<segments><segment bytes="1" number="1">id</segment></segments>)").substr(5),
         1},
        {"bytes and number with blanks and signs",
         OneFile(kAttrs, R"(<segments><segment bytes=" +12" number="+4">id</segment></segments>)"), 1},
    };
    test::TempDir tmp;
    for (const auto& c : cases) {
        auto doc = Read(tmp, c.xml);
        EXPECT_TRUE(doc->m_valid) << c.name << "\n" << c.xml;
        if (doc->m_valid) {
            EXPECT_EQ(doc->m_parts.size(), c.parts) << c.name;
        }
    }
}

TEST(NzbReader, InvalidDocuments) {
    const std::string seg = R"(<segments><segment bytes="1" number="1">id</segment></segments>)";
    struct Case {
        const char* name;
        std::string xml;
    } cases[] = {
        {"no nzb element", "<file poster='p' date='1' subject='s'>" + seg + "</file>"},
        {"nzb without files", "<nzb><head/></nzb>"},
        {"only an empty file element", "<nzb><file poster='p' date='1' subject='s'/></nzb>"},
        {"poster missing", OneFile(R"(date="1" subject="s")", seg)},
        {"empty subject", OneFile(R"(poster="p" date="1" subject="")", seg)},
        {"date not numeric", OneFile(R"(poster="p" date="x1" subject="s")", seg)},
        {"date with a leading blank", OneFile(R"(poster="p" date=" 1" subject="s")", seg)},
        {"negative date", OneFile(R"(poster="p" date="-1" subject="s")", seg)},
        {"date after 3000", OneFile(R"(poster="p" date="32535216000" subject="s")", seg)},
        {"groups without a group", OneFile(kAttrs, "<groups></groups>" + seg)},
        {"groups with an empty group", OneFile(kAttrs, "<groups><group/></groups>" + seg)},
        {"empty groups element", OneFile(kAttrs, "<groups/>" + seg)},
        {"no segments", OneFile(kAttrs, kGroups)},
        {"empty segments", OneFile(kAttrs, std::string(kGroups) + "<segments></segments>")},
        {"segment as empty element",
         OneFile(kAttrs, R"(<segments><segment bytes="1" number="1"/></segments>)")},
        {"segment without attributes", OneFile(kAttrs, R"(<segments><segment>id</segment></segments>)")},
        {"bytes zero", OneFile(kAttrs, R"(<segments><segment bytes="0" number="1">id</segment></segments>)")},
        {"bytes missing", OneFile(kAttrs, R"(<segments><segment number="1">id</segment></segments>)")},
        {"negative number",
         OneFile(kAttrs, R"(<segments><segment bytes="1" number="-1">id</segment></segments>)")},
        {"segment without text",
         OneFile(kAttrs, R"(<segments><segment bytes="1" number="1"></segment></segments>)")},
        {"segment with a child element",
         OneFile(kAttrs, R"(<segments><segment bytes="1" number="1">id<b/></segment></segments>)")},
        {"message id in CDATA",
         OneFile(kAttrs, R"(<segments><segment bytes="1" number="1"><![CDATA[id]]></segment></segments>)")},
        {"one bad part spoils the document",
         "<nzb>" + OneFile(kAttrs, seg).substr(5, std::string::npos).replace(0, 0, "") +
             OneFile(R"(poster="p" date="1" subject="")", seg).substr(5)},
    };
    test::TempDir tmp;
    for (const auto& c : cases) {
        auto doc = Read(tmp, c.xml);
        EXPECT_FALSE(doc->m_valid) << c.name << "\n" << c.xml;
        EXPECT_TRUE(doc->m_parts.empty()) << c.name;  // no partial document is handed out
    }
}

TEST(NzbReader, TextRules) {
    test::TempDir tmp;
    // A comment interrupting the message id leaves only the text after it.
    auto doc = Read(
        tmp,
        OneFile(kAttrs, R"(<segments><segment bytes="1" number="1">abc<!-- c -->def</segment></segments>)"));
    ASSERT_TRUE(doc->m_valid);
    EXPECT_EQ(doc->m_parts[0]->m_articles[0]->m_messageId.value_or(""), "def");
    // Characters outside Windows-1252 become the default character; others their byte.
    doc = Read(tmp,
               OneFile(kAttrs,
                       "<groups><group>alt.caf\xC3\xA9</group></groups>"
                       R"(<segments><segment bytes="1" number="1">&#x4E2D;&#x20AC;@x</segment></segments>)"));
    ASSERT_TRUE(doc->m_valid);
    EXPECT_EQ(doc->m_parts[0]->m_articles[0]->m_messageId.value_or(""), "?\x80@x");
    EXPECT_EQ(doc->m_parts[0]->m_groups->Names().at(0), "alt.caf\xE9");
}

TEST(NzbReader, OpenNzbMediaContract) {
    test::TempDir tmp;
    CNzbMedia* media = nullptr;
    EXPECT_FALSE(OpenNzbMedia("", &media));
    EXPECT_FALSE(OpenNzbMedia(tmp.File("missing.nzb"), &media));
    EXPECT_FALSE(OpenNzbMedia(tmp.Write("bad.nzb", "<nzb></nzb>"), &media));
    EXPECT_EQ(media, nullptr);
    const std::string good = tmp.Write("good.nzb", kTypical);
    ASSERT_TRUE(OpenNzbMedia(good, &media));
    ASSERT_NE(media, nullptr);
    CNzbMedia* second = media;
    EXPECT_FALSE(OpenNzbMedia(good, &second));  // the slot must be empty
    EXPECT_EQ(media->Release(), 0);
}

TEST(NzbReader, SharedSamples) {
    struct Case {
        const char* file;
        bool valid;
        std::size_t parts;
        std::size_t articles;
    } cases[] = {
        {"nzb/nzb-rs/big_buck_bunny.nzb", true, 5, 35},
        {"nzb/nzb-rs/big_buck_bunny.nzb.gz", true, 5, 35},  // gzip-compressed documents are read too
        {"nzb/nzb-rs/spec_example.nzb", true, 1, 2},
        {"nzb/usenet-keimpema/sabnzbd-no-namespace.nzb", true, 1, 2},
        {"nzb/nzb-py/valid_nzb_with_one_missing_segment.nzb", false, 0, 0},  // a segment without id
        {"nzb/nzb-rs/invalid_bytes.nzb", false, 0, 0},
        {"nzb/nzb-rs/standard_ish_subject_with_no_quotes.nzb", false, 0, 0},  // empty file
        {"nzb/nzb-rs/malformed_files.nzb", false, 0, 0},
        {"nzb/nzb-rs/malformed_segments.nzb", false, 0, 0},
        {"nzb/nzb-rs/malformed_groups.nzb", false, 0, 0},
    };
    for (const auto& c : cases) {
        CNzbMedia* media = nullptr;
        const bool ok = OpenNzbMedia(test::TestData(c.file), &media);
        EXPECT_EQ(ok, c.valid) << c.file;
        if (!ok) continue;
        auto doc = RcPtr<CNzbMedia>::Adopt(media);
        if (c.parts != 0) {
            EXPECT_EQ(doc->m_parts.size(), c.parts) << c.file;
            EXPECT_EQ(doc->ArticleCount(), c.articles) << c.file;
        }
    }
}

// Hostile input: each is refused (or read without harm) quickly and with bounded memory.
TEST(NzbReader, HostileInputs) {
    test::TempDir tmp;
    // Truncated in the middle of an element.
    const std::string typical = kTypical;
    EXPECT_FALSE(Read(tmp, typical.substr(0, typical.size() / 2))->m_valid);
    // Binary data renamed .nzb.
    std::string binary;
    for (int i = 0; i < 65536; ++i)
        binary += static_cast<char>((i * 7919) & 0xFF);
    EXPECT_FALSE(Read(tmp, binary)->m_valid);
    // Invalid UTF-8 in a UTF-8 document.
    EXPECT_FALSE(Read(tmp, OneFile(R"(poster="p)"
                                   "\xC3\x28"
                                   R"(" date="1" subject="s")",
                                   R"(<segments><segment bytes="1" number="1">id</segment></segments>)"))
                     ->m_valid);
    // Exponential entity expansion ("billion laughs").
    std::string bomb = "<?xml version=\"1.0\"?>\n<!DOCTYPE nzb [\n<!ENTITY l0 \"lol\">\n";
    for (int i = 1; i <= 12; ++i) {
        bomb += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k)
            bomb += "&l" + std::to_string(i - 1) + ";";
        bomb += "\">\n";
    }
    bomb += "]>\n" + OneFile(kAttrs, R"(<segments><segment bytes="1" number="1">&l12;</segment></segments>)");
    EXPECT_FALSE(Read(tmp, bomb)->m_valid);
    // An external entity naming a local file: its content never reaches the document.
    const std::string secret = tmp.Write("secret.txt", "TOPSECRET");
    const std::string xxe =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE nzb [<!ENTITY x SYSTEM \"file://" + secret + "\">]>\n" +
        OneFile(kAttrs, R"(<segments><segment bytes="1" number="1">id&x;</segment></segments>)");
    auto doc = Read(tmp, xxe);
    if (doc->m_valid) {
        EXPECT_EQ(doc->m_parts[0]->m_articles[0]->m_messageId.value_or("").find("TOPSECRET"),
                  std::string::npos);
    }
    // An external DTD is never fetched (no network), and the document still reads.
    EXPECT_TRUE(Read(tmp, kTypical)->m_valid);
}

TEST(NzbReader, GigabyteOfNestedElementsIsRefusedEarly) {
    test::TempDir tmp;
    const std::string path = tmp.File("deep.nzb");
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::string chunk;
    while (chunk.size() < (1u << 20))
        chunk += "<a>";
    chunk.resize(1u << 20);
    std::fputs("<nzb>", f);
    for (int i = 0; i < 1024; ++i)
        ASSERT_EQ(std::fwrite(chunk.data(), 1, chunk.size(), f), chunk.size());
    std::fclose(f);
    CNzbMedia* media = nullptr;
    EXPECT_FALSE(OpenNzbMedia(path, &media));
}

}  // namespace
}  // namespace quivern
