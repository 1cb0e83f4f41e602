#include "postproc/file_choice.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "config/saved_options.h"
#include "nzb/nzb_media.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace quivern {

namespace fs = std::filesystem;

std::string_view FileExtension(std::string_view path) {
    const std::string_view name = FileNamePart(path);
    const auto dot = name.find_last_of('.');
    return dot == std::string_view::npos ? std::string_view{} : name.substr(dot);
}

std::string DownloadFolder(std::string_view savePathRoot, bool createSubfolders, std::string_view nzbPath) {
    std::string folder = StripTrailingSeparator(savePathRoot);
    if (!createSubfolders) return folder;
    std::string_view stem = FileNamePart(nzbPath);
    const std::string_view ext = FileExtension(stem);
    stem.remove_suffix(ext.size());
    return JoinPath(folder, stem);
}

std::string DownloadFolder(const CSavedOptions& options, std::string_view nzbPath) {
    return DownloadFolder(options.m_savePathRoot, options.m_createSubfolders, nzbPath);
}

namespace {

bool SubjectNames(std::string_view subject, std::string_view name) {
    // Posters usually quote the file name; a bare name inside the subject counts as well.
    const std::string lowerSubject = AsciiLower(subject);
    const std::string lowerName = AsciiLower(name);
    if (lowerSubject.find("\"" + lowerName + "\"") != std::string::npos) return true;
    const auto pos = lowerSubject.find(lowerName);
    if (pos == std::string::npos) return false;
    // A bare match must not be the prefix of a longer name (a.par2 inside a.par2.1).
    const std::size_t end = pos + lowerName.size();
    const bool leftOk = pos == 0 || lowerSubject[pos - 1] == ' ' || lowerSubject[pos - 1] == '"';
    const bool rightOk = end == lowerSubject.size() || lowerSubject[end] == ' ' || lowerSubject[end] == '"';
    return leftOk && rightOk;
}

}  // namespace

std::vector<TStoredFile> ListStoredFiles(const std::string& folder, const CNzbMedia* nzb) {
    std::vector<TStoredFile> onDisk;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code statEc;
        if (!it->is_regular_file(statEc)) continue;
        const auto size = it->file_size(statEc);
        onDisk.push_back({it->path().filename().string(), statEc ? 0 : static_cast<std::uint64_t>(size)});
    }
    std::sort(onDisk.begin(), onDisk.end(),
              [](const TStoredFile& a, const TStoredFile& b) { return a.m_name < b.m_name; });
    if (nzb == nullptr) return onDisk;

    std::vector<TStoredFile> stored;
    std::vector<bool> taken(onDisk.size(), false);
    for (const CNzbPart* part : nzb->m_parts) {
        // The longest matching name wins, so "a.rar" does not claim the subject of "a.rar.001".
        std::size_t best = onDisk.size();
        for (std::size_t i = 0; i < onDisk.size(); ++i) {
            if (taken[i] || !SubjectNames(part->m_subject, onDisk[i].m_name)) continue;
            if (best == onDisk.size() || onDisk[i].m_name.size() > onDisk[best].m_name.size()) best = i;
        }
        if (best == onDisk.size()) continue;
        taken[best] = true;
        stored.push_back(onDisk[best]);
    }
    return stored;
}

TFileChoice FindMainParFile(const std::string& folder, const std::vector<TStoredFile>& files) {
    const bool anyPar2 = std::any_of(files.begin(), files.end(), [](const TStoredFile& f) {
        return EqualsIgnoreAsciiCase(FileExtension(f.m_name), ".par2");
    });
    const std::string_view wanted = anyPar2 ? ".par2" : ".par";
    const TStoredFile* best = nullptr;
    for (const TStoredFile& f : files) {
        if (!EqualsIgnoreAsciiCase(FileExtension(f.m_name), wanted)) continue;
        if (best == nullptr || f.m_size < best->m_size) best = &f;
    }
    if (best == nullptr) return {};
    return {JoinPath(folder, best->m_name), folder};
}

bool IsFirstRarVolumeName(std::string_view name) {
    if (!EqualsIgnoreAsciiCase(FileExtension(name), ".rar")) return false;
    name.remove_suffix(4);
    const std::string_view inner = FileExtension(name);
    if (inner.size() < 5 || !EqualsIgnoreAsciiCase(inner.substr(0, 5), ".part")) return true;
    const std::string_view digits = inner.substr(5);
    if (digits.empty()) return false;
    unsigned long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        if (value < 1000000) value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value == 1;
}

TFileChoice FindFirstRarVolume(const std::string& folder, const std::vector<TStoredFile>& files) {
    for (const TStoredFile& f : files)
        if (IsFirstRarVolumeName(f.m_name)) return {JoinPath(folder, f.m_name), folder};
    return {};
}

}  // namespace quivern
