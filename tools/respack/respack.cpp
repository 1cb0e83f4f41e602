// respack: checks the user-interface resource sets under resources/<lang> against each other and
// packs one set into a binary resource pack (or a C++ source holding the pack's bytes).
//
//   respack check DIR DIR...      every set holds the same numbers, format strings agree
//   respack pack DIR OUT          writes the pack of DIR to OUT
//   respack cpp DIR OUT           writes OUT.cpp defining quivern::kBuiltInResourcePack
//
// Exit codes: 0 success, 1 a set is malformed or the sets disagree, 2 wrong usage or I/O error.
//
// Source files of a set (all optional except language.txt; '#' starts a comment line):
//   language.txt      language <LANGID>
//   strings.txt       <id> [strftime] "text"      a following line holding only "text" continues it
//   dialogs.txt       dialog <id> <width> <height> "title"
//                       <id|-> <kind> "text" [style | key=value | key="value"]...
//                     end
//   menus.txt         menu <id> "name"
//                       item <id> "text" | separator | popup "text" ... end
//                     end
//   accelerators.txt  accelerators <id>  /  [Ctrl+][Alt+][Shift+]<key> <command>  /  end
//   images.txt        icon|bitmap <id> <size> <file relative to the set folder>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/resources.h"

namespace {

using quivern::AcceleratorTable;
using quivern::DialogTemplate;
using quivern::ImageResource;
using quivern::Menu;
using quivern::MenuItem;
using quivern::ResourceType;

struct ParseError {
    std::string message;
};

struct Token {
    std::string text;
    bool quoted = false;
};

struct StringEntry {
    std::string text;
    bool strftime = false;
};

struct ImageEntry {
    ResourceType type = ResourceType::Icon;
    ImageResource image;
};

struct ResourceSet {
    std::string dir;
    std::uint16_t language = 0;
    std::map<std::uint32_t, StringEntry> strings;
    std::map<std::uint32_t, DialogTemplate> dialogs;
    std::map<std::uint32_t, Menu> menus;
    std::map<std::uint32_t, AcceleratorTable> accelerators;
    std::map<std::uint32_t, ImageEntry> images;
};

// ---- reading the text sources ----------------------------------------------------------------

class SourceFile {
public:
    SourceFile(std::string path, bool required) : m_path(std::move(path)) {
        std::ifstream in(m_path, std::ios::binary);
        if (!in) {
            if (required) throw ParseError{m_path + ": cannot be read"};
            return;
        }
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            m_lines.push_back(line);
        }
    }

    // The next line that holds tokens; false at the end of the file.
    bool Next(std::vector<Token>& tokens) {
        while (m_index < m_lines.size()) {
            const std::string& line = m_lines[m_index++];
            tokens = Tokenize(line);
            if (!tokens.empty()) return true;
        }
        return false;
    }

    [[noreturn]] void Fail(const std::string& what) const {
        throw ParseError{m_path + ":" + std::to_string(m_index) + ": " + what};
    }

    std::uint32_t Number(const Token& t, std::uint32_t max = 0xFFFFFFFFu) const {
        if (t.quoted || t.text.empty() || t.text.find_first_not_of("0123456789") != std::string::npos ||
            t.text.size() > 10) {
            Fail("expected a number, got \"" + t.text + "\"");
        }
        const unsigned long long v = std::strtoull(t.text.c_str(), nullptr, 10);
        if (v > max) Fail("number out of range: " + t.text);
        return static_cast<std::uint32_t>(v);
    }

    std::string Quoted(const Token& t) const {
        if (!t.quoted) Fail("expected a quoted text, got " + t.text);
        return t.text;
    }

    void Expect(const std::vector<Token>& tokens, std::size_t count) const {
        if (tokens.size() != count)
            Fail("expected " + std::to_string(count) + " fields, got " + std::to_string(tokens.size()));
    }

    const std::string& Path() const { return m_path; }

private:
    std::string ReadQuoted(const std::string& line, std::size_t& i) const {
        std::string out;
        ++i;  // opening quote
        while (i < line.size() && line[i] != '"') {
            char c = line[i++];
            if (c == '\\') {
                if (i >= line.size()) Fail("unfinished escape");
                const char e = line[i++];
                switch (e) {
                    case 'n':
                        c = '\n';
                        break;
                    case 't':
                        c = '\t';
                        break;
                    case 'r':
                        c = '\r';
                        break;
                    case '"':
                        c = '"';
                        break;
                    case '\\':
                        c = '\\';
                        break;
                    default:
                        Fail(std::string("unknown escape \\") + e);
                }
            }
            out.push_back(c);
        }
        if (i >= line.size()) Fail("missing closing quote");
        ++i;
        return out;
    }

