// The built-in German set and the English language library: completeness, look-ups, switching
// the process-wide source, and refusing damaged packs.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/resources.h"
#include "res_fixture.h"

namespace quivern::test {
namespace {

std::shared_ptr<const CResourceLibrary> English() {
    auto lib = CResourceLibrary::Open(EnglishLibraryPath());
    EXPECT_TRUE(lib) << EnglishLibraryPath();
    return lib;
}

class ResourceSource : public ::testing::Test {
protected:
    void SetUp() override { SetResourceSource(nullptr); }
    void TearDown() override { SetResourceSource(nullptr); }
};

std::vector<std::uint32_t> StringNumbers() {
    std::vector<std::uint32_t> ids;
    for (std::uint32_t i = 101; i <= 169; ++i)
        ids.push_back(i);
    for (std::uint32_t i = 10000; i <= 10015; ++i)
        ids.push_back(i);
    for (std::uint32_t i = 30000; i <= 30055; ++i)
        ids.push_back(i);
    return ids;
}

TEST(ResourceSets, BothSetsHoldEveryNumber) {
    const auto english = English();
    ASSERT_TRUE(english);
    const std::pair<const char*, const CResourcePack*> packs[] = {{"German", &BuiltInResources()},
                                                                  {"English", &english->Pack()}};
    for (const auto& [name, pack] : packs) {
        SCOPED_TRACE(name);
        for (std::uint32_t id : StringNumbers()) {
            const auto s = pack->String(id);
            ASSERT_TRUE(s) << "string " << id;
            EXPECT_FALSE(s->empty()) << "string " << id;
        }
        for (std::uint32_t id : {100, 102, 131, 134, 137, 138, 140, 141, 148, 149, 153, 155, 156, 157, 158,
                                 159, 166, 167, 171}) {
            EXPECT_TRUE(pack->Dialog(id)) << "dialog " << id;
        }
        for (std::uint32_t id : {129, 132, 133, 135, 136})
            EXPECT_TRUE(pack->GetMenu(id)) << "menu " << id;
        const auto accel = pack->Accelerators(128);
        ASSERT_TRUE(accel);
        EXPECT_EQ(accel->entries.size(), 24u);

        const std::pair<std::uint32_t, std::vector<int>> images[] = {{128, {16, 24, 32, 48, 128, 256}},
                                                                     {162, {16}},
                                                                     {163, {16}},
                                                                     {169, {16}},
                                                                     {170, {16}},
                                                                     {164, {48}},
                                                                     {165, {48}},
                                                                     {142, {16}},
                                                                     {144, {16}},
                                                                     {145, {16}},
                                                                     {146, {16}},
                                                                     {147, {16}},
                                                                     {150, {16}},
                                                                     {151, {16}}};
        for (const auto& [id, sizes] : images) {
            const auto img = pack->Image(id);
            ASSERT_TRUE(img) << "image " << id;
            std::vector<int> got;
            for (const auto& v : img->variants) {
                got.push_back(v.size);
                EXPECT_NE(v.bytes.find("<svg"), std::string::npos) << "image " << id;
            }
            EXPECT_EQ(got, sizes) << "image " << id;
        }
        // Bitmaps and icons keep their kind.
        EXPECT_TRUE(pack->Raw(ResourceType::Bitmap, 142));
        EXPECT_TRUE(pack->Raw(ResourceType::Icon, 164));
    }
}

TEST(ResourceSets, EveryResourceIsTaggedWithItsLanguage) {
    const auto english = English();
    ASSERT_TRUE(english);
    EXPECT_EQ(BuiltInResources().Language(), kLangGerman);
    for (const auto& e : BuiltInResources().Entries())
        EXPECT_EQ(e.language, kLangGerman);
    EXPECT_EQ(english->Languages(), std::vector<std::uint16_t>{kLangEnglish});
}

TEST_F(ResourceSource, LookupsFollowTheSelectedSource) {
    const auto english = English();
    ASSERT_TRUE(english);
    struct Expect {
        std::uint32_t id;
        const char* german;
        const char* english;
    };
    const Expect strings[] = {
        {101, "Über Quivern...", "About Quivern..."},
        {112, "%d.%m.%Y %H:%M:%S", "%m.%d.%Y %H:%M:%S"},
        {116, "\"%s\" schließen\tStrg-F4", "Close \"%s\"\tCtrl-F4"},
        {122, "%s:%hu / SSL: %s / Proxy: %s", "%s:%hu / SSL: %s / Proxy: %s"},
        {153, " Fehler bei %d.", " Error for %d."},
        {30022, nullptr,
         "At least one connecting channel has failed. It tries to establish the connection further on this "
         "channel, but this can also fail. Exact cause can be the following:\n\n"},
    };
    for (const auto& s : strings) {
        SCOPED_TRACE(s.id);
        SetResourceSource(nullptr);
        EXPECT_EQ(CurrentResourceLanguage(), kLangGerman);
        if (s.german != nullptr) {
            EXPECT_EQ(LoadString(s.id), s.german);
        }
        SetResourceSource(english);
        EXPECT_EQ(CurrentResourceLanguage(), kLangEnglish);
        EXPECT_EQ(LoadString(s.id), s.english);
    }
    EXPECT_EQ(LoadString(99999), "");
    EXPECT_FALSE(FindString(99999));

    // Help topics: title, tab, description.
    const std::string topic = LoadString(10015);
    EXPECT_EQ(topic.substr(0, topic.find('\t')), "Set password");
    EXPECT_GT(topic.size(), topic.find('\t') + 10);
    SetResourceSource(nullptr);
    EXPECT_EQ(LoadString(10015).substr(0, LoadString(10015).find('\t')), "Kennwort festlegen");
}

TEST_F(ResourceSource, DialogsMenusShortcutsAndImages) {
    SetResourceSource(English());
    const auto about = LoadDialogTemplate(100);
    ASSERT_TRUE(about);
    EXPECT_EQ(about->title, "About Quivern");
    EXPECT_EQ(about->width, 243);
    EXPECT_EQ(about->height, 141);
    const DialogControl* link = about->Find(1047);
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->kind, "link");
    EXPECT_EQ(link->text, "Contact us");
    EXPECT_EQ(link->Property("tooltip"),
              "Here you can write an e-mail to communicate any suggestions or comments.");
    EXPECT_EQ(link->Property("href")->rfind("mailto:", 0), 0u);
    ASSERT_NE(about->Find(1), nullptr);
    EXPECT_TRUE(about->Find(1)->HasStyle("default"));

