#pragma once
// Numbered user-interface resources (strings, dialog templates, menus, shortcut tables, images),
// each tagged with its language, read from a resource pack.
//
// A pack is produced at build time by tools/respack from the text sources under resources/<lang>.
// The German pack is compiled into the engine; other languages are "language libraries": files
// that carry nothing but a pack and are only ever read as data. Every look-up goes to the source
// selected process-wide with SetResourceSource(), or to the built-in pack when none is selected.
//
// Pack layout (all integers little-endian):
//   header  "QVRP", u16 version, u16 pack language, u32 entry count, u32 total size,
//           u32 offset of the data area (= header size + count * entry size)
//   entries u16 type, u16 language, u32 id, u32 offset, u32 size; strictly ascending by
//           (type, id, language), which is also the enumeration order
//   data    one payload per entry, in entry order without gaps; strings are UTF-8, the other
//           kinds are encoded as below
//           (str = u16 length + bytes)
//   dialog  u16 width, u16 height, str title, u16 count, count x (i32 id, str kind, str text,
//           u16 style count, str styles...)
//   menu    str name, items; items = u16 count, count x (u8 kind, u32 id, str text, [items])
//   accel   u16 count, count x (u8 modifiers, str key, u32 command)
//   image   u16 count, count x (u16 size in pixels, str format, u32 length, bytes)
// Every offset and length is checked before use; a damaged pack is refused as a whole.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quivern {

// Resource kinds carry the numbers of the classic resource types so that "the first of menu,
// dialog and string table" keeps its meaning when a pack is enumerated.
enum class ResourceType : std::uint16_t {
    Bitmap = 2,
    Menu = 4,
    Dialog = 5,
    String = 6,
    Accelerator = 9,
    Icon = 14,
};

inline constexpr char kResourcePackMagic[4] = {'Q', 'V', 'R', 'P'};
inline constexpr std::uint16_t kResourcePackVersion = 1;
inline constexpr std::size_t kResourcePackHeaderSize = 20;
inline constexpr std::size_t kResourcePackEntrySize = 16;
inline constexpr std::size_t kResourceMenuMaxDepth = 8;

inline constexpr std::uint16_t kLangNeutral = 0;
inline constexpr std::uint16_t kLangGerman = 1031;
inline constexpr std::uint16_t kLangEnglish = 1033;

constexpr std::uint16_t PrimaryLanguage(std::uint16_t langId) {
    return static_cast<std::uint16_t>(langId & 0x3FF);
}

enum AcceleratorModifier : std::uint8_t {
    kAccelCtrl = 1,
    kAccelAlt = 2,
    kAccelShift = 4,
};

struct DialogControl {
    int id = -1;  // -1: a control without id
    std::string kind;
    std::string text;
    // Bare words ("default", "readonly") and key=value properties ("image=165").
    std::vector<std::string> styles;

    bool HasStyle(std::string_view style) const;
    // The value of a key=value property, or nothing.
    std::optional<std::string> Property(std::string_view key) const;
};

struct DialogTemplate {
    int width = 0;  // dialog units
    int height = 0;
    std::string title;
    std::vector<DialogControl> controls;

    const DialogControl* Find(int id) const;
};

struct MenuItem {
    enum class Kind : std::uint8_t { Command = 0, Separator = 1, Popup = 2 };
    Kind kind = Kind::Command;
    std::uint32_t id = 0;
    std::string text;
    std::vector<MenuItem> children;  // popups only
};

struct Menu {
    std::string name;
    std::vector<MenuItem> items;

    // Depth-first search for a command item.
    const MenuItem* FindCommand(std::uint32_t id) const;
};

struct Accelerator {
    std::uint8_t modifiers = 0;  // AcceleratorModifier bits
    std::string key;             // "A".."Z", "0".."9", ",", "F1".."F24", "Tab", "Esc"
    std::uint32_t command = 0;
};

struct AcceleratorTable {
    std::vector<Accelerator> entries;
};

struct ImageVariant {
    int size = 0;        // pixels (square)
    std::string format;  // "svg" or "png"
    std::string bytes;
};

struct ImageResource {
    std::vector<ImageVariant> variants;
};

// A validated, immutable pack.
class CResourcePack {
public:
    struct Entry {
        ResourceType type;
        std::uint16_t language;
        std::uint32_t id;
        std::uint32_t offset;
        std::uint32_t size;
    };

    // Nothing when the bytes are not a well-formed pack. Typed payloads are checked here too,
    // so a pack that is accepted never fails a later look-up for being damaged.
    static std::shared_ptr<const CResourcePack> FromBytes(std::string bytes);

    std::uint16_t Language() const { return m_language; }
    // In enumeration order.
    const std::vector<Entry>& Entries() const { return m_entries; }
    // The payload of a resource; with several languages of one number the first is taken.
    std::optional<std::string_view> Raw(ResourceType type, std::uint32_t id) const;

    std::optional<std::string> String(std::uint32_t id) const;
    std::optional<DialogTemplate> Dialog(std::uint32_t id) const;
    std::optional<Menu> GetMenu(std::uint32_t id) const;
    std::optional<AcceleratorTable> Accelerators(std::uint32_t id) const;
    // Icons and bitmaps alike.
    std::optional<ImageResource> Image(std::uint32_t id) const;

private:
    std::string m_bytes;
    std::uint16_t m_language = 0;
    std::vector<Entry> m_entries;
};

// A language library: a file holding one pack, opened for its data only.
class CResourceLibrary {
public:
    // Nothing when the file cannot be read or is not a well-formed pack.
    static std::shared_ptr<const CResourceLibrary> Open(const std::string& path);

    const std::string& Path() const { return m_path; }
    const CResourcePack& Pack() const { return *m_pack; }
    // Distinct language tags of its resources in enumeration order.
    std::vector<std::uint16_t> Languages() const;

    CResourceLibrary(std::string path, std::shared_ptr<const CResourcePack> pack)
        : m_path(std::move(path)), m_pack(std::move(pack)) {}

private:
    std::string m_path;
    std::shared_ptr<const CResourcePack> m_pack;
};

// The pack compiled into the engine (German).
const CResourcePack& BuiltInResources();

// Makes `library` the source of every look-up in the process; null returns to the built-in
// pack. Look-ups already running finish on the source they started with.
void SetResourceSource(std::shared_ptr<const CResourceLibrary> library);
// The selected library, or null while the built-in pack is in use.
std::shared_ptr<const CResourceLibrary> CurrentResourceLibrary();
// The language of the current source's pack.
std::uint16_t CurrentResourceLanguage();

// Look-ups in the current source. Safe from any thread.
std::string LoadString(std::uint32_t id);  // empty when missing
std::optional<std::string> FindString(std::uint32_t id);
std::optional<DialogTemplate> LoadDialogTemplate(std::uint32_t id);
std::optional<Menu> LoadMenu(std::uint32_t id);
std::optional<AcceleratorTable> LoadAcceleratorTable(std::uint32_t id);
std::optional<ImageResource> LoadImageResource(std::uint32_t id);
// The bytes of the variant of exactly `size` pixels, else of the largest one; nothing when the
// image does not exist.
std::optional<ImageVariant> LoadImage(std::uint32_t id, int size = 0);

}  // namespace quivern
