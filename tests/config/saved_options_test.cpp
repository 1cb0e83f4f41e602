#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "config/saved_options.h"
#include "nntp/nntp_callback.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "support/temp_dir.h"

namespace quivern {
namespace {

constexpr const char* kProgram = "/opt/quivern/bin/quivern";

// Each test gets its own settings root and home, so defaults do not depend on the machine.
class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_CONFIG_HOME", tmp.File("config").c_str(), 1);
        ::setenv("HOME", tmp.File("home").c_str(), 1);
        ::setenv("TMPDIR", "/var/tmp", 1);
        configPath = tmp.File("config/quivern/Config.ini");
    }
    void TearDown() override {
        ::unsetenv("XDG_CONFIG_HOME");
        ::unsetenv("TMPDIR");
    }
    void WriteConfig(const std::string& text) {
        ASSERT_TRUE(EnsureSettingsFolder(kProgram).has_value());
        ASSERT_TRUE(WriteFileAtomically(configPath, text, 0600));
    }
    static RcPtr<CNntpCallback> Engine() { return RcPtr<CNntpCallback>(new CNntpCallback()); }

    test::TempDir tmp;
    std::string configPath;
};

TEST_F(SettingsTest, FirstStartUsesDefaultsAndWritesACompleteFile) {
    auto engine = Engine();
    {
        CSavedOptions o;
        ASSERT_TRUE(o.Load(*engine, kProgram));
        EXPECT_TRUE(o.m_firstStart);
        EXPECT_EQ(o.m_configPath, configPath);
        EXPECT_EQ(o.m_maxChannels, 8);
        EXPECT_TRUE(o.m_useChannelLoop);
        EXPECT_TRUE(o.m_autoDelete);
        EXPECT_TRUE(o.m_createSubfolders);
        EXPECT_EQ(o.m_savePathRoot, tmp.File("home"));  // no Documents folder: the home folder
        EXPECT_EQ(o.m_tempPathRoot, "/var/tmp");
        EXPECT_EQ(o.m_nzbListOrder, (std::array<std::int32_t, 7>{0, 1, 2, 3, 4, 5, 6}));
        EXPECT_EQ(engine->GetServerCount(), 0u);
    }  // the destructor writes the file
    EXPECT_EQ(
        test::ReadFile(configPath),
        "[General]\nLastBrowseDir=\nMaxChannels=8\nUseChannelLoop=1\nSavePathRoot=" + tmp.File("home") +
            "\nTempPathRoot=/var/"
            "tmp\nAutoDelete=1\nCreateSubfolders=1\nStoreMemoryLimitMB=512\nContextHelp=0\nCtxHelpTurn=1\n"
            "[Dialog]\nLastSizeX=0\nLastSizeY=0\nLastArtDlgSizeX=0\nLastArtDlgSizeY=0\n"
            "NzbListOrder=0,1,2,3,4,5,6\nArticleListOrder=0,1,2,3\n"
            "[TOTALCMD]\nUse=0\nNewTab=1\nSide=0\nPath=\n");
    struct stat st {};
    ASSERT_EQ(::stat(configPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // it may hold passwords

    CSavedOptions again;
    ASSERT_TRUE(again.Load(*Engine(), kProgram));
    EXPECT_FALSE(again.m_firstStart);
}

TEST_F(SettingsTest, ReadRules) {
    WriteConfig(
        "[General]\nMaxChannels=abc\nUseChannelLoop=0\nAutoDelete=5\nSavePathRoot=/data/"
        "\nCreateSubfolders=0\n"
        "LastBrowseDir=/nzbs\nContextHelp=2\nLanguage=1033\n"
        "[Dialog]\nNzbListOrder=6,5,x,-1,9\nArticleListOrder=3 , 2\nLastSizeX=-1\nLastSizeY=-1\n"
        "[LastOpened]\n0=/a.nzb\n1=/b.nzb\nbroken line\n2=/c.nzb\n"
        "[TOTALCMD]\nSide=7\nUse=1\nPath=/opt/tc\n"
        "[RARPassword]\n/Downloads/Some.NZB=Pass=Word\n/x.nzb=y\n");
    CSavedOptions o;
    ASSERT_TRUE(o.Load(*Engine(), kProgram));
    EXPECT_EQ(o.m_maxChannels, 0);  // not a number reads as 0
    EXPECT_FALSE(o.m_useChannelLoop);
    EXPECT_TRUE(o.m_autoDelete);
    EXPECT_FALSE(o.m_createSubfolders);
    EXPECT_TRUE(o.m_contextHelp);
    EXPECT_EQ(o.m_savePathRoot, "/data");
    EXPECT_EQ(o.m_lastBrowseDir, "/nzbs");
    EXPECT_EQ(o.m_nzbListOrder, (std::array<std::int32_t, 7>{6, 5, 0, 3, 4, 5, 6}));
    EXPECT_EQ(o.m_articleListOrder, (std::array<std::int32_t, 4>{3, 2, 2, 3}));
    EXPECT_EQ(o.m_mainWndSize, (std::array<std::int32_t, 2>{-1, -1}));
    EXPECT_EQ(o.m_recentFiles,
              (std::vector<std::string>{"/a.nzb", "/b.nzb"}));  // stops at the line without "="
    EXPECT_EQ(o.m_tcSide, 0);
    EXPECT_TRUE(o.m_tcUse);
    EXPECT_EQ(o.m_tcPath, "/opt/tc");
    EXPECT_EQ(o.LookupArchivePassword("/DOWNLOADS/some.nzb").value_or(""), "Pass=Word");
    o.Save();
    const std::string saved = test::ReadFile(configPath);
    EXPECT_NE(saved.find("Language=1033\n"), std::string::npos);  // keys of other owners survive
    EXPECT_NE(saved.find("[RARPassword]\n/downloads/some.nzb=Pass=Word\n"), std::string::npos);
    EXPECT_NE(saved.find("CreateSubfolders=0\n"), std::string::npos);
}

TEST_F(SettingsTest, ServerLines) {
    WriteConfig(
        "[Servers]\n"
        "0=127.0.0.1;119;;;0;0;;0;;\n"                        // no login
        "1=127.0.0.1;563;user;pw;1;3;127.0.0.2;1080;pu;pp\n"  // SOCKS4 keeps no proxy login
        "2=127.0.0.1;119;u\n"                                 // incomplete: dropped
        "3=127.0.0.1;119;;;0;2;127.0.0.3;1080\n"              // SOCKS5 without its login fields: dropped
        "4=unresolvable.invalid;119;me;secret;0;0;;0;;\n"     // kept in the file
        "5=localhost;8119;u;{base64}YTtiO2M=;2;1;127.0.0.4;1081;x;{base64}eTt6\n"
        "6=127.0.0.1;119;;;0;9\n");  // unknown proxy type without fields: dropped
    auto engine = Engine();
    CSavedOptions o;
    ASSERT_TRUE(o.Load(*engine, kProgram));
    ASSERT_EQ(engine->GetServerCount(), 3u);
    CServerEntry e;
    ASSERT_TRUE(engine->GetServer(0, e));
    EXPECT_EQ(e.User(), "");
    EXPECT_EQ(e.Password(), "");
    EXPECT_FALSE(e.UseTls());
    ASSERT_TRUE(engine->GetServer(1, e));
    EXPECT_EQ(e.ProxyKind(), ProxySocks4);
    EXPECT_EQ(e.ProxyUser(), "");
    EXPECT_EQ(e.ProxyPassword(), "");
    EXPECT_EQ(e.ProxyPort(), 1080);
    EXPECT_TRUE(e.UseTls());
    ASSERT_TRUE(engine->GetServer(2, e));
    EXPECT_EQ(e.Password(), "a;b;c");
    EXPECT_EQ(e.ProxyPassword(), "y;z");
    EXPECT_TRUE(e.AcceptCertProblems());
    EXPECT_EQ(e.ServerPort(), 8119);
    EXPECT_EQ(o.m_unresolvedServerLines,
              (std::vector<std::string>{"unresolvable.invalid;119;me;secret;0;0;;0;;"}));

    o.Save();
    CProfileFile ini(configPath);
    ASSERT_TRUE(ini.Load());
    EXPECT_EQ(ini.GetSectionLines("Servers"),
              (std::vector<std::string>{
                  "0=127.0.0.1;119;;;0;0;;0;;", "1=127.0.0.1;563;user;pw;1;3;127.0.0.2;1080;;",
                  "2=localhost;8119;u;{base64}YTtiO2M=;2;1;127.0.0.4;1081;x;{base64}eTt6",
                  "3=unresolvable.invalid;119;me;secret;0;0;;0;;"}));
}

TEST(ServerLine, ValuesWithSeparatorsSurviveASaveAndALoad) {
    const char* awkward[] = {"a;b", ";", "{base64}abc", "line\nbreak", "plain", ""};
    for (const char* pw : awkward) {
        CServerEntry e;
        ASSERT_TRUE(e.SetServer("127.0.0.1", 119, false, "us;er", pw));
        ASSERT_TRUE(e.SetProxy(ProxySocks5, "127.0.0.1", 1080, "p;u", pw));
        const std::string line = FormatServerLine(e);
        auto parsed = ParseServerLine(line);
        ASSERT_EQ(parsed.result, ParsedServerLine::Result::Ok) << line;
        EXPECT_EQ(parsed.entry.Password(), pw) << line;
        EXPECT_EQ(parsed.entry.User(), "us;er");
        EXPECT_EQ(parsed.entry.ProxyUser(), "p;u");
        EXPECT_EQ(parsed.entry.ProxyPassword(), pw);
    }
    // Plain values are written exactly as before: ten fields, nothing encoded.
    CServerEntry plain;
    ASSERT_TRUE(plain.SetServer("127.0.0.1", 563, true, "", ""));
    ASSERT_TRUE(plain.SetProxy(ProxySocks4, "127.0.0.1", 1080, "", ""));
    EXPECT_EQ(FormatServerLine(plain), "127.0.0.1;563;;;1;3;127.0.0.1;1080;;");
}

TEST_F(SettingsTest, RecentFiles) {
    CSavedOptions o;
    o.AddRecentFile("/nzb/A.nzb");
    o.AddRecentFile("/nzb/b.nzb");
    o.AddRecentFile("/NZB/a.NZB");
    EXPECT_EQ(o.m_recentFiles, (std::vector<std::string>{"/NZB/a.NZB", "/nzb/b.nzb"}));
    for (int i = 0; i < 15; ++i)
        o.AddRecentFile("/n/" + std::to_string(i));
    ASSERT_EQ(o.m_recentFiles.size(), 15u);
    EXPECT_EQ(o.m_recentFiles.front(), "/n/14");
    EXPECT_EQ(o.m_recentFiles.back(), "/n/0");  // the two oldest were pushed out
    o.SetLastBrowseDir("/home/u/nzbs/x.nzb");
    EXPECT_EQ(o.m_lastBrowseDir, "/home/u/nzbs");
    o.SetWorkingPaths("/dl/", "/tmp/q/", false);
    EXPECT_EQ(o.m_savePathRoot, "/dl");
    EXPECT_EQ(o.m_tempPathRoot, "/tmp/q");
    EXPECT_FALSE(o.m_createSubfolders);
}

TEST_F(SettingsTest, ResetRemovesTheFileForGood) {
    {
        CSavedOptions o;
        ASSERT_TRUE(o.Load(*Engine(), kProgram));
        ASSERT_TRUE(o.Save());
        ASSERT_TRUE(FileExists(configPath));
        o.ResetSettings();
        EXPECT_FALSE(FileExists(configPath));
    }
    EXPECT_FALSE(FileExists(configPath));
}

TEST_F(SettingsTest, NoSettingsFolderMeansNothingIsLoadedOrSaved) {
    ::setenv("XDG_CONFIG_HOME", tmp.Write("afile", "x").c_str(), 1);
    {
        CSavedOptions o;
        EXPECT_FALSE(o.Load(*Engine(), kProgram));
        EXPECT_TRUE(o.m_configPath.empty());
        EXPECT_FALSE(o.Save());
    }
    EXPECT_EQ(test::ReadFile(tmp.File("afile")), "x");
}

TEST_F(SettingsTest, UnfinishedJobsAreWrittenEightLinesASectionAndLeaveTheFileWhenRead) {
    {
        CSavedOptions o;
        ASSERT_TRUE(o.Load(*Engine(), kProgram));
        for (int i = 0; i < 11; ++i)
            o.AddUnfinishedItem("/Downloads/Big.nzb", "item " + std::to_string(i));
        o.AddUnfinishedItem("/downloads/big.NZB", "item 3");  // same job, same text: kept once
    }
    CProfileFile ini(configPath);
    ASSERT_TRUE(ini.Load());
    const auto s0 = ini.GetSectionLines("UnfinishedJobs_0000");
    const auto s1 = ini.GetSectionLines("UnfinishedJobs_0001");
    ASSERT_EQ(s0.size(), 8u);
    ASSERT_EQ(s1.size(), 3u);
    EXPECT_EQ(s0[0], "/downloads/big.nzb_000000=item 0");
    EXPECT_EQ(s1[2], "/downloads/big.nzb_000010=item 10");
    EXPECT_FALSE(ini.HasSection("UnfinishedJobs_0002"));

    CSavedOptions o;
    ASSERT_TRUE(o.Load(*Engine(), kProgram));
    // Read back, and gone from the file while the program runs.
    ASSERT_TRUE(ini.Load());
    EXPECT_FALSE(ini.HasSection("UnfinishedJobs_0000"));
    EXPECT_FALSE(ini.HasSection("UnfinishedJobs_0001"));
    EXPECT_EQ(o.UnfinishedJobKeys(), std::vector<std::string>{"/downloads/big.nzb"});
    auto items = o.TakeUnfinishedJob("/DOWNLOADS/BIG.NZB");
    ASSERT_TRUE(items.has_value());
    ASSERT_EQ(items->size(), 11u);
    EXPECT_EQ((*items)[10], "item 10");
    EXPECT_FALSE(o.TakeUnfinishedJob("/downloads/big.nzb"));
}

TEST_F(SettingsTest, UnfinishedJobsOfSeveralFilesShareSections) {
    {
        CSavedOptions o;
        ASSERT_TRUE(o.Load(*Engine(), kProgram));
        for (int i = 0; i < 3; ++i)
            o.AddUnfinishedItem("/a.nzb", "A" + std::to_string(i));
        for (int i = 0; i < 7; ++i)
            o.AddUnfinishedItem("/b.nzb", "B" + std::to_string(i));
    }
    CProfileFile ini(configPath);
    ASSERT_TRUE(ini.Load());
    EXPECT_EQ(ini.GetSectionLines("UnfinishedJobs_0000").size(), 8u);
    EXPECT_EQ(ini.GetSectionLines("UnfinishedJobs_0001"),
              (std::vector<std::string>{"/b.nzb_000005=B5", "/b.nzb_000006=B6"}));
    CSavedOptions o;
    ASSERT_TRUE(o.Load(*Engine(), kProgram));
    EXPECT_EQ(o.TakeUnfinishedJob("/b.nzb").value_or(std::vector<std::string>{}).size(), 7u);
    EXPECT_EQ(o.TakeUnfinishedJob("/a.nzb").value_or(std::vector<std::string>{}).size(), 3u);
}

}  // namespace
}  // namespace quivern
