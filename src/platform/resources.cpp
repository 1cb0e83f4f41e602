#include "platform/resources.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <tuple>

namespace quivern {

// Generated at build time from resources/de.
extern const unsigned char kBuiltInResourcePack[];
extern const std::size_t kBuiltInResourcePackSize;

namespace {

// Far above any real pack; keeps a stray huge file from being read into memory.
constexpr std::uint64_t kMaxLibrarySize = 256u << 20;

// Bounded little-endian reader: every read checks the remaining length first, and a failed
// read poisons the reader so callers check once at the end.
class Reader {
public:
    explicit Reader(std::string_view data) : m_data(data) {}

    bool Ok() const { return m_ok; }
    bool AtEnd() const { return m_ok && m_pos == m_data.size(); }

    std::uint8_t U8() {
        if (!Need(1)) return 0;
        return static_cast<std::uint8_t>(m_data[m_pos++]);
    }
    std::uint16_t U16() {
        if (!Need(2)) return 0;
        const auto v = static_cast<std::uint16_t>(Byte(0) | (Byte(1) << 8));
        m_pos += 2;
        return v;
    }
    std::uint32_t U32() {
        if (!Need(4)) return 0;
        const std::uint32_t v = Byte(0) | (Byte(1) << 8) | (Byte(2) << 16) | (Byte(3) << 24);
        m_pos += 4;
        return v;
    }
    std::string Bytes(std::size_t n) {
        if (!Need(n)) return {};
        std::string s(m_data.substr(m_pos, n));
        m_pos += n;
        return s;
    }
    std::string Str() { return Bytes(U16()); }

private:
    bool Need(std::size_t n) {
        if (!m_ok || m_data.size() - m_pos < n) {
            m_ok = false;
            return false;
        }
        return true;
    }
    std::uint32_t Byte(std::size_t i) const { return static_cast<std::uint8_t>(m_data[m_pos + i]); }

