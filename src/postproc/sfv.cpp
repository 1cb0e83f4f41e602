#include "postproc/sfv.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "nntp/decode/crc32.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace quivern {

namespace fs = std::filesystem;

namespace {

bool IsSfvSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool Utf16ToUtf8(std::string_view bytes, bool bigEndian, std::string& out) {
    out.clear();
    const std::size_t units = bytes.size() / 2;  // an odd trailing byte is ignored
    auto unit = [&](std::size_t i) -> std::uint32_t {
        const auto a = static_cast<unsigned char>(bytes[2 * i]);
        const auto b = static_cast<unsigned char>(bytes[2 * i + 1]);
        return bigEndian ? (a << 8 | b) : (b << 8 | a);
    };
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t cp = unit(i);
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 >= units) return false;
            const std::uint32_t low = unit(i + 1);
            if (low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;
        }
        if (cp == 0) break;  // the text ends at a NUL, like the zero-terminated original
        AppendUtf8(cp, out);
    }
    return true;
}

std::uint32_t ParseHexCrc(std::string_view word) {
    if (word.size() >= 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) word.remove_prefix(2);
    std::uint64_t value = 0;
    for (char c : word) {
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            break;
        value = value * 16 + digit;
        if (value > 0xFFFFFFFFu) return 0xFFFFFFFFu;
    }
    return static_cast<std::uint32_t>(value);
}

// Windows lists use backslashes; a name must stay inside the list's folder.
bool ConfineName(std::string& name) {
    for (char& c : name)
        if (c == '\\') c = '/';
    if (name.empty() || name[0] == '/') return false;
    if (name.size() >= 2 && name[1] == ':') return false;  // a drive letter
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t end = std::min(name.find('/', start), name.size());
        if (name.compare(start, end - start, "..") == 0) return false;
        start = end + 1;
    }
    return true;
}

// Finds `relative` below `folder` with each component matched ignoring case when the exact
// name is absent.
std::string ResolveIgnoringCase(const std::string& folder, const std::string& relative) {
    std::string current = folder;
    std::size_t start = 0;
    while (start < relative.size()) {
        std::size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        const std::string part = relative.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        std::string exact = JoinPath(current, part);
        if (fs::exists(fs::path(exact))) {
            current = std::move(exact);
            continue;
        }
        std::error_code ec;
        std::string found;
        for (fs::directory_iterator it(current, ec), stop; !ec && it != stop; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (EqualsIgnoreCase(name, part)) {
                found = JoinPath(current, name);
                break;
            }
        }
        if (found.empty()) return {};
        current = std::move(found);
    }
    return current;
}

}  // namespace

bool DecodeSfvText(std::string_view bytes, std::string& utf8) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() >= 2 && b(0) == 0xFF && b(1) == 0xFE) return Utf16ToUtf8(bytes.substr(2), false, utf8);
    if (bytes.size() >= 2 && b(0) == 0xFE && b(1) == 0xFF) return Utf16ToUtf8(bytes.substr(2), true, utf8);
    if (bytes.size() >= 3 && b(0) == 0xEF && b(1) == 0xBB && b(2) == 0xBF) bytes.remove_prefix(3);
    const auto nul = bytes.find('\0');
    if (nul != std::string_view::npos) bytes = bytes.substr(0, nul);
    utf8 = IsValidUtf8(bytes) ? std::string(bytes) : Cp1252ToUtf8(bytes);
    return true;
}

std::vector<TCRCSfv> ParseSfv(std::string_view text, const std::string& folder) {
    std::vector<TCRCSfv> entries;
    std::size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && IsSfvSpace(text[pos]))
            ++pos;
        if (pos >= text.size()) break;
        std::size_t end = pos;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n')
            ++end;
        std::string_view line = text.substr(pos, end - pos);
        pos = end;
        while (!line.empty() && IsSfvSpace(line.back()))
            line.remove_suffix(1);
        if (line.size() <= 1) break;
        std::size_t lastSpace = std::string_view::npos;
        for (std::size_t i = line.size(); i-- > 0;)
            if (IsSfvSpace(line[i])) {
                lastSpace = i;
                break;
            }
        if (lastSpace == std::string_view::npos) break;
        const std::string_view crcWord = line.substr(lastSpace + 1);
        std::string_view name = line.substr(0, lastSpace);
        while (!name.empty() && IsSfvSpace(name.back()))
            name.remove_suffix(1);
        if (name.size() <= 1) break;
        if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
            name = name.substr(1, name.size() - 2);
        TCRCSfv entry;
        std::string confined(name);
        entry.m_confined = ConfineName(confined);
        entry.m_path = JoinPath(folder, entry.m_confined ? confined : std::string(name));
        entry.m_crc = ParseHexCrc(crcWord);
        entries.push_back(std::move(entry));
    }
    return entries;
}

SfvCode CheckSfvEntry(const TCRCSfv& entry) {
    if (!entry.m_confined) return SfvMissing;
    struct stat st {};
    if (::stat(entry.m_path.c_str(), &st) != 0) return SfvMissing;
    const std::uint32_t crc = FileCrc32(entry.m_path);
    if (crc == entry.m_crc) return SfvOk;
    return crc == 0xFFFFFFFFu ? SfvUnreadable : SfvBadCrc;
}

std::uint32_t SfvPercent(std::size_t index, std::size_t count) {
    if (count == 0 || index >= count) return 100;
    const auto percent = static_cast<std::uint32_t>(index * 100 / count);
    return percent >= 100 ? 99 : percent;
}

bool PostResult(const CSFVJob& job, SfvCode code, const std::string& path, std::size_t index,
                std::size_t count) {
    if (!IsWindow(job.m_window)) return false;
    const WParam wParam = (static_cast<WParam>(SfvPercent(index, count)) << 16) | code;
    auto* copy = new std::string(path);
    if (PostMessageTo(job.m_window, WM_SFV_RESULT, wParam, reinterpret_cast<LParam>(copy))) return true;
    delete copy;
    return false;
}

void ProcessSfvJob(const CSFVJob& job, const std::atomic<bool>* stop) {
    auto unusable = [&] {
        if (IsWindow(job.m_window)) PostMessageTo(job.m_window, WM_SFV_RESULT, SfvUnreadable, 0);
    };
    std::string bytes;
    // An SFV list is small; a huge or special file is not a list.
    if (!ReadWholeFile(job.m_sfvPath, bytes, 64 << 20) || bytes.empty()) return unusable();
    std::string text;
    if (!DecodeSfvText(bytes, text)) return unusable();
    bytes.clear();
    const std::vector<TCRCSfv> entries = ParseSfv(text, job.m_folder);
    if (entries.empty()) return unusable();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) return;
        TCRCSfv entry = entries[i];
        if (entry.m_confined && !FileExists(entry.m_path)) {
            // Lists made on case-insensitive systems name files in any case.
            const std::string relative =
                entry.m_path.substr(std::min(entry.m_path.size(), job.m_folder.size() + 1));
            const std::string found = ResolveIgnoringCase(job.m_folder, relative);
            if (!found.empty()) entry.m_path = found;
        }
        const SfvCode code = CheckSfvEntry(entry);
        if (!PostResult(job, code, entry.m_path, i + 1, entries.size())) return;
    }
}

}  // namespace quivern
