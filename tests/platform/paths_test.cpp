#include <gtest/gtest.h>

#include <sys/stat.h>
#include <cstdlib>

#include "platform/paths.h"
#include "support/temp_dir.h"

namespace quivern {
namespace {

TEST(Paths, SettingsFolderRule) {
    struct Case {
        const char* program;
        const char* root;
        const char* expected;  // nullptr: unusable
    } cases[] = {
        {"/usr/bin/quivern", "/home/u/.config", "/home/u/.config/quivern"},
        {"/usr/bin/quivern-get", "/home/u/.config/", "/home/u/.config/quivern"},
        {"/opt/q/Other", "/home/u/.config", "/home/u/.config/Other"},
        {"/opt/q/Other-get", "/home/u/.config", "/home/u/.config/Other"},
        {"C:\\Programs\\Quivern.exe", "C:\\Users\\u\\AppData\\Roaming",
         "C:\\Users\\u\\AppData\\Roaming\\C_Quivern"},
        {"d:\\x\\Other.exe", "C:\\Users\\u\\AppData\\Roaming", "C:\\Users\\u\\AppData\\Roaming\\d_Other"},
        {"\\\\server\\share\\apps\\Quivern.exe", "C:\\R", "C:\\R\\server\\share_Quivern"},
        {"\\\\ab", "C:\\R", nullptr},
        {"\\\\a\\", "C:\\R", nullptr},
        {"/usr/bin/quivern", "", nullptr},
        {"relative/quivern", "/home/u/.config", nullptr},
    };
    for (const auto& c : cases) {
        const auto got = SettingsFolderFor(c.program, c.root);
        if (c.expected == nullptr) {
            EXPECT_FALSE(got.has_value()) << c.program << " -> " << got.value_or("");
        } else {
            EXPECT_EQ(got.value_or("<none>"), c.expected) << c.program;
        }
    }
}

TEST(Paths, EnsureSettingsFolderCreatesRootAndFolder) {
    test::TempDir tmp;
    const std::string root = tmp.File("deep/config");
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", root.c_str(), 1), 0);
    const auto folder = EnsureSettingsFolder("/opt/quivern/bin/quivern");
    ASSERT_TRUE(folder.has_value());
    EXPECT_EQ(*folder, root + "/quivern");
    EXPECT_TRUE(DirectoryExists(*folder));
    struct stat st {};
    ASSERT_EQ(::stat(folder->c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // A root that is a file cannot hold the folder.
    const std::string blocked = tmp.Write("blocked", "x");
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", blocked.c_str(), 1), 0);
    EXPECT_FALSE(EnsureSettingsFolder("/opt/quivern/bin/quivern").has_value());
    ::unsetenv("XDG_CONFIG_HOME");
}

TEST(Paths, FolderHelpers) {
    EXPECT_EQ(FolderOf("/a/b/c.nzb"), "/a/b");
    EXPECT_EQ(FolderOf("/c.nzb"), "/");
    EXPECT_EQ(FolderOf("c.nzb"), "");
    EXPECT_EQ(StripTrailingSeparator("/a/b//"), "/a/b");
    EXPECT_EQ(StripTrailingSeparator("/"), "/");
    EXPECT_EQ(JoinPath("/a", "b"), "/a/b");
    EXPECT_EQ(JoinPath("/a/", "b"), "/a/b");
}

}  // namespace
}  // namespace quivern