    std::vector<Token> Tokenize(const std::string& line) const {
        std::vector<Token> tokens;
        std::size_t i = 0;
        while (true) {
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
                ++i;
            if (i >= line.size()) break;
            if (tokens.empty() && line[i] == '#') break;
            if (line[i] == '"') {
                tokens.push_back({ReadQuoted(line, i), true});
                continue;
            }
            Token t;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
                if (line[i] == '"') {
                    // key="value with blanks"
                    if (t.text.empty() || t.text.back() != '=') Fail("stray quote in " + t.text);
                    t.text += ReadQuoted(line, i);
                    break;
                }
                t.text.push_back(line[i++]);
            }
            tokens.push_back(std::move(t));
        }
        return tokens;
    }

    std::string m_path;
    std::vector<std::string> m_lines;
    std::size_t m_index = 0;
};

template <typename Map>
void InsertUnique(SourceFile& f, Map& map, std::uint32_t id, typename Map::mapped_type value) {
    if (!map.emplace(id, std::move(value)).second)
        f.Fail("number " + std::to_string(id) + " is defined twice");
}

void ReadLanguage(ResourceSet& set) {
    SourceFile f(set.dir + "/language.txt", true);
    std::vector<Token> t;
    if (!f.Next(t) || t.size() != 2 || t[0].text != "language") f.Fail("expected: language <LANGID>");
    set.language = static_cast<std::uint16_t>(f.Number(t[1], 0xFFFF));
}

void ReadStrings(ResourceSet& set) {
    SourceFile f(set.dir + "/strings.txt", false);
    std::vector<Token> t;
    StringEntry* last = nullptr;
    while (f.Next(t)) {
        if (t[0].quoted) {
            if (last == nullptr || t.size() != 1) f.Fail("continuation line without a string before it");
            last->text += t[0].text;
            continue;
        }
        StringEntry e;
        std::size_t textIndex = 1;
        if (t.size() == 3 && !t[1].quoted && t[1].text == "strftime") {
            e.strftime = true;
            textIndex = 2;
        } else {
            f.Expect(t, 2);
        }
        const std::uint32_t id = f.Number(t[0], 0xFFFF);
        e.text = f.Quoted(t[textIndex]);
        InsertUnique(f, set.strings, id, e);
        last = &set.strings[id];
    }
}

void ReadDialogs(ResourceSet& set) {
    SourceFile f(set.dir + "/dialogs.txt", false);
    std::vector<Token> t;
    while (f.Next(t)) {
        if (t[0].text != "dialog" || t.size() != 5)
            f.Fail("expected: dialog <id> <width> <height> \"title\"");
        const std::uint32_t id = f.Number(t[1], 0xFFFF);
        DialogTemplate d;
        d.width = static_cast<int>(f.Number(t[2], 0xFFFF));
        d.height = static_cast<int>(f.Number(t[3], 0xFFFF));
        d.title = f.Quoted(t[4]);
        bool closed = false;
        while (f.Next(t)) {
            if (t.size() == 1 && !t[0].quoted && t[0].text == "end") {
                closed = true;
                break;
            }
            if (t.size() < 3) f.Fail("expected: <id|-> <kind> \"text\" [styles]");
            quivern::DialogControl c;
            c.id = t[0].text == "-" ? -1 : static_cast<int>(f.Number(t[0], 0x7FFFFFFF));
            if (t[1].quoted) f.Fail("control kind must be a word");
            c.kind = t[1].text;
            c.text = f.Quoted(t[2]);
            for (std::size_t i = 3; i < t.size(); ++i) {
                if (t[i].quoted) f.Fail("style must be a word or key=value");
                c.styles.push_back(t[i].text);
            }
            d.controls.push_back(std::move(c));
        }
        if (!closed) f.Fail("dialog " + std::to_string(id) + " lacks its end");
        InsertUnique(f, set.dialogs, id, std::move(d));
    }
}

