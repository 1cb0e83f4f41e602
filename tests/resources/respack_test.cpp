// The build-time check and packing of resource sets by respack.

#include <gtest/gtest.h>

#include <fstream>

#include "platform/resources.h"
#include "res_fixture.h"

namespace quivern::test {
namespace {

TEST(RespackCheck, RealSetsAgree) {
    const auto r = RunRespack({"check", ResourceSetDir("de"), ResourceSetDir("en")});
    EXPECT_EQ(r.exitCode, 0) << r.output;
}

struct CheckCase {
    const char* name;
    const char* first;   // strings.txt of the first set
    const char* second;  // strings.txt of the second set
    bool passes;
    const char* message;  // part of respack's complaint when it fails
};

TEST(RespackCheck, StringTablesMustAgree) {
    const CheckCase cases[] = {
        {"same numbers and conversions", "1 \"%s - %d\"\n2 \"a\"\n", "1 \"%s -- %d\"\n2 \"b\"\n", true, ""},
        {"number missing from the second", "1 \"a\"\n2 \"b\"\n", "1 \"a\"\n", false,
         "string 2 is missing from"},
        {"number missing from the first", "1 \"a\"\n", "1 \"a\"\n3 \"c\"\n", false,
         "string 3 is missing from"},
        {"conversions swapped", "1 \"%s has %d\"\n", "1 \"%d hat %s\"\n", false, "conversions differ"},
        {"conversion dropped", "1 \"%s: %s\"\n", "1 \"%s\"\n", false, "conversions differ"},
        {"length modifier differs", "1 \"port %hu\"\n", "1 \"Port %u\"\n", false, "conversions differ"},
        {"64-bit size kept", "1 \"%I64u,%03I64u %s\"\n", "1 \"%I64u.%03I64u %s\"\n", true, ""},
        {"a literal percent is no conversion", "1 \"100%% done %d\"\n", "1 \"%d zu 100%%\"\n", true, ""},
        {"date fields reordered", "1 strftime \"%m.%d.%Y\"\n", "1 strftime \"%d.%m.%Y\"\n", true, ""},
        {"date field replaced", "1 strftime \"%m.%d.%Y\"\n", "1 strftime \"%d.%H.%Y\"\n", false,
         "conversions differ"},
        {"plain text reordered is not a date", "1 \"%m.%d\"\n", "1 \"%d.%m\"\n", false, "conversions differ"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto a = WriteSet(dir, "a", 1031, c.first);
        const auto b = WriteSet(dir, "b", 1033, c.second);
        const auto r = RunRespack({"check", a, b});
        EXPECT_EQ(r.exitCode, c.passes ? 0 : 1) << r.output;
        if (!c.passes) {
            EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        }
    }
}

TEST(RespackCheck, OtherKindsMustAgree) {
    constexpr const char* kDialog =
        "dialog 7 10 10 \"T\"\n  1 button \"OK\" default\n  2 button \"X\"\nend\n";
    constexpr const char* kMenu = "menu 9 \"M\"\n  popup \"&F\"\n    item 100 \"&O\"\n  end\nend\n";
    struct OtherCase {
        const char* name;
        const char* file;
        const char* first;
        const char* second;
        const char* message;
    };
    const OtherCase cases[] = {
        {"dialog missing", "dialogs.txt", kDialog, "", "dialog 7 is missing"},
        {"dialog controls differ", "dialogs.txt", kDialog,
         "dialog 7 10 10 \"T\"\n  1 button \"OK\" default\n  3 button \"X\"\nend\n",
         "dialog 7: controls differ"},
        {"menu commands differ", "menus.txt", kMenu,
         "menu 9 \"M\"\n  popup \"&D\"\n    item 101 \"&O\"\n  end\nend\n", "menu 9: items differ"},
        {"shortcut differs", "accelerators.txt", "accelerators 5\n  Ctrl+O 1\nend\n",
         "accelerators 5\n  Ctrl+P 1\nend\n", "accelerator table 5 differs"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto a = WriteSet(dir, "a", 1031, "1 \"x\"\n", {{c.file, c.first}});
        const auto b = WriteSet(dir, "b", 1033, "1 \"y\"\n", {{c.file, c.second}});
        const auto r = RunRespack({"check", a, b});
        EXPECT_EQ(r.exitCode, 1) << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    }
}

TEST(RespackCheck, MalformedSourcesNameFileAndLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"1 \"a\"\n2 \"bad \\q escape\"\n", "strings.txt:2"},
        {"1 \"a\"\n1 \"again\"\n", "defined twice"},
        {"1 \"unterminated\n", "missing closing quote"},
        {"x \"a\"\n", "expected a number"},
    };
    for (const auto& [strings, message] : cases) {
        SCOPED_TRACE(strings);
        TempDir dir;
        const auto a = WriteSet(dir, "a", 1031, strings);
        const auto r = RunRespack({"pack", a, dir.File("out.pack")});
        EXPECT_EQ(r.exitCode, 1) << r.output;
        EXPECT_NE(r.output.find(message), std::string::npos) << r.output;
        EXPECT_FALSE(std::ifstream(dir.File("out.pack")).good());
    }
    TempDir dir;
    const auto noEnd =
        WriteSet(dir, "a", 1031, "", {{"dialogs.txt", "dialog 1 1 1 \"T\"\n  1 button \"x\"\n"}});
    EXPECT_EQ(RunRespack({"pack", noEnd, dir.File("o")}).exitCode, 1);
    const auto badKey =
        WriteSet(dir, "b", 1031, "", {{"accelerators.txt", "accelerators 1\n  Ctrl+Enter 5\nend\n"}});
    EXPECT_EQ(RunRespack({"pack", badKey, dir.File("o")}).exitCode, 1);
}

TEST(RespackPack, PackedSetReadsBackWithEveryKind) {
    TempDir dir;
    dir.Write("img/dot.svg", "<svg/>");
    const auto set =
        WriteSet(dir, "fr", 1036,
                 "# comment\n5 \"Ligne\\nsuivante\\t\\\"citée\\\" \\\\ fin\"\n6 \"début \"\n  \"et suite\"\n",
                 {{"dialogs.txt",
                   "dialog 40 200 100 \"Titre\"\n  - label \"Texte\" center\n  12 link \"Lien\" "
                   "href=\"mailto:a b\"\nend\n"},
                  {"menus.txt",
                   "menu 41 \"CTX\"\n  popup \"&Fichier\"\n    item 300 \"&Ouvrir\\tCtrl-O\"\n    separator\n"
                   "    popup \"Sous\"\n      item 301 \"X\"\n    end\n  end\nend\n"},
                  {"accelerators.txt", "accelerators 42\n  Ctrl+Alt+Shift+F12 300\n  Ctrl+, 301\nend\n"},
                  {"images.txt", "icon 43 16 ../img/dot.svg\nicon 43 48 ../img/dot.svg\n"}});
    const std::string out = dir.File("fr.pack");
    const auto r = RunRespack({"pack", set, out});
    ASSERT_EQ(r.exitCode, 0) << r.output;

    const auto lib = CResourceLibrary::Open(out);
    ASSERT_TRUE(lib);
    const CResourcePack& pack = lib->Pack();
    EXPECT_EQ(pack.Language(), 1036);
    EXPECT_EQ(lib->Languages(), std::vector<std::uint16_t>{1036});
    EXPECT_EQ(pack.String(5), "Ligne\nsuivante\t\"citée\" \\ fin");
    EXPECT_EQ(pack.String(6), "début et suite");
    EXPECT_FALSE(pack.String(7));

    const auto dlg = pack.Dialog(40);
    ASSERT_TRUE(dlg);
    EXPECT_EQ(dlg->width, 200);
    EXPECT_EQ(dlg->title, "Titre");
    ASSERT_EQ(dlg->controls.size(), 2u);
    EXPECT_EQ(dlg->controls[0].id, -1);
    EXPECT_TRUE(dlg->controls[0].HasStyle("center"));
    EXPECT_EQ(dlg->Find(12)->Property("href"), "mailto:a b");

    const auto menu = pack.GetMenu(41);
    ASSERT_TRUE(menu);
    EXPECT_EQ(menu->name, "CTX");
    ASSERT_EQ(menu->items.size(), 1u);
    EXPECT_EQ(menu->items[0].children.size(), 3u);
    EXPECT_EQ(menu->items[0].children[1].kind, MenuItem::Kind::Separator);
    ASSERT_NE(menu->FindCommand(301), nullptr);
    EXPECT_EQ(menu->FindCommand(300)->text, "&Ouvrir\tCtrl-O");

    const auto acc = pack.Accelerators(42);
    ASSERT_TRUE(acc);
    ASSERT_EQ(acc->entries.size(), 2u);
    EXPECT_EQ(acc->entries[0].modifiers, kAccelCtrl | kAccelAlt | kAccelShift);
    EXPECT_EQ(acc->entries[0].key, "F12");
    EXPECT_EQ(acc->entries[1].key, ",");

    const auto img = pack.Image(43);
    ASSERT_TRUE(img);
    ASSERT_EQ(img->variants.size(), 2u);
    EXPECT_EQ(img->variants[1].size, 48);
    EXPECT_EQ(img->variants[1].format, "svg");
    EXPECT_EQ(img->variants[1].bytes, "<svg/>");
}

}  // namespace
}  // namespace quivern::test
