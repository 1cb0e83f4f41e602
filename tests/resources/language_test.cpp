// Choosing the user-interface language at start-up from Config.ini, the locale and the language
// libraries beside the program, with real library files and a private settings root.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>

#include "app/get_languages.h"
#include "app/language.h"
#include "platform/resources.h"
#include "res_fixture.h"

namespace quivern::test {
namespace {

constexpr const char* kLocaleVars[] = {"XDG_CONFIG_HOME", "LC_ALL", "LC_MESSAGES", "LANG"};

// A program folder and a settings root of its own, with library files made by the real packer.
class Sandbox {
public:
    Sandbox() {
        std::filesystem::create_directories(m_dir.File("prog"));
        for (const char* var : kLocaleVars)
            ::unsetenv(var);
        ::setenv("XDG_CONFIG_HOME", m_dir.File("config").c_str(), 1);
        SetResourceSource(nullptr);
    }

    std::string File(const std::string& name) const { return m_dir.File(name); }
    std::string Program(const char* name = "quivern") const { return File(std::string("prog/") + name); }

    void WriteLanguageSetting(const char* program, std::optional<int> language) const {
        std::string text = "[General]\nMaxChannels=4\n";
        if (language) text += "Language=" + std::to_string(*language) + "\n";
        m_dir.Write(std::string("config/") + program + "/Config.ini", text);
    }

    std::string AddEnglish(const char* name = "quivern_enu.so") const {
        const std::string path = Program(name);
        std::filesystem::copy_file(EnglishLibraryPath(), path);
        return path;
    }
    std::string AddPacked(const char* name, int language, const char* text101) const {
        const auto set =
            WriteSet(m_dir, std::string("src/") + name, language, std::string("101 \"") + text101 + "\"\n",
                     {{"menus.txt", "menu 129 \"\"\n  item 32772 \"x\"\nend\n"}});
        const std::string path = Program(name);
        const auto r = RunRespack({"pack", set, path});
        EXPECT_EQ(r.exitCode, 0) << r.output;
        return path;
    }
    std::string AddFrench(const char* name = "quivern_fra.so") const {
        return AddPacked(name, 1036, "À propos de Quivern...");
    }
    std::string AddNeutral(const char* name = "quivern_neu.so") const {
        return AddPacked(name, 0, "neutral");
    }
    std::string AddDamaged(const char* name = "quivern_bad.so") const {
        const std::string english = ReadFile(EnglishLibraryPath());
        return m_dir.Write(std::string("prog/") + name, english.substr(0, english.size() - 7));
    }
    const TempDir& Dir() const { return m_dir; }

private:
    TempDir m_dir;
};

// Restores the caller's environment and the built-in resources after each test.
class LanguageSelection : public ::testing::Test {
protected:
    LanguageSelection() {
        for (const char* var : kLocaleVars) {
            if (const char* v = std::getenv(var)) m_saved[var] = v;
        }
    }
    ~LanguageSelection() override {
        SetResourceSource(nullptr);
        for (const char* var : kLocaleVars) {
            if (auto it = m_saved.find(var); it != m_saved.end())
                ::setenv(var, it->second.c_str(), 1);
            else
                ::unsetenv(var);
        }
    }