void ReadMenuItems(SourceFile& f, std::vector<MenuItem>& items, std::size_t depth) {
    if (depth > quivern::kResourceMenuMaxDepth) f.Fail("menus nested too deeply");
    std::vector<Token> t;
    while (f.Next(t)) {
        const std::string& word = t[0].text;
        if (t.size() == 1 && word == "end") return;
        MenuItem item;
        if (word == "item" && t.size() == 3) {
            item.kind = MenuItem::Kind::Command;
            item.id = f.Number(t[1]);
            item.text = f.Quoted(t[2]);
        } else if (word == "separator" && t.size() == 1) {
            item.kind = MenuItem::Kind::Separator;
        } else if (word == "popup" && t.size() == 2) {
            item.kind = MenuItem::Kind::Popup;
            item.text = f.Quoted(t[1]);
            ReadMenuItems(f, item.children, depth + 1);
        } else {
            f.Fail("expected item <id> \"text\", separator, popup \"text\" or end");
        }
        items.push_back(std::move(item));
    }
    f.Fail("menu lacks its end");
}

void ReadMenus(ResourceSet& set) {
    SourceFile f(set.dir + "/menus.txt", false);
    std::vector<Token> t;
    while (f.Next(t)) {
        if (t[0].text != "menu" || t.size() != 3) f.Fail("expected: menu <id> \"name\"");
        const std::uint32_t id = f.Number(t[1], 0xFFFF);
        Menu m;
        m.name = f.Quoted(t[2]);
        ReadMenuItems(f, m.items, 0);
        InsertUnique(f, set.menus, id, std::move(m));
    }
}

bool KnownKey(const std::string& key) {
    if (key.size() == 1)
        return (key[0] >= 'A' && key[0] <= 'Z') || (key[0] >= '0' && key[0] <= '9') || key[0] == ',';
    if (key == "Tab" || key == "Esc") return true;
    if (key.size() >= 2 && key[0] == 'F' && key.find_first_not_of("0123456789", 1) == std::string::npos) {
        const int n = std::atoi(key.c_str() + 1);
        return n >= 1 && n <= 24;
    }
    return false;
}

void ReadAccelerators(ResourceSet& set) {
    SourceFile f(set.dir + "/accelerators.txt", false);
    std::vector<Token> t;
    while (f.Next(t)) {
        if (t[0].text != "accelerators" || t.size() != 2) f.Fail("expected: accelerators <id>");
        const std::uint32_t id = f.Number(t[1], 0xFFFF);
        AcceleratorTable table;
        bool closed = false;
        while (f.Next(t)) {
            if (t.size() == 1 && t[0].text == "end") {
                closed = true;
                break;
            }
            f.Expect(t, 2);
            quivern::Accelerator a;
            std::string keys = t[0].text;
            const std::pair<const char*, std::uint8_t> mods[] = {{"Ctrl+", quivern::kAccelCtrl},
                                                                 {"Alt+", quivern::kAccelAlt},
                                                                 {"Shift+", quivern::kAccelShift}};
            for (bool found = true; found;) {
                found = false;
                for (const auto& [prefix, bit] : mods) {
                    const std::string p(prefix);
                    if (keys.size() > p.size() && keys.compare(0, p.size(), p) == 0) {
                        a.modifiers |= bit;
                        keys.erase(0, p.size());
                        found = true;
                    }
                }
            }
            if (!KnownKey(keys)) f.Fail("unknown key " + t[0].text);
            a.key = keys;
            a.command = f.Number(t[1]);
            table.entries.push_back(std::move(a));
        }
        if (!closed) f.Fail("accelerator table lacks its end");
        InsertUnique(f, set.accelerators, id, std::move(table));
    }
}

void ReadImages(ResourceSet& set) {
    SourceFile f(set.dir + "/images.txt", false);
    std::vector<Token> t;
    while (f.Next(t)) {
        f.Expect(t, 4);
        ResourceType type;
        if (t[0].text == "icon")
            type = ResourceType::Icon;
        else if (t[0].text == "bitmap")
            type = ResourceType::Bitmap;
        else
            f.Fail("expected icon or bitmap");
        const std::uint32_t id = f.Number(t[1], 0xFFFF);
        quivern::ImageVariant v;
        v.size = static_cast<int>(f.Number(t[2], 1024));
        const std::string& file = t[3].text;
        const auto dot = file.rfind('.');
        v.format = dot == std::string::npos ? std::string() : file.substr(dot + 1);
        if (v.format != "svg" && v.format != "png") f.Fail("images must be .svg or .png: " + file);
        std::ifstream in(set.dir + "/" + file, std::ios::binary);
        if (!in) f.Fail("cannot read " + file);
        std::ostringstream ss;
        ss << in.rdbuf();
        v.bytes = ss.str();
        auto& entry = set.images[id];
        if (!entry.image.variants.empty() && entry.type != type)
            f.Fail("number " + std::to_string(id) + " is both icon and bitmap");
        for (const auto& other : entry.image.variants) {
            if (other.size == v.size)
                f.Fail("image " + std::to_string(id) + " has size " + std::to_string(v.size) + " twice");
        }
        entry.type = type;
        entry.image.variants.push_back(std::move(v));
    }
}

