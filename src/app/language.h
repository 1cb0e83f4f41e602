#pragma once
// Choosing the language of the user interface at start-up, and listing the language libraries
// that lie beside the program.
//
// A language library is a file in the program's folder named <program name>_<up to four
// characters>.so that holds a resource pack. Its language is the language tag of its resources
// (the "module language"), not its name.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/resources.h"

namespace quivern {

// Library path -> descriptor "#<LANGID>#<language name> - <native name>". The built-in resources
// are listed under kBuiltInModulePath. Enumerated in hash order, as the selection expects.
using LanguageTable = std::unordered_map<std::string, std::string>;
inline constexpr std::string_view kBuiltInModulePath = "-";

// Reads "Language" in section "General" of Config.ini (default: the user's interface language)
// and makes the best matching language library the resource source of the process. Any failure
// keeps the built-in German resources. Call once at start-up, before any text is shown.
void SelectUserInterfaceLanguage();
// The same for a given program file (its folder is searched, its name gives the settings folder
// and the library pattern). Returns the path of the library now in use, or empty when the
// built-in resources stay.
std::string SelectUserInterfaceLanguageFor(const std::string& programPath);

// Regular files in the program's folder matching <program name>_????.so (the question marks also
// match nothing), sorted by name.
std::vector<std::string> FindLanguageModules(const std::string& programPath);

// Describes every loadable library of `paths` with a language into `table`; then, when at least
// one was described or the list was empty, the built-in resources under "-". Returns whether the
// built-in entry was added.
bool EnumerateLanguageModules(const std::vector<std::string>& paths, LanguageTable& table);

// The language of the first non-neutral resource of the first menu, dialog or string table
// resource, or 0 when there is none.
std::uint16_t GetModuleLanguage(const CResourcePack& pack);
std::uint16_t GetModuleLanguage(const CResourceLibrary& library);

// The user's interface language from LC_ALL, LC_MESSAGES or LANG (the first that is set);
// English (United States) for "C", "POSIX" or nothing set; 0 for a language this program does
// not know.
std::uint16_t UserDefaultUILanguage();
// "de_DE.UTF-8" -> 1031, "de_CH" -> 2055, "fr" -> 1036; 0 when unknown.
std::uint16_t LanguageIdFromLocaleName(std::string_view locale);

// "#%hu#%s - %s" with the LANGID, its English name and its native name.
std::string LanguageDescriptor(std::uint16_t langId);
// The LANGID of a descriptor; 0 when it is malformed.
std::uint16_t LanguageIdFromDescriptor(std::string_view descriptor);

}  // namespace quivern
