#include "app/get_languages.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "app/language.h"
#include "platform/paths.h"

namespace quivern {

int RunLanguagesCommandFor(std::ostream& out, const std::string& programPath) {
    LanguageTable table;
    EnumerateLanguageModules(FindLanguageModules(programPath), table);
    // The built-in set is always there to fall back on, even when no library could be described.
    if (table.find(std::string(kBuiltInModulePath)) == table.end())
        table.emplace(kBuiltInModulePath, LanguageDescriptor(BuiltInResources().Language()));

    std::vector<std::pair<std::uint16_t, std::string>> lines;
    for (const auto& [path, descriptor] : table)
        lines.emplace_back(LanguageIdFromDescriptor(descriptor), descriptor);
    std::sort(lines.begin(), lines.end());
    for (const auto& line : lines)
        out << line.second << "\n";
    return out ? 0 : 1;
}

int RunLanguagesCommand(std::ostream& out) {
    return RunLanguagesCommandFor(out, CurrentProgramPath());
}

}  // namespace quivern