ResourceSet ReadSet(const std::string& dir) {
    ResourceSet set;
    set.dir = dir;
    ReadLanguage(set);
    ReadStrings(set);
    ReadDialogs(set);
    ReadMenus(set);
    ReadAccelerators(set);
    ReadImages(set);
    return set;
}

// ---- checking the sets against each other ----------------------------------------------------

// The printf conversions of a text, in order ("%s", "%03I64u", "%hu"); "%%" is not one.
std::vector<std::string> Conversions(const std::string& s) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') continue;
        if (i + 1 < s.size() && s[i + 1] == '%') {
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        while (j < s.size() && std::string_view("-+ #0").find(s[j]) != std::string_view::npos)
            ++j;
        while (j < s.size() && (std::isdigit(static_cast<unsigned char>(s[j])) || s[j] == '*'))
            ++j;
        if (j < s.size() && s[j] == '.') {
            ++j;
            while (j < s.size() && (std::isdigit(static_cast<unsigned char>(s[j])) || s[j] == '*'))
                ++j;
        }
        for (const char* len : {"I64", "I32", "hh", "ll", "h", "l", "L", "z", "j", "t", "I"}) {
            const std::string_view l(len);
            if (s.compare(j, l.size(), l) == 0) {
                j += l.size();
                break;
            }
        }
        if (j < s.size() && std::isalpha(static_cast<unsigned char>(s[j]))) ++j;
        out.push_back(s.substr(i, j - i));
        i = j - 1;
    }
    return out;
}

std::string Join(const std::vector<std::string>& v) {
    std::string out;
    for (const auto& s : v)
        out += (out.empty() ? "" : " ") + s;
    return out.empty() ? "(none)" : out;
}

class Checker {
public:
    bool Ok() const { return m_errors == 0; }

    void Error(const std::string& message) {
        std::cerr << "respack: " << message << "\n";
        ++m_errors;
    }

    template <typename Map>
    void SameNumbers(const char* kind, const ResourceSet& a, const Map& ma, const ResourceSet& b,
                     const Map& mb) {
        for (const auto& [id, _] : ma) {
            if (mb.find(id) == mb.end())
                Error(std::string(kind) + " " + std::to_string(id) + " is missing from " + b.dir);
        }
        for (const auto& [id, _] : mb) {
            if (ma.find(id) == ma.end())
                Error(std::string(kind) + " " + std::to_string(id) + " is missing from " + a.dir);
        }
    }

