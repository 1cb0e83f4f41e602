// Runs the real quivern-get binary with its own settings root, as a user would.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/profile.h"
#include "support/temp_dir.h"

namespace quivern {
namespace {

struct Result {
    int code = -1;
    std::string out;
    std::string err;
};

class QuivernGet : public ::testing::Test {
protected:
    Result Get(const std::string& args) {
        const std::string errFile = tmp.File("stderr.txt");
        const std::string cmd = "env XDG_CONFIG_HOME='" + tmp.File("config") + "' HOME='" + tmp.Path() +
                                "' LANG=en_US.UTF-8 LC_ALL= LC_MESSAGES= '" + std::string(QUIVERN_BIN_DIR) +
                                "/quivern-get' " + args + " 2>'" + errFile + "'";
        Result r;
        std::FILE* p = ::popen(cmd.c_str(), "r");
        if (p == nullptr) return r;
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            r.out.append(buf, n);
        const int status = ::pclose(p);
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.err = test::ReadFile(errFile);
        return r;
    }
    std::string Config() const { return tmp.File("config/quivern/Config.ini"); }
    bool EnsureFolder() const {
        std::error_code ec;
        std::filesystem::create_directories(tmp.File("config/quivern"), ec);
        return !ec;
    }
    test::TempDir tmp;
};

TEST_F(QuivernGet, InfoListsEveryMultipartAndTotals) {
    const Result r = Get("info '" + test::TestData("nzb/nzb-rs/big_buck_bunny.nzb") + "'");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("[1/5] - \"Big Buck Bunny - S01E01.mkv\" yEnc (1/24) 16981056\t24\t17521761\t"
                         "2024-01-28 11:18:28\talt.binaries.boneless\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.substr(r.out.rfind("nzb: ")), "nzb: files=5 articles=35 bytes=22704889\n");
}

TEST_F(QuivernGet, InvalidFileGivesTheProgramsMessageAndNothingElse) {
    // Truncated XML, and a document whose bytes do not fit its declared encoding (the XML
    // library would report that on its own if it were allowed to).
    for (const std::string& content :
         {std::string("<nzb><file"),
          std::string("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\xff\xff\xff\xff<nzb>")}) {
        const std::string bad = tmp.Write("broken.nzb", content);
        const Result r = Get("info '" + bad + "'");
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err, "The NZB file \"" + bad + "\" cannot be showed.\n");
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(QuivernGet, UsageErrors) {
    for (const char* args : {"", "bogus", "info", "info a b", "servers add", "servers add host:notaport",
                             "servers add h:1 --socks5", "servers add h:1 --proxy-user u", "servers remove x",
                             "servers add 127.0.0.1:1 --accept-untrusted-cert"}) {
        const Result r = Get(args);
        EXPECT_EQ(r.code, 2) << args;
        EXPECT_NE(r.err.find("usage: quivern-get"), std::string::npos) << args;
    }
}

TEST_F(QuivernGet, ServersAreChangedThroughTheSettingsStore) {
    Result r = Get("servers");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "no servers configured\n");

    r = Get("servers add 127.0.0.1:8119 --user bob --password 's3;cret' --tls");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.find("s3;cret"), std::string::npos);  // the password is masked
    r = Get("servers add localhost --socks4 127.0.0.1:1080");
    ASSERT_EQ(r.code, 0) << r.err;
    r = Get("servers add 127.0.0.2:119 --socks5-dns 127.0.0.1:1081 --proxy-user pu --proxy-password pp");
    ASSERT_EQ(r.code, 0) << r.err;
    r = Get("servers add unresolvable.invalid:119");
    EXPECT_EQ(r.code, 1);

    CProfileFile ini(Config());
    ASSERT_TRUE(ini.Load());
    EXPECT_EQ(ini.GetSectionLines("Servers"),
              (std::vector<std::string>{"0=127.0.0.1;8119;bob;{base64}czM7Y3JldA==;1;0;;0;;",
                                        "1=localhost;119;;;0;3;127.0.0.1;1080;;",
                                        "2=127.0.0.2;119;;;0;1;127.0.0.1;1081;pu;pp"}));

    r = Get("servers");
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.out,
              "0: 127.0.0.1:8119 user=bob password=*** tls=yes proxy=none\n"
              "1: localhost:119 user= password= tls=no proxy=socks4 127.0.0.1:1080\n"
              "2: 127.0.0.2:119 user= password= tls=no proxy=socks5-dns 127.0.0.1:1081 proxy-user=pu "
              "proxy-password=***\n");

    r = Get("servers remove 1");
    ASSERT_EQ(r.code, 0) << r.err;
    r = Get("servers remove 7");
    EXPECT_EQ(r.code, 1);
    ASSERT_TRUE(ini.Load());
    EXPECT_EQ(ini.GetSectionLines("Servers").size(), 2u);
    EXPECT_EQ(ini.GetString("Servers", "1", ""), "127.0.0.2;119;;;0;1;127.0.0.1;1081;pu;pp");
}

TEST_F(QuivernGet, AServerThatDoesNotResolveStaysUntilRemoved) {
    ASSERT_TRUE(EnsureFolder());
    ASSERT_TRUE(WriteFileAtomically(Config(), "[Servers]\n0=gone.invalid;119;u;p;0;0;;0;;\n", 0600));
    Result r = Get("servers add 127.0.0.1:119");
    ASSERT_EQ(r.code, 0) << r.err;
    CProfileFile ini(Config());
    ASSERT_TRUE(ini.Load());
    EXPECT_EQ(ini.GetSectionLines("Servers"),
              (std::vector<std::string>{"0=127.0.0.1;119;;;0;0;;0;;", "1=gone.invalid;119;u;p;0;0;;0;;"}));
    r = Get("servers");
    EXPECT_NE(r.out.find("1: gone.invalid:119 (host not resolved; kept until removed)"), std::string::npos)
        << r.out;
    ASSERT_EQ(Get("servers remove 1").code, 0);
    ASSERT_TRUE(ini.Load());
    EXPECT_EQ(ini.GetSectionLines("Servers"), std::vector<std::string>{"0=127.0.0.1;119;;;0;0;;0;;"});
}

}  // namespace
}  // namespace quivern
