#include "app/language.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace quivern {
namespace {

constexpr std::uint16_t kPrimaryGerman = 7;
constexpr std::uint16_t kPrimaryEnglish = 9;
constexpr std::string_view kLibraryExtension = ".so";
constexpr std::size_t kMaxLibrarySuffix = 4;

struct LocaleInfo {
    std::uint16_t langId;
    std::string_view language;   // ISO 639 code as in locale names
    std::string_view territory;  // ISO 3166 code
    std::string_view name;       // English name with the country
    std::string_view native;     // the language's own name for itself
};

// The first entry of a language is its default when a locale names an unlisted country.
constexpr LocaleInfo kLocales[] = {
    {1025, "ar", "SA", "Arabic (Saudi Arabia)", "العربية"},
    {1026, "bg", "BG", "Bulgarian (Bulgaria)", "български"},
    {1027, "ca", "ES", "Catalan (Catalan)", "català"},
    {2052, "zh", "CN", "Chinese (Simplified, PRC)", "中文(简体)"},
    {1028, "zh", "TW", "Chinese (Traditional, Taiwan)", "中文(繁體)"},
    {3076, "zh", "HK", "Chinese (Traditional, Hong Kong S.A.R.)", "中文(繁體)"},
    {1029, "cs", "CZ", "Czech (Czech Republic)", "čeština"},
    {1030, "da", "DK", "Danish (Denmark)", "dansk"},
    {1031, "de", "DE", "German (Germany)", "Deutsch"},
    {2055, "de", "CH", "German (Switzerland)", "Deutsch"},
    {3079, "de", "AT", "German (Austria)", "Deutsch"},
    {4103, "de", "LU", "German (Luxembourg)", "Deutsch"},
    {5127, "de", "LI", "German (Liechtenstein)", "Deutsch"},
    {1032, "el", "GR", "Greek (Greece)", "Ελληνικά"},
    {1033, "en", "US", "English (United States)", "English"},
    {2057, "en", "GB", "English (United Kingdom)", "English"},
    {3081, "en", "AU", "English (Australia)", "English"},
    {4105, "en", "CA", "English (Canada)", "English"},
    {5129, "en", "NZ", "English (New Zealand)", "English"},
    {6153, "en", "IE", "English (Ireland)", "English"},
    {7177, "en", "ZA", "English (South Africa)", "English"},
    {16393, "en", "IN", "English (India)", "English"},
    {3082, "es", "ES", "Spanish (Spain)", "español"},
    {2058, "es", "MX", "Spanish (Mexico)", "español"},
    {11274, "es", "AR", "Spanish (Argentina)", "español"},
    {1061, "et", "EE", "Estonian (Estonia)", "eesti"},
    {1035, "fi", "FI", "Finnish (Finland)", "suomi"},
    {1036, "fr", "FR", "French (France)", "français"},
    {2060, "fr", "BE", "French (Belgium)", "français"},
    {3084, "fr", "CA", "French (Canada)", "français"},
    {4108, "fr", "CH", "French (Switzerland)", "français"},
    {5132, "fr", "LU", "French (Luxembourg)", "français"},
    {1037, "he", "IL", "Hebrew (Israel)", "עברית"},
    {1081, "hi", "IN", "Hindi (India)", "हिंदी"},
    {1050, "hr", "HR", "Croatian (Croatia)", "hrvatski"},
    {1038, "hu", "HU", "Hungarian (Hungary)", "magyar"},
    {1057, "id", "ID", "Indonesian (Indonesia)", "Bahasa Indonesia"},
    {1039, "is", "IS", "Icelandic (Iceland)", "íslenska"},
    {1040, "it", "IT", "Italian (Italy)", "italiano"},
    {2064, "it", "CH", "Italian (Switzerland)", "italiano"},
    {1041, "ja", "JP", "Japanese (Japan)", "日本語"},
    {1042, "ko", "KR", "Korean (Korea)", "한국어"},
    {1063, "lt", "LT", "Lithuanian (Lithuania)", "lietuvių"},
    {1062, "lv", "LV", "Latvian (Latvia)", "latviešu"},
    {1044, "nb", "NO", "Norwegian, Bokmål (Norway)", "norsk (bokmål)"},
    {1044, "no", "NO", "Norwegian, Bokmål (Norway)", "norsk (bokmål)"},
    {2068, "nn", "NO", "Norwegian, Nynorsk (Norway)", "norsk (nynorsk)"},
    {1043, "nl", "NL", "Dutch (Netherlands)", "Nederlands"},
    {2067, "nl", "BE", "Dutch (Belgium)", "Nederlands"},
    {1045, "pl", "PL", "Polish (Poland)", "polski"},
    {1046, "pt", "BR", "Portuguese (Brazil)", "português"},
    {2070, "pt", "PT", "Portuguese (Portugal)", "português"},
    {1048, "ro", "RO", "Romanian (Romania)", "română"},
    {1049, "ru", "RU", "Russian (Russia)", "русский"},
    {1051, "sk", "SK", "Slovak (Slovakia)", "slovenčina"},
    {1060, "sl", "SI", "Slovenian (Slovenia)", "slovenščina"},
    {1053, "sv", "SE", "Swedish (Sweden)", "svenska"},
    {2077, "sv", "FI", "Swedish (Finland)", "svenska"},
    {1054, "th", "TH", "Thai (Thailand)", "ไทย"},
    {1055, "tr", "TR", "Turkish (Turkey)", "Türkçe"},
    {1058, "uk", "UA", "Ukrainian (Ukraine)", "українська"},
    {1066, "vi", "VN", "Vietnamese (Vietnam)", "Tiếng Việt"},
};

const LocaleInfo* FindLocale(std::uint16_t langId) {
    for (const auto& l : kLocales) {
        if (l.langId == langId) return &l;
    }
    return nullptr;
}

// The language part of "German (Germany)".
std::string_view LanguageOnly(std::string_view name) {
    const auto paren = name.find(" (");
    return paren == std::string_view::npos ? name : name.substr(0, paren);
}

// Describes a module into the table; false when it has no language.
bool DescribeModule(const std::string& path, const CResourcePack& pack, LanguageTable& table) {
    const std::uint16_t lang = GetModuleLanguage(pack);
    if (lang == 0) return false;
    table[path] = LanguageDescriptor(lang);
    return true;
}

bool MatchesLibraryName(std::string_view file, std::string_view prefix) {
    if (file.size() < prefix.size() + kLibraryExtension.size()) return false;
    if (file.substr(0, prefix.size()) != prefix) return false;
    if (file.substr(file.size() - kLibraryExtension.size()) != kLibraryExtension) return false;
    return file.size() - prefix.size() - kLibraryExtension.size() <= kMaxLibrarySuffix;
}

}  // namespace