    void Compare(const ResourceSet& a, const ResourceSet& b) {
        SameNumbers("string", a, a.strings, b, b.strings);
        SameNumbers("dialog", a, a.dialogs, b, b.dialogs);
        SameNumbers("menu", a, a.menus, b, b.menus);
        SameNumbers("accelerator table", a, a.accelerators, b, b.accelerators);
        SameNumbers("image", a, a.images, b, b.images);

        for (const auto& [id, sa] : a.strings) {
            const auto it = b.strings.find(id);
            if (it == b.strings.end()) continue;
            auto ca = Conversions(sa.text);
            auto cb = Conversions(it->second.text);
            // A date format may order its fields differently per language; it must still use
            // the same fields.
            if (sa.strftime || it->second.strftime) {
                std::sort(ca.begin(), ca.end());
                std::sort(cb.begin(), cb.end());
            }
            if (ca != cb) {
                Error("string " + std::to_string(id) + ": conversions differ: " + a.dir + " has " + Join(ca) +
                      ", " + b.dir + " has " + Join(cb));
            }
        }
        for (const auto& [id, da] : a.dialogs) {
            const auto it = b.dialogs.find(id);
            if (it == b.dialogs.end()) continue;
            if (ControlShape(da) != ControlShape(it->second))
                Error("dialog " + std::to_string(id) + ": controls differ between " + a.dir + " and " +
                      b.dir);
        }
        for (const auto& [id, ma] : a.menus) {
            const auto it = b.menus.find(id);
            if (it == b.menus.end()) continue;
            std::string sa, sb;
            MenuShape(ma.items, sa);
            MenuShape(it->second.items, sb);
            if (sa != sb || ma.name != it->second.name)
                Error("menu " + std::to_string(id) + ": items differ between " + a.dir + " and " + b.dir);
        }
        for (const auto& [id, ta] : a.accelerators) {
            const auto it = b.accelerators.find(id);
            if (it == b.accelerators.end()) continue;
            if (AccelShape(ta) != AccelShape(it->second))
                Error("accelerator table " + std::to_string(id) + " differs between " + a.dir + " and " +
                      b.dir);
        }
        for (const auto& [id, ia] : a.images) {
            const auto it = b.images.find(id);
            if (it == b.images.end()) continue;
            if (ia.type != it->second.type || Sizes(ia.image) != Sizes(it->second.image))
                Error("image " + std::to_string(id) + ": kind or sizes differ between " + a.dir + " and " +
                      b.dir);
        }
    }

private:
    static std::string ControlShape(const DialogTemplate& d) {
        std::string s;
        for (const auto& c : d.controls)
            s += std::to_string(c.id) + ":" + c.kind + ";";
        return s;
    }
    static void MenuShape(const std::vector<MenuItem>& items, std::string& out) {
        for (const auto& item : items) {
            out += std::to_string(static_cast<int>(item.kind)) + ":" + std::to_string(item.id) + "(";
            MenuShape(item.children, out);
            out += ")";
        }
    }
    static std::string AccelShape(const AcceleratorTable& t) {
        std::string s;
        for (const auto& a : t.entries)
            s += std::to_string(a.modifiers) + a.key + ":" + std::to_string(a.command) + ";";
        return s;
    }
    static std::set<int> Sizes(const ImageResource& img) {
        std::set<int> s;
        for (const auto& v : img.variants)
            s.insert(v.size);
        return s;
    }

    int m_errors = 0;
};

// ---- writing the pack ------------------------------------------------------------------------

class Writer {
public:
    void U8(std::uint8_t v) { m_out.push_back(static_cast<char>(v)); }
    void U16(std::uint16_t v) {
        U8(static_cast<std::uint8_t>(v));
        U8(static_cast<std::uint8_t>(v >> 8));
    }
    void U32(std::uint32_t v) {
        U16(static_cast<std::uint16_t>(v));
        U16(static_cast<std::uint16_t>(v >> 16));
    }
    void Str(const std::string& s) {
        if (s.size() > 0xFFFF) throw ParseError{"text longer than 65535 bytes: " + s.substr(0, 40)};
        U16(static_cast<std::uint16_t>(s.size()));
        m_out += s;
    }
    void Raw(const std::string& s) { m_out += s; }
    std::string Take() { return std::move(m_out); }

private:
    std::string m_out;
};

void EncodeItems(Writer& w, const std::vector<MenuItem>& items) {
    w.U16(static_cast<std::uint16_t>(items.size()));
    for (const auto& item : items) {
        w.U8(static_cast<std::uint8_t>(item.kind));
        w.U32(item.id);
        w.Str(item.text);
        if (item.kind == MenuItem::Kind::Popup) EncodeItems(w, item.children);
    }
}

struct PackEntry {
    ResourceType type;
    std::uint32_t id;
    std::string payload;
};