    const auto post = LoadDialogTemplate(159);
    ASSERT_TRUE(post);
    EXPECT_EQ(post->Find(1074)->Property("image"), "165");
    EXPECT_TRUE(post->Find(1077)->HasStyle("hidden"));

    const auto menu = LoadMenu(129);
    ASSERT_TRUE(menu);
    ASSERT_EQ(menu->items.size(), 4u);
    EXPECT_EQ(menu->items[2].text, "E&xtra");
    ASSERT_NE(menu->FindCommand(32866), nullptr);
    EXPECT_EQ(menu->FindCommand(32866)->text, "Network Usage...\tStrg-M");
    EXPECT_EQ(menu->FindCommand(32809)->text, "DUMMY");
    EXPECT_EQ(LoadMenu(133)->name, "NZBSPLIT");

    const auto accel = LoadAcceleratorTable(128);
    ASSERT_TRUE(accel);
    const auto find = [&](std::uint8_t mods, const char* key) -> std::uint32_t {
        for (const auto& a : accel->entries) {
            if (a.modifiers == mods && a.key == key) return a.command;
        }
        return 0;
    };
    EXPECT_EQ(find(kAccelCtrl, ","), 32782u);
    EXPECT_EQ(find(0, "Esc"), 2u);
    EXPECT_EQ(find(kAccelAlt | kAccelShift, "F5"), 32811u);
    EXPECT_EQ(find(kAccelCtrl | kAccelAlt, "F5"), 32881u);
    EXPECT_EQ(find(kAccelCtrl, "Tab"), 32858u);

    const auto small = LoadImage(128, 16);
    ASSERT_TRUE(small);
    EXPECT_EQ(small->size, 16);
    EXPECT_EQ(LoadImage(128)->size, 256);      // no size asked: the largest
    EXPECT_EQ(LoadImage(128, 64)->size, 256);  // no such size: the largest
    EXPECT_EQ(LoadImage(165, 48)->format, "svg");
    EXPECT_FALSE(LoadImage(4711));
}

TEST_F(ResourceSource, ReadersSeeOneWholeSourceWhileItIsSwitched) {
    const auto english = English();
    ASSERT_TRUE(english);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!stop) {
                const std::string s = LoadString(101);
                if (s != "Über Quivern..." && s != "About Quivern...") ++bad;
            }
        });
    }
    for (int i = 0; i < 300; ++i) {
        // A fresh library each time, so a reader holding a released one would read freed memory.
        SetResourceSource(i % 2 ? CResourceLibrary::Open(EnglishLibraryPath()) : nullptr);
    }
    stop = true;
    for (auto& r : readers)
        r.join();
    EXPECT_EQ(bad, 0);
}

