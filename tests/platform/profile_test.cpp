#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/profile.h"
#include "support/temp_dir.h"

namespace quivern {
namespace {

constexpr const char* kSample =
    "; leading comment\r\n"
    "[General]\r\n"
    "MaxChannels=12\r\n"
    "SavePathRoot=/data/with=equals\r\n"
    "\r\n"
    "[servers]\r\n"
    "0=a;119;;;0;0;;0;;\r\n"
    "no equals sign\r\n"
    "1=b;563;;;1;0;;0;;\r\n";

TEST(ProfileFile, ReadsIgnoringCaseAndKeepsWholeValues) {
    test::TempDir tmp;
    CProfileFile ini(tmp.Write("Config.ini", kSample));
    ASSERT_TRUE(ini.Load());
    EXPECT_TRUE(ini.Exists());
    EXPECT_EQ(ini.GetInt("general", "maxchannels", 8), 12);
    EXPECT_EQ(ini.GetString("GENERAL", "SavePathRoot", ""), "/data/with=equals");
    EXPECT_EQ(ini.GetString("General", "Missing", "dflt"), "dflt");
    EXPECT_EQ(ini.GetString("General", "SavePathRoot", "", 6), "/data/");
    const auto lines = ini.GetSectionLines("Servers");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "0=a;119;;;0;0;;0;;");
    EXPECT_EQ(lines[1], "no equals sign");
    EXPECT_TRUE(ini.GetSectionLines("Nothing").empty());
}

TEST(ProfileFile, IntegerForms) {
    test::TempDir tmp;
    CProfileFile ini(tmp.Write("c.ini", "[s]\na= 42x\nb=-7\nc=abc\nd=\n"));
    ASSERT_TRUE(ini.Load());
    EXPECT_EQ(ini.GetInt("s", "a", 1), 42);
    EXPECT_EQ(ini.GetInt("s", "b", 1), -7);
    EXPECT_EQ(ini.GetInt("s", "c", 1), 0);  // present but not a number
    EXPECT_EQ(ini.GetInt("s", "d", 1), 0);
    EXPECT_EQ(ini.GetInt("s", "e", 1), 1);  // absent: the default
}

TEST(ProfileFile, WritesReplaceAppendAndDelete) {
    test::TempDir tmp;
    CProfileFile ini(tmp.Write("Config.ini", kSample));
    ASSERT_TRUE(ini.Load());
    ini.WriteString("general", "MAXCHANNELS", "4");  // replaces in place, keeps the original key
    ini.WriteString("General", "UseChannelLoop", "0");
    ini.DeleteSection("SERVERS");
    ini.WriteString("New", "k", "v=w");
    ini.DeleteKey("General", "SavePathRoot");
    ASSERT_TRUE(ini.Flush());
    EXPECT_EQ(test::ReadFile(ini.Path()),
              "; leading comment\n[General]\nMAXCHANNELS=4\nUseChannelLoop=0\n\n[New]\nk=v=w\n");
}

TEST(ProfileFile, FlushIsAtomicAndOwnerOnly) {
    test::TempDir tmp;
    const std::string path = tmp.Write("Config.ini", "[a]\nx=1\n");
    ::chmod(path.c_str(), 0644);
    ASSERT_TRUE(WritePrivateProfileString("a", "y", "2", path));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(test::ReadFile(path), "[a]\nx=1\ny=2\n");
    // Nothing but the file itself is left in the folder.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(tmp.Path()))
        ++entries;
    EXPECT_EQ(entries, 1u);
    // A write that cannot complete fails and leaves nothing behind.
    EXPECT_FALSE(WriteFileAtomically(tmp.File("missing-folder/Config.ini"), "x", 0600));
    // A null key deletes the section; a null value the key.
    ASSERT_TRUE(WritePrivateProfileString("a", "x", nullptr, path));
    EXPECT_EQ(GetPrivateProfileSection("a", path), std::vector<std::string>{"y=2"});
    ASSERT_TRUE(WritePrivateProfileString("a", nullptr, nullptr, path));
    EXPECT_EQ(test::ReadFile(path), "");
}

TEST(ProfileFile, MissingFileIsAnEmptyDocument) {
    test::TempDir tmp;
    CProfileFile ini(tmp.File("none.ini"));
    EXPECT_TRUE(ini.Load());
    EXPECT_FALSE(ini.Exists());
    EXPECT_EQ(GetPrivateProfileString("a", "b", "d", 0, tmp.File("none.ini")), "d");
}

}  // namespace
}  // namespace quivern