std::string Pack(const ResourceSet& set) {
    std::vector<PackEntry> entries;
    for (const auto& [id, s] : set.strings)
        entries.push_back({ResourceType::String, id, s.text});
    for (const auto& [id, d] : set.dialogs) {
        Writer w;
        w.U16(static_cast<std::uint16_t>(d.width));
        w.U16(static_cast<std::uint16_t>(d.height));
        w.Str(d.title);
        w.U16(static_cast<std::uint16_t>(d.controls.size()));
        for (const auto& c : d.controls) {
            w.U32(static_cast<std::uint32_t>(c.id));
            w.Str(c.kind);
            w.Str(c.text);
            w.U16(static_cast<std::uint16_t>(c.styles.size()));
            for (const auto& s : c.styles)
                w.Str(s);
        }
        entries.push_back({ResourceType::Dialog, id, w.Take()});
    }
    for (const auto& [id, m] : set.menus) {
        Writer w;
        w.Str(m.name);
        EncodeItems(w, m.items);
        entries.push_back({ResourceType::Menu, id, w.Take()});
    }
    for (const auto& [id, t] : set.accelerators) {
        Writer w;
        w.U16(static_cast<std::uint16_t>(t.entries.size()));
        for (const auto& a : t.entries) {
            w.U8(a.modifiers);
            w.Str(a.key);
            w.U32(a.command);
        }
        entries.push_back({ResourceType::Accelerator, id, w.Take()});
    }
    for (const auto& [id, img] : set.images) {
        Writer w;
        auto variants = img.image.variants;
        std::sort(variants.begin(), variants.end(),
                  [](const auto& x, const auto& y) { return x.size < y.size; });
        w.U16(static_cast<std::uint16_t>(variants.size()));
        for (const auto& v : variants) {
            w.U16(static_cast<std::uint16_t>(v.size));
            w.Str(v.format);
            w.U32(static_cast<std::uint32_t>(v.bytes.size()));
            w.Raw(v.bytes);
        }
        entries.push_back({img.type, id, w.Take()});
    }
    std::sort(entries.begin(), entries.end(), [](const PackEntry& x, const PackEntry& y) {
        return std::make_pair(static_cast<std::uint16_t>(x.type), x.id) <
               std::make_pair(static_cast<std::uint16_t>(y.type), y.id);
    });

    const std::size_t dataOffset =
        quivern::kResourcePackHeaderSize + entries.size() * quivern::kResourcePackEntrySize;
    std::size_t total = dataOffset;
    for (const auto& e : entries)
        total += e.payload.size();
    if (total > 0xFFFFFFFFu) throw ParseError{"pack larger than 4 GiB"};

    Writer w;
    w.Raw(std::string(quivern::kResourcePackMagic, 4));
    w.U16(quivern::kResourcePackVersion);
    w.U16(set.language);
    w.U32(static_cast<std::uint32_t>(entries.size()));
    w.U32(static_cast<std::uint32_t>(total));
    w.U32(static_cast<std::uint32_t>(dataOffset));
    std::size_t offset = dataOffset;
    for (const auto& e : entries) {
        w.U16(static_cast<std::uint16_t>(e.type));
        w.U16(set.language);
        w.U32(e.id);
        w.U32(static_cast<std::uint32_t>(offset));
        w.U32(static_cast<std::uint32_t>(e.payload.size()));
        offset += e.payload.size();
    }
    for (const auto& e : entries)
        w.Raw(e.payload);
    return w.Take();
}

std::string CppSource(const std::string& pack) {
    std::string out =
        "// Generated by respack from the built-in resource set. Do not edit.\n"
        "#include <cstddef>\n\nnamespace quivern {\n"
        "extern const unsigned char kBuiltInResourcePack[];\n"
        "extern const std::size_t kBuiltInResourcePackSize;\n"
        "const unsigned char kBuiltInResourcePack[] = {\n";
    char buf[8];
    for (std::size_t i = 0; i < pack.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%u,", static_cast<unsigned>(static_cast<unsigned char>(pack[i])));
        out += buf;
        if (i % 24 == 23) out += "\n";
    }
    out += "};\nconst std::size_t kBuiltInResourcePackSize = " + std::to_string(pack.size()) +
           ";\n}  // namespace quivern\n";
    return out;
}

bool WriteOut(const std::string& path, const std::string& data) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        if (!out.flush()) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

int Usage() {
    std::cerr << "usage: respack check DIR DIR...\n"
                 "       respack pack DIR OUT\n"
                 "       respack cpp DIR OUT\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage();
    try {
        if (args[0] == "check") {
            if (args.size() < 3) return Usage();
            std::vector<ResourceSet> sets;
            for (std::size_t i = 1; i < args.size(); ++i)
                sets.push_back(ReadSet(args[i]));
            Checker checker;
            for (std::size_t i = 1; i < sets.size(); ++i)
                checker.Compare(sets[0], sets[i]);
            return checker.Ok() ? 0 : 1;
        }
        if ((args[0] == "pack" || args[0] == "cpp") && args.size() == 3) {
            const std::string pack = Pack(ReadSet(args[1]));
            const std::string data = args[0] == "pack" ? pack : CppSource(pack);
            if (!WriteOut(args[2], data)) {
                std::cerr << "respack: cannot write " << args[2] << "\n";
                return 2;
            }
            return 0;
        }
    } catch (const ParseError& e) {
        std::cerr << "respack: " << e.message << "\n";
        return 1;
    }
    return Usage();
}