// A small pack with every kind, used to damage it byte by byte.
std::string SmallPack(const TempDir& dir) {
    dir.Write("img/x.svg", "<svg/>");
    const auto set =
        WriteSet(dir, "s", 1036, "1 \"un\"\n2 \"deux\"\n",
                 {{"dialogs.txt", "dialog 3 10 10 \"T\"\n  1 button \"OK\" default\n  - label \"L\"\nend\n"},
                  {"menus.txt",
                   "menu 4 \"M\"\n  popup \"P\"\n    item 5 \"I\"\n    popup \"Q\"\n      item 6 \"J\"\n"
                   "    end\n  end\nend\n"},
                  {"accelerators.txt", "accelerators 7\n  Ctrl+A 5\nend\n"},
                  {"images.txt", "icon 8 16 ../img/x.svg\n"}});
    const auto r = RunRespack({"pack", set, dir.File("small.pack")});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return ReadFile(dir.File("small.pack"));
}

void ReadEverything(const CResourcePack& pack) {
    for (const auto& e : pack.Entries()) {
        EXPECT_TRUE(pack.Raw(e.type, e.id));
        switch (e.type) {
            case ResourceType::Dialog:
                EXPECT_TRUE(pack.Dialog(e.id));
                break;
            case ResourceType::Menu:
                EXPECT_TRUE(pack.GetMenu(e.id));
                break;
            case ResourceType::Accelerator:
                EXPECT_TRUE(pack.Accelerators(e.id));
                break;
            case ResourceType::Icon:
            case ResourceType::Bitmap:
                EXPECT_TRUE(pack.Image(e.id));
                break;
            default:
                break;
        }
    }
}

TEST(ResourcePack, DamagedPacksAreRefused) {
    TempDir dir;
    const std::string good = SmallPack(dir);
    ASSERT_GT(good.size(), kResourcePackHeaderSize);
    const auto pack = CResourcePack::FromBytes(good);
    ASSERT_TRUE(pack);
    ASSERT_EQ(pack->Entries().size(), 6u);
    ReadEverything(*pack);

    for (std::size_t n = 0; n < good.size(); ++n)
        EXPECT_FALSE(CResourcePack::FromBytes(good.substr(0, n))) << "cut to " << n;
    EXPECT_FALSE(CResourcePack::FromBytes(good + "x")) << "trailing byte";

    // Header and entry table: magic, version, entry count, total size, data offset, and each
    // entry's offset and size fields must be exact.
    for (std::size_t pos : {0u, 4u, 8u, 12u, 16u, 20u + 8u, 20u + 12u, 20u + 5 * 16u + 12u}) {
        std::string bad = good;
        bad[pos] = static_cast<char>(bad[pos] ^ 0x40);
        EXPECT_FALSE(CResourcePack::FromBytes(bad)) << "changed byte " << pos;
    }
    // Entries out of order (the first two swapped) could hide a duplicate.
    std::string swapped = good;
    std::swap_ranges(swapped.begin() + 20, swapped.begin() + 36, swapped.begin() + 36);
    EXPECT_FALSE(CResourcePack::FromBytes(swapped));

    // Any single damaged byte either is refused or still gives a pack whose every resource
    // decodes; the sanitizer build turns an out-of-bounds read here into a failure.
    int refused = 0;
    for (std::size_t pos = 0; pos < good.size(); ++pos) {
        for (unsigned char value : {0x00, 0xFF, 0x7F}) {
            std::string bad = good;
            bad[pos] = static_cast<char>(value);
            if (auto p = CResourcePack::FromBytes(bad))
                ReadEverything(*p);
            else
                ++refused;
        }
    }
    EXPECT_GT(refused, 0);

    const std::string damaged = dir.Write("damaged_enu.so", good.substr(0, good.size() / 2));
    EXPECT_FALSE(CResourceLibrary::Open(damaged));
    EXPECT_FALSE(CResourceLibrary::Open(dir.File("missing.so")));
    EXPECT_FALSE(CResourceLibrary::Open(dir.Path()));  // a folder
}

}  // namespace
}  // namespace quivern::test
