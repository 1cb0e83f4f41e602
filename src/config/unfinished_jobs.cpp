// Unfinished jobs: the multiparts whose downloads were cut off when the program closed,
// remembered per NZB file and offered again at the next start.
//
// File form: sections "UnfinishedJobs_0000", "UnfinishedJobs_0001", ... numbered without gaps,
// at most eight "<job key>_<item index, six digits>=<subject>" lines each, written job after
// job and item after item; a job's items may run on into the next section.

#include <cstdio>

#include "config/saved_options.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace quivern {
namespace {

std::string SectionName(std::size_t n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "UnfinishedJobs_%04zu", n);
    return buf;
}

constexpr std::size_t kItemSuffixLength = 7;  // "_" and six digits

}  // namespace

void CSavedOptions::AddUnfinishedItem(std::string_view nzbPath, std::string_view item) {
    auto& list = m_unfinishedJobs[AsciiLower(nzbPath)];
    for (const auto& existing : list) {
        if (existing == item) return;
    }
    list.emplace_back(item);
}

std::optional<std::vector<std::string>> CSavedOptions::TakeUnfinishedJob(std::string_view nzbPath) {
    auto it = m_unfinishedJobs.find(AsciiLower(nzbPath));
    if (it == m_unfinishedJobs.end()) return std::nullopt;
    auto list = std::move(it->second);
    m_unfinishedJobs.erase(it);
    return list;
}

std::vector<std::string> CSavedOptions::UnfinishedJobKeys() const {
    std::vector<std::string> keys;
    for (const auto& [key, items] : m_unfinishedJobs)
        keys.push_back(key);
    return keys;
}

bool CSavedOptions::LoadUnfinishedJobs(CProfileFile& ini) {
    bool removedAny = false;
    for (std::size_t n = 0;; ++n) {
        const std::string section = SectionName(n);
        const auto lines = ini.GetSectionLines(section);
        if (lines.empty()) break;
        for (const auto& line : lines) {
            const auto eq = line.find('=');
            if (eq == std::string::npos) break;
            // A key too short to carry the item suffix cannot name a job.
            if (eq < kItemSuffixLength) continue;
            AddUnfinishedItem(std::string_view(line).substr(0, eq - kItemSuffixLength),
                              std::string_view(line).substr(eq + 1));
        }
        ini.DeleteSection(section);
        removedAny = true;
    }
    return removedAny;
}

void CSavedOptions::SaveUnfinishedJobs(CProfileFile& ini) const {
    // Sections left by an earlier save of this run are replaced, not merged.
    for (std::size_t n = 0; ini.HasSection(SectionName(n)); ++n)
        ini.DeleteSection(SectionName(n));
    std::size_t sectionNumber = 0;
    std::size_t linesInSection = 0;
    std::string section;
    for (const auto& [key, items] : m_unfinishedJobs) {
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (linesInSection == 0) section = SectionName(sectionNumber++);
            char suffix[32];
            std::snprintf(suffix, sizeof suffix, "_%06zu", i);
            ini.WriteString(section, key + suffix, items[i]);
            if (++linesInSection == kUnfinishedLinesPerSection) linesInSection = 0;
        }
    }
}

}  // namespace quivern