    std::map<std::string, std::string> m_saved;
};

TEST_F(LanguageSelection, PicksTheLibraryByTheRules) {
    enum Lib { En = 1, Fr = 2, Neutral = 4, Damaged = 8 };
    struct Case {
        const char* name;
        std::optional<int> setting;  // Language in Config.ini
        const char* lang;            // LANG
        int libs;
        const char* chosen;  // file name of the library in use, "" for the built-in set
        const char* text101;
    };
    const Case cases[] = {
        {"German wanted", 1031, nullptr, En | Fr, "", "Über Quivern..."},
        {"Swiss German wanted", 2055, nullptr, En, "", "Über Quivern..."},
        {"English wanted", 1033, nullptr, En, "quivern_enu.so", "About Quivern..."},
        {"British English: same primary language", 2057, nullptr, En, "quivern_enu.so", "About Quivern..."},
        {"French without French library: English", 1036, nullptr, En, "quivern_enu.so", "About Quivern..."},
        {"French with French library", 1036, nullptr, En | Fr, "quivern_fra.so", "À propos de Quivern..."},
        {"Canadian French: same primary language", 3084, nullptr, En | Fr, "quivern_fra.so",
         "À propos de Quivern..."},
        {"Japanese, no English library", 1041, nullptr, Fr, "", "Über Quivern..."},
        {"no setting, French locale", std::nullopt, "fr_FR.UTF-8", En, "quivern_enu.so", "About Quivern..."},
        {"no setting, German locale", std::nullopt, "de_AT.UTF-8", En, "", "Über Quivern..."},
        {"no setting, C locale", std::nullopt, "C", En | Fr, "quivern_enu.so", "About Quivern..."},
        {"no libraries", 1033, nullptr, 0, "", "Über Quivern..."},
        {"only a neutral library", 1033, nullptr, Neutral, "", "Über Quivern..."},
        {"only a damaged library", 1033, nullptr, Damaged, "", "Über Quivern..."},
        {"neutral and damaged ones are skipped", 1033, nullptr, En | Neutral | Damaged, "quivern_enu.so",
         "About Quivern..."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        if (c.lang != nullptr) {
            ::setenv("LANG", c.lang, 1);
        }
        box.WriteLanguageSetting("quivern", c.setting);
        if (c.libs & En) {
            box.AddEnglish();
        }
        if (c.libs & Fr) {
            box.AddFrench();
        }
        if (c.libs & Neutral) {
            box.AddNeutral();
        }
        if (c.libs & Damaged) {
            box.AddDamaged();
        }

        const std::string chosen = SelectUserInterfaceLanguageFor(box.Program());
        EXPECT_EQ(std::filesystem::path(chosen).filename().string(), c.chosen);
        EXPECT_EQ(LoadString(101), c.text101);
        EXPECT_EQ(CurrentResourceLibrary() != nullptr, c.chosen[0] != '\0');
    }
}

TEST_F(LanguageSelection, LocaleVariablesInOrderOfPrecedence) {
    Sandbox box;
    box.AddEnglish();
    box.WriteLanguageSetting("quivern", std::nullopt);
    ::setenv("LANG", "en_US.UTF-8", 1);
    ::setenv("LC_MESSAGES", "de_DE.UTF-8", 1);
    EXPECT_EQ(SelectUserInterfaceLanguageFor(box.Program()), "");
    ::setenv("LC_ALL", "en_GB.UTF-8", 1);
    EXPECT_NE(SelectUserInterfaceLanguageFor(box.Program()), "");
    EXPECT_EQ(CurrentResourceLanguage(), kLangEnglish);
}

TEST_F(LanguageSelection, ProgramNameGivesSettingsFolderAndLibraryPattern) {
    Sandbox box;
    // A copy of the program named Other reads Other's settings and only Other_ libraries.
    box.AddEnglish("quivern_enu.so");
    box.AddFrench("Other_fr.so");
    box.WriteLanguageSetting("quivern", 1031);
    box.WriteLanguageSetting("Other", 1036);
    EXPECT_EQ(SelectUserInterfaceLanguageFor(box.Program("Other")), box.File("prog/Other_fr.so"));
    EXPECT_TRUE(std::filesystem::is_regular_file(box.File("config/Other/Config.ini")));

    // The settings folder is created when missing; the headless tool shares the program's name.
    SetResourceSource(nullptr);
    std::filesystem::remove_all(box.File("config"));
    ::setenv("LANG", "en_US.UTF-8", 1);
    EXPECT_EQ(SelectUserInterfaceLanguageFor(box.Program("quivern-get")), box.File("prog/quivern_enu.so"));
    EXPECT_TRUE(std::filesystem::is_directory(box.File("config/quivern")));
}

TEST_F(LanguageSelection, LibraryNamePattern) {
    Sandbox box;
    const std::string english = ReadFile(EnglishLibraryPath());
    for (const char* name :
         {"quivern_.so", "quivern_e.so", "quivern_enu.so", "quivern_engl.so", "quivern_english.so",
          "quivern_enu.so.1", "quivern-enu.so", "quivernx_enu.so", "Quivern_enu.so"}) {
        box.Dir().Write(std::string("prog/") + name, english);
    }
    std::filesystem::create_directories(box.File("prog/quivern_dir.so"));
    std::vector<std::string> names;
    for (const auto& p : FindLanguageModules(box.Program()))
        names.push_back(std::filesystem::path(p).filename().string());
    EXPECT_EQ(names,
              (std::vector<std::string>{"quivern_.so", "quivern_e.so", "quivern_engl.so", "quivern_enu.so"}));
}

TEST_F(LanguageSelection, NoSettingsFolderKeepsTheBuiltInSet) {
    Sandbox box;
    box.AddEnglish();
    ::setenv("LANG", "en_US.UTF-8", 1);
    // A settings root below a regular file cannot be created.
    box.Dir().Write("blocker", "");
    ::setenv("XDG_CONFIG_HOME", box.File("blocker/config").c_str(), 1);
    EXPECT_EQ(SelectUserInterfaceLanguageFor(box.Program()), "");
    EXPECT_EQ(CurrentResourceLanguage(), kLangGerman);
}

TEST_F(LanguageSelection, EnumerationDescribesEveryLanguageModule) {
    Sandbox box;
    const std::string en = box.AddEnglish();
    const std::string fr = box.AddFrench();
    const std::string neutral = box.AddNeutral();
    const std::string damaged = box.AddDamaged();

    LanguageTable table;
    EXPECT_TRUE(EnumerateLanguageModules({en, fr, neutral, damaged, box.File("prog/none.so")}, table));
    EXPECT_EQ(table, (LanguageTable{{"-", "#1031#German (Germany) - Deutsch"},
                                    {en, "#1033#English (United States) - English"},
                                    {fr, "#1036#French (France) - français"}}));

    LanguageTable empty;
    EXPECT_TRUE(EnumerateLanguageModules({}, empty));
    EXPECT_EQ(empty.size(), 1u);
    EXPECT_EQ(empty.count("-"), 1u);

    LanguageTable none;
    EXPECT_FALSE(EnumerateLanguageModules({neutral, damaged}, none));
    EXPECT_TRUE(none.empty());

    const auto lib = CResourceLibrary::Open(neutral);
    ASSERT_TRUE(lib);
    EXPECT_EQ(GetModuleLanguage(*lib), 0);
    EXPECT_EQ(GetModuleLanguage(*CResourceLibrary::Open(fr)), 1036);
    EXPECT_EQ(GetModuleLanguage(BuiltInResources()), kLangGerman);
}

TEST_F(LanguageSelection, LanguagesCommandListsTheDescriptors) {
    Sandbox box;
    box.AddEnglish();
    box.AddFrench();
    box.AddNeutral();
    std::ostringstream out;
    EXPECT_EQ(RunLanguagesCommandFor(out, box.Program("quivern-get")), 0);
    EXPECT_EQ(out.str(),
              "#1031#German (Germany) - Deutsch\n"
              "#1033#English (United States) - English\n"
              "#1036#French (France) - français\n");

    // Only undescribable libraries: the built-in set is still offered.
    std::filesystem::remove(box.File("prog/quivern_enu.so"));
    std::filesystem::remove(box.File("prog/quivern_fra.so"));
    std::ostringstream alone;
    EXPECT_EQ(RunLanguagesCommandFor(alone, box.Program()), 0);
    EXPECT_EQ(alone.str(), "#1031#German (Germany) - Deutsch\n");
}

TEST(LanguageNames, LocalesAndDescriptors) {
    const std::pair<const char*, int> locales[] = {
        {"de_DE.UTF-8", 1031}, {"de_CH", 2055}, {"de_AT.utf8@euro", 3079},
        {"de", 1031},          {"de_BE", 1031}, {"en_US.UTF-8", 1033},
        {"en_GB", 2057},       {"fr_FR", 1036}, {"fr-CA", 3084},
        {"pt_BR.UTF-8", 1046}, {"zh_TW", 1028}, {"nb_NO", 1044},
        {"EN_gb", 2057},       {"xx_YY", 0},    {"", 0},
    };
    for (const auto& [locale, id] : locales)
        EXPECT_EQ(LanguageIdFromLocaleName(locale), id) << locale;

    EXPECT_EQ(LanguageDescriptor(2055), "#2055#German (Switzerland) - Deutsch");
    EXPECT_EQ(LanguageDescriptor(9 | (30 << 10)), "#30729#English - English");  // unlisted country
    EXPECT_EQ(LanguageDescriptor(0x3FF), "#1023#Language 1023 - Language 1023");
    EXPECT_EQ(LanguageIdFromDescriptor("#2057#English (United Kingdom) - English"), 2057);
    for (const char* bad : {"", "#", "##x", "2057#x", "#20a7#x", "#99999#x", "#2057"})
        EXPECT_EQ(LanguageIdFromDescriptor(bad), 0) << bad;
}

}  // namespace
}  // namespace quivern::test
