#pragma once
// INI ("profile") files as the settings store uses them: sections and keys looked up ignoring
// ASCII case, whole sections read as their raw lines in file order, per-key writes, section and
// key deletion. Values are the whole rest of the line after the first "=": no quoting, no escaping.
//
// Changes are made to an in-memory document and reach the disk with Flush(), atomically (a
// temporary file in the same folder, then rename) and readable by the owner only, so a crash or
// a full disk never leaves a half-written file. The free functions read, change and flush the
// file in one call each.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quivern {

class CProfileFile {
public:
    CProfileFile() = default;
    explicit CProfileFile(std::string path) : m_path(std::move(path)) {}

    // Reads the file. A missing file gives an empty document and true; an unreadable one false.
    bool Load();
    // Writes the document atomically with mode 0600. Returns false (and leaves the old file
    // untouched) when anything fails.
    bool Flush();

    const std::string& Path() const { return m_path; }
    bool Exists() const { return m_existed; }

    std::optional<std::string> Get(std::string_view section, std::string_view key) const;
    // Value or `def`, cut to at most maxUnits UTF-16 units (0: no limit).
    std::string GetString(std::string_view section, std::string_view key, std::string_view def,
                          std::size_t maxUnits = 0) const;
    // Leading blanks, optional sign, decimal digits; a value without digits reads as 0; a
    // missing key gives `def`.
    long long GetInt(std::string_view section, std::string_view key, long long def) const;
    // Every non-empty line of the section in file order (comments included), or nothing when
    // the section is missing.
    std::vector<std::string> GetSectionLines(std::string_view section) const;
    bool HasSection(std::string_view section) const;

    // Sets the key (first match, ignoring case) or appends it at the end of its section; the
    // section is created at the end of the file when missing.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void DeleteKey(std::string_view section, std::string_view key);
    void DeleteSection(std::string_view section);

    std::string ToText() const;

private:
    struct Section {
        std::string header;  // the line as written, e.g. "[General]"; empty for lines before any header
        std::string name;
        std::vector<std::string> lines;
    };
    Section* Find(std::string_view name);
    const Section* Find(std::string_view name) const;

    std::string m_path;
    bool m_existed = false;
    std::vector<Section> m_sections;
};

// One-call forms: each reads the file; the writers also flush it.
std::string GetPrivateProfileString(std::string_view section, std::string_view key, std::string_view def,
                                    std::size_t maxUnits, const std::string& path);
long long GetPrivateProfileInt(std::string_view section, std::string_view key, long long def,
                               const std::string& path);
std::vector<std::string> GetPrivateProfileSection(std::string_view section, const std::string& path);
// A null key deletes the section; a null value deletes the key.
bool WritePrivateProfileString(std::string_view section, const char* key, const char* value,
                               const std::string& path);

// Writes `data` to `path` atomically with the given mode (temporary file + fsync + rename).
bool WriteFileAtomically(const std::string& path, std::string_view data, unsigned mode);

}  // namespace quivern