    std::string_view m_data;
    std::size_t m_pos = 0;
    bool m_ok = true;
};

std::optional<DialogTemplate> DecodeDialog(std::string_view data) {
    Reader r(data);
    DialogTemplate d;
    d.width = r.U16();
    d.height = r.U16();
    d.title = r.Str();
    const std::uint16_t count = r.U16();
    for (std::uint16_t i = 0; i < count && r.Ok(); ++i) {
        DialogControl c;
        c.id = static_cast<std::int32_t>(r.U32());
        c.kind = r.Str();
        c.text = r.Str();
        const std::uint16_t styles = r.U16();
        for (std::uint16_t s = 0; s < styles && r.Ok(); ++s)
            c.styles.push_back(r.Str());
        d.controls.push_back(std::move(c));
    }
    if (!r.AtEnd()) return std::nullopt;
    return d;
}

bool DecodeMenuItems(Reader& r, std::vector<MenuItem>& items, std::size_t depth) {
    if (depth > kResourceMenuMaxDepth) return false;
    const std::uint16_t count = r.U16();
    for (std::uint16_t i = 0; i < count && r.Ok(); ++i) {
        MenuItem item;
        const std::uint8_t kind = r.U8();
        if (kind > static_cast<std::uint8_t>(MenuItem::Kind::Popup)) return false;
        item.kind = static_cast<MenuItem::Kind>(kind);
        item.id = r.U32();
        item.text = r.Str();
        if (item.kind == MenuItem::Kind::Popup && !DecodeMenuItems(r, item.children, depth + 1)) return false;
        items.push_back(std::move(item));
    }
    return r.Ok();
}

std::optional<Menu> DecodeMenu(std::string_view data) {
    Reader r(data);
    Menu m;
    m.name = r.Str();
    if (!DecodeMenuItems(r, m.items, 0) || !r.AtEnd()) return std::nullopt;
    return m;
}

std::optional<AcceleratorTable> DecodeAccelerators(std::string_view data) {
    Reader r(data);
    AcceleratorTable t;
    const std::uint16_t count = r.U16();
    for (std::uint16_t i = 0; i < count && r.Ok(); ++i) {
        Accelerator a;
        a.modifiers = r.U8();
        a.key = r.Str();
        a.command = r.U32();
        t.entries.push_back(std::move(a));
    }
    if (!r.AtEnd()) return std::nullopt;
    return t;
}

std::optional<ImageResource> DecodeImage(std::string_view data) {
    Reader r(data);
    ImageResource img;
    const std::uint16_t count = r.U16();
    for (std::uint16_t i = 0; i < count && r.Ok(); ++i) {
        ImageVariant v;
        v.size = r.U16();
        v.format = r.Str();
        v.bytes = r.Bytes(r.U32());
        img.variants.push_back(std::move(v));
    }
    if (!r.AtEnd() || img.variants.empty()) return std::nullopt;
    return img;
}

bool PayloadValid(ResourceType type, std::string_view data) {
    switch (type) {
        case ResourceType::String:
            return true;
        case ResourceType::Dialog:
            return DecodeDialog(data).has_value();
        case ResourceType::Menu:
            return DecodeMenu(data).has_value();
        case ResourceType::Accelerator:
            return DecodeAccelerators(data).has_value();
        case ResourceType::Icon:
        case ResourceType::Bitmap:
            return DecodeImage(data).has_value();
    }
    // Unknown kinds are skipped by every look-up; a newer tool may add some.
    return true;
}

auto EntryKey(const CResourcePack::Entry& e) {
    return std::make_tuple(static_cast<std::uint16_t>(e.type), e.id, e.language);
}

std::mutex g_sourceMutex;
std::shared_ptr<const CResourceLibrary> g_source;  // guarded by g_sourceMutex

// The pack of the current source. The library is kept alive by the returned pointer while a
// look-up runs, even if another thread switches the source meanwhile.
struct CurrentPack {
    std::shared_ptr<const CResourceLibrary> library;
    const CResourcePack& Get() const { return library ? library->Pack() : BuiltInResources(); }
};

CurrentPack Current() {
    std::lock_guard lock(g_sourceMutex);
    return CurrentPack{g_source};
}

}  // namespace

bool DialogControl::HasStyle(std::string_view style) const {
    return std::find(styles.begin(), styles.end(), style) != styles.end();
}

std::optional<std::string> DialogControl::Property(std::string_view key) const {
    for (const auto& s : styles) {
        if (s.size() > key.size() && s.compare(0, key.size(), key) == 0 && s[key.size()] == '=')
            return s.substr(key.size() + 1);
    }
    return std::nullopt;
}

const DialogControl* DialogTemplate::Find(int id) const {
    for (const auto& c : controls) {
        if (c.id == id) return &c;
    }
    return nullptr;
}

namespace {
const MenuItem* FindIn(const std::vector<MenuItem>& items, std::uint32_t id) {
    for (const auto& item : items) {
        if (item.kind == MenuItem::Kind::Command && item.id == id) return &item;
        if (const MenuItem* found = FindIn(item.children, id)) return found;
    }
    return nullptr;
}
}  // namespace

const MenuItem* Menu::FindCommand(std::uint32_t id) const {
    return FindIn(items, id);
}

std::shared_ptr<const CResourcePack> CResourcePack::FromBytes(std::string bytes) {
    Reader r(bytes);
    const std::string magic = r.Bytes(4);
    const std::uint16_t version = r.U16();
    const std::uint16_t language = r.U16();
    const std::uint32_t count = r.U32();
    const std::uint32_t total = r.U32();
    const std::uint32_t dataOffset = r.U32();
    if (!r.Ok() || std::memcmp(magic.data(), kResourcePackMagic, 4) != 0 || version != kResourcePackVersion)
        return nullptr;
    if (total != bytes.size()) return nullptr;
    // 64-bit arithmetic: count comes from the file and must not wrap the expected offset.
    const std::uint64_t expectedData =
        kResourcePackHeaderSize + static_cast<std::uint64_t>(count) * kResourcePackEntrySize;
    if (dataOffset != expectedData || expectedData > bytes.size()) return nullptr;

    auto pack = std::make_shared<CResourcePack>();
    pack->m_language = language;
    pack->m_entries.reserve(count);
    std::uint64_t nextOffset = dataOffset;
    for (std::uint32_t i = 0; i < count; ++i) {
        Entry e{};
        e.type = static_cast<ResourceType>(r.U16());
        e.language = r.U16();
        e.id = r.U32();
        e.offset = r.U32();
        e.size = r.U32();
        // Payloads follow each other without gaps in entry order, so every byte of the data
        // area belongs to exactly one resource.
        if (!r.Ok() || e.offset != nextOffset || static_cast<std::uint64_t>(e.offset) + e.size > bytes.size())
            return nullptr;
        nextOffset = e.offset + e.size;
        if (!pack->m_entries.empty() && !(EntryKey(pack->m_entries.back()) < EntryKey(e))) return nullptr;
        pack->m_entries.push_back(e);
    }
    if (nextOffset != bytes.size()) return nullptr;
    pack->m_bytes = std::move(bytes);
    for (const Entry& e : pack->m_entries) {
        if (!PayloadValid(e.type, std::string_view(pack->m_bytes).substr(e.offset, e.size))) return nullptr;
    }
    return pack;
}

std::optional<std::string_view> CResourcePack::Raw(ResourceType type, std::uint32_t id) const {
    const auto key = std::make_tuple(static_cast<std::uint16_t>(type), id, std::uint16_t{0});
    const auto it = std::lower_bound(m_entries.begin(), m_entries.end(), key,
                                     [](const Entry& e, const auto& k) { return EntryKey(e) < k; });
    if (it == m_entries.end() || it->type != type || it->id != id) return std::nullopt;
    return std::string_view(m_bytes).substr(it->offset, it->size);
}

std::optional<std::string> CResourcePack::String(std::uint32_t id) const {
    if (auto raw = Raw(ResourceType::String, id)) return std::string(*raw);
    return std::nullopt;
}

std::optional<DialogTemplate> CResourcePack::Dialog(std::uint32_t id) const {
    if (auto raw = Raw(ResourceType::Dialog, id)) return DecodeDialog(*raw);
    return std::nullopt;
}

std::optional<Menu> CResourcePack::GetMenu(std::uint32_t id) const {
    if (auto raw = Raw(ResourceType::Menu, id)) return DecodeMenu(*raw);
    return std::nullopt;
}

std::optional<AcceleratorTable> CResourcePack::Accelerators(std::uint32_t id) const {
    if (auto raw = Raw(ResourceType::Accelerator, id)) return DecodeAccelerators(*raw);
    return std::nullopt;
}

std::optional<ImageResource> CResourcePack::Image(std::uint32_t id) const {
    auto raw = Raw(ResourceType::Icon, id);
    if (!raw) raw = Raw(ResourceType::Bitmap, id);
    if (raw) return DecodeImage(*raw);
    return std::nullopt;
}

std::shared_ptr<const CResourceLibrary> CResourceLibrary::Open(const std::string& path) {
    // Plain POSIX reads: a folder, a device or an unreadable file must give nothing, never an
    // exception, because the language selection runs before anything could report one.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    std::string bytes;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
              static_cast<std::uint64_t>(st.st_size) <= kMaxLibrarySize;
    if (ok) {
        bytes.resize(static_cast<std::size_t>(st.st_size));
        std::size_t done = 0;
        while (ok && done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            ok = n > 0;
            if (ok) done += static_cast<std::size_t>(n);
        }
    }
    ::close(fd);
    if (!ok) return nullptr;
    auto pack = CResourcePack::FromBytes(std::move(bytes));
    if (!pack) return nullptr;
    return std::make_shared<const CResourceLibrary>(path, std::move(pack));
}

std::vector<std::uint16_t> CResourceLibrary::Languages() const {
    std::vector<std::uint16_t> langs;
    for (const auto& e : m_pack->Entries()) {
        if (std::find(langs.begin(), langs.end(), e.language) == langs.end()) langs.push_back(e.language);
    }
    return langs;
}

const CResourcePack& BuiltInResources() {
    // A damaged built-in pack is a build fault; an empty pack keeps the program running with
    // empty texts rather than crashing before anything can be shown.
    static const std::shared_ptr<const CResourcePack> pack = [] {
        auto p = CResourcePack::FromBytes(
            std::string(reinterpret_cast<const char*>(kBuiltInResourcePack), kBuiltInResourcePackSize));
        if (!p) {
            std::string empty(kResourcePackMagic, 4);
            const unsigned char rest[] = {
                kResourcePackVersion, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0, 20, 0, 0, 0};
            empty.append(reinterpret_cast<const char*>(rest), sizeof rest);
            p = CResourcePack::FromBytes(std::move(empty));
        }
        return p;
    }();
    return *pack;
}

void SetResourceSource(std::shared_ptr<const CResourceLibrary> library) {
    std::lock_guard lock(g_sourceMutex);
    g_source = std::move(library);
}

std::shared_ptr<const CResourceLibrary> CurrentResourceLibrary() {
    std::lock_guard lock(g_sourceMutex);
    return g_source;
}

std::uint16_t CurrentResourceLanguage() {
    return Current().Get().Language();
}

std::optional<std::string> FindString(std::uint32_t id) {
    return Current().Get().String(id);
}

std::string LoadString(std::uint32_t id) {
    return FindString(id).value_or(std::string());
}

std::optional<DialogTemplate> LoadDialogTemplate(std::uint32_t id) {
    return Current().Get().Dialog(id);
}

std::optional<Menu> LoadMenu(std::uint32_t id) {
    return Current().Get().GetMenu(id);
}

std::optional<AcceleratorTable> LoadAcceleratorTable(std::uint32_t id) {
    return Current().Get().Accelerators(id);
}

std::optional<ImageResource> LoadImageResource(std::uint32_t id) {
    return Current().Get().Image(id);
}

std::optional<ImageVariant> LoadImage(std::uint32_t id, int size) {
    auto img = LoadImageResource(id);
    if (!img) return std::nullopt;
    const ImageVariant* best = nullptr;
    for (const auto& v : img->variants) {
        if (v.size == size) return v;
        if (best == nullptr || v.size > best->size) best = &v;
    }
    return *best;
}

}  // namespace quivern