std::uint16_t GetModuleLanguage(const CResourcePack& pack) {
    const auto& entries = pack.Entries();
    const auto isLanguageCarrier = [](const CResourcePack::Entry& e) {
        return e.type == ResourceType::Menu || e.type == ResourceType::Dialog ||
               e.type == ResourceType::String;
    };
    // Entries are in enumeration order (type, number, language), so the first carrier is the
    // first name of the first of those types.
    const auto first = std::find_if(entries.begin(), entries.end(), isLanguageCarrier);
    if (first == entries.end()) return 0;
    // Resource number 0 cannot be named by number, so such a resource is never found again.
    if (first->id == 0) return 0;
    for (auto it = first; it != entries.end() && it->type == first->type && it->id == first->id; ++it) {
        if (PrimaryLanguage(it->language) != 0) return it->language;
    }
    return 0;
}

std::uint16_t GetModuleLanguage(const CResourceLibrary& library) {
    return GetModuleLanguage(library.Pack());
}

std::uint16_t LanguageIdFromLocaleName(std::string_view locale) {
    // language[_territory][.codeset][@modifier]
    locale = locale.substr(0, std::min(locale.find('.'), locale.find('@')));
    const auto sep = locale.find_first_of("_-");
    const std::string language = AsciiLower(locale.substr(0, sep));
    std::string territory;
    if (sep != std::string_view::npos) {
        for (char c : locale.substr(sep + 1))
            territory.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    if (language.empty()) return 0;
    const LocaleInfo* fallback = nullptr;
    for (const auto& l : kLocales) {
        if (l.language != language) continue;
        if (l.territory == territory) return l.langId;
        if (fallback == nullptr) fallback = &l;
    }
    return fallback ? fallback->langId : 0;
}

std::uint16_t UserDefaultUILanguage() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(var);
        if (value == nullptr || value[0] == '\0') continue;
        const std::string_view v(value);
        if (v == "C" || v == "POSIX" || v.substr(0, 2) == "C.") return kLangEnglish;
        return LanguageIdFromLocaleName(v);
    }
    return kLangEnglish;
}

