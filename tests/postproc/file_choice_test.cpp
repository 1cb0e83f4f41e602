#include <gtest/gtest.h>

#include "nzb/nzb_media.h"
#include "platform/refcounted.h"
#include "postproc/file_choice.h"
#include "support/temp_dir.h"

namespace quivern {
namespace {

using test::TempDir;

TEST(FileChoiceTest, MainParFilePrefersTheSmallestPar2) {
    struct Case {
        std::vector<TStoredFile> files;
        std::string expected;
    };
    const Case cases[] = {
        {{{"a.vol00+01.par2", 200000}, {"a.par2", 4000}, {"a.par", 3000}}, "a.par2"},
        {{{"a.par", 3000}, {"a.p01", 100}}, "a.par"},
        // Equal sizes: the first in list order.
        {{{"b.PAR2", 10}, {"a.par2", 10}}, "b.PAR2"},
        {{{"a.rar", 10}, {"a.sfv", 1}}, ""},
    };
    for (const Case& c : cases) {
        const TFileChoice choice = FindMainParFile("/dl", c.files);
        EXPECT_EQ(choice.m_path, c.expected.empty() ? "" : "/dl/" + c.expected) << c.expected;
        EXPECT_EQ(choice.m_folder, c.expected.empty() ? "" : "/dl");
    }
}

TEST(FileChoiceTest, FirstRarVolumeSkipsLaterPartVolumes) {
    struct Case {
        const char* name;
        bool first;
    };
    const Case cases[] = {{"a.rar", true},         {"a.part1.rar", true}, {"a.part01.rar", true},
                          {"a.PART001.RAR", true}, {"a.vol.rar", true},   {"a.part2.rar", false},
                          {"a.part10.rar", false}, {"a.part.rar", false}, {"a.r00", false},
                          {"a.rar.001", false}};
    for (const Case& c : cases)
        EXPECT_EQ(IsFirstRarVolumeName(c.name), c.first) << c.name;

    const std::vector<TStoredFile> files = {{"a.part2.rar", 1}, {"a.part1.rar", 1}, {"b.rar", 1}};
    EXPECT_EQ(FindFirstRarVolume("/dl", files).m_path, "/dl/a.part1.rar");
    EXPECT_EQ(FindFirstRarVolume("/dl", {{"a.part2.rar", 1}}).m_path, "");
}

TEST(FileChoiceTest, DownloadFolderFollowsTheSubfolderSetting) {
    EXPECT_EQ(DownloadFolder("/save/", true, "/x/Film.nzb"), "/save/Film");
    EXPECT_EQ(DownloadFolder("/save", false, "/x/Film.nzb"), "/save");
    EXPECT_EQ(DownloadFolder("/save", true, "/x/My.Film.nzb"), "/save/My.Film");
}

TEST(FileChoiceTest, StoredFilesFollowTheDocumentOrder) {
    TempDir dir;
    dir.Write("dl/a.part2.rar", "22");
    dir.Write("dl/a.part1.rar", "1");
    dir.Write("dl/a.par2", "pp");
    dir.Write("dl/unrelated.txt", "x");
    auto part = [](const char* subject) {
        return std::string("<file poster=\"p@x\" date=\"1700000000\" subject=\"") + subject +
               "\"><groups><group>alt.binaries.test</group></groups><segments>"
               "<segment bytes=\"10\" number=\"1\">id" +
               std::to_string(std::hash<std::string>{}(subject)) + "@x</segment></segments></file>";
    };
    const std::string nzb =
        dir.Write("a.nzb", std::string("<?xml version=\"1.0\"?>\n"
                                       "<nzb xmlns=\"http://www.newzbin.com/DTD/2003/nzb\">") +
                               part("a [1/3] - &quot;a.part2.rar&quot; yEnc (1/1)") +
                               part("a [2/3] - &quot;a.par2&quot; yEnc (1/1)") +
                               part("a [3/3] - &quot;a.part1.rar&quot; yEnc (1/1)") +
                               part("a [4/4] - &quot;missing.rar&quot; yEnc (1/1)") + "</nzb>");
    CNzbMedia* media = nullptr;
    ASSERT_TRUE(OpenNzbMedia(nzb, &media));
    auto doc = RcPtr<CNzbMedia>::Adopt(media);

    const auto stored = ListStoredFiles(dir.File("dl"), doc.get());
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[0].m_name, "a.part2.rar");
    EXPECT_EQ(stored[0].m_size, 2u);
    EXPECT_EQ(stored[1].m_name, "a.par2");
    EXPECT_EQ(stored[2].m_name, "a.part1.rar");
    EXPECT_EQ(FindFirstRarVolume(dir.File("dl"), stored).m_path, dir.File("dl/a.part1.rar"));

    // Without a document every file of the folder counts, in name order.
    const auto all = ListStoredFiles(dir.File("dl"), nullptr);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0].m_name, "a.par2");
}

}  // namespace
}  // namespace quivern