std::string LanguageDescriptor(std::uint16_t langId) {
    std::string name;
    std::string native;
    if (const LocaleInfo* l = FindLocale(langId)) {
        name = l->name;
        native = l->native;
    } else {
        // An unlisted country of a listed language still gets the language's names.
        const LocaleInfo* primary = nullptr;
        for (const auto& l2 : kLocales) {
            if (PrimaryLanguage(l2.langId) == PrimaryLanguage(langId)) {
                primary = &l2;
                break;
            }
        }
        if (primary != nullptr) {
            name = LanguageOnly(primary->name);
            native = primary->native;
        } else {
            name = native = "Language " + std::to_string(langId);
        }
    }
    return "#" + std::to_string(langId) + "#" + name + " - " + native;
}

std::uint16_t LanguageIdFromDescriptor(std::string_view descriptor) {
    if (descriptor.size() < 3 || descriptor[0] != '#') return 0;
    const auto end = descriptor.find('#', 1);
    if (end == std::string_view::npos || end == 1 || end > 6) return 0;
    unsigned value = 0;
    for (char c : descriptor.substr(1, end - 1)) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value > 0xFFFF ? 0 : static_cast<std::uint16_t>(value);
}

std::vector<std::string> FindLanguageModules(const std::string& programPath) {
    std::vector<std::string> found;
    const std::string name = ProgramNameFromPath(programPath);
    if (name.empty()) return found;
    const std::string prefix = name + "_";
    std::error_code ec;
    for (std::filesystem::directory_iterator it(FolderOf(programPath), ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string file = it->path().filename().string();
        std::error_code typeEc;
        if (MatchesLibraryName(file, prefix) && it->is_regular_file(typeEc))
            found.push_back(it->path().string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

bool EnumerateLanguageModules(const std::vector<std::string>& paths, LanguageTable& table) {
    int described = 0;
    for (const auto& path : paths) {
        // The library is only needed while it is described; the chosen one is opened again.
        if (auto library = CResourceLibrary::Open(path);
            library && DescribeModule(path, library->Pack(), table))
            ++described;
    }
    if (described == 0 && !paths.empty()) return false;
    return DescribeModule(std::string(kBuiltInModulePath), BuiltInResources(), table);
}

std::string SelectUserInterfaceLanguageFor(const std::string& programPath) {
    const auto folder = EnsureSettingsFolder(programPath);
    if (!folder) return {};
    const std::string settings = JoinPath(*folder, "Config.ini");
    const auto wanted = static_cast<std::uint16_t>(
        GetPrivateProfileInt("General", "Language", UserDefaultUILanguage(), settings));
    if (PrimaryLanguage(wanted) == kPrimaryGerman) return {};

    const auto modules = FindLanguageModules(programPath);
    if (modules.empty()) return {};
    LanguageTable table;
    if (!EnumerateLanguageModules(modules, table)) return {};

    const auto matches = [&](int pass, std::uint16_t lang) {
        switch (pass) {
            case 0:
                return lang == wanted;
            case 1:
                return PrimaryLanguage(lang) == PrimaryLanguage(wanted);
            default:
                return PrimaryLanguage(lang) == kPrimaryEnglish;
        }
    };
    const std::string* picked = nullptr;
    for (int pass = 0; pass < 3 && picked == nullptr; ++pass) {
        for (const auto& [path, descriptor] : table) {
            if (matches(pass, LanguageIdFromDescriptor(descriptor))) {
                picked = &path;
                break;
            }
        }
    }
    if (picked == nullptr || *picked == kBuiltInModulePath) return {};
    auto library = CResourceLibrary::Open(*picked);
    if (!library) return {};
    SetResourceSource(library);
    return *picked;
}

void SelectUserInterfaceLanguage() {
    SelectUserInterfaceLanguageFor(CurrentProgramPath());
}

}  // namespace quivern
