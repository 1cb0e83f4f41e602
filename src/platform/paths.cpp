#include "platform/paths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace quivern {
namespace {

bool IsSep(char c) {
    return c == '/' || c == '\\';
}

bool MakeDir(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) == 0) return true;
    return errno == EEXIST && DirectoryExists(path);
}

bool MakeDirs(const std::string& path) {
    if (DirectoryExists(path)) return true;
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            const std::string part = path.substr(0, i);
            if (!DirectoryExists(part) && !MakeDir(part)) return false;
        }
    }
    return true;
}

std::string HomeFolder() {
    if (const char* h = std::getenv("HOME"); h != nullptr && h[0] == '/') return StripTrailingSeparator(h);
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        return StripTrailingSeparator(pw->pw_dir);
    }
    return {};
}

}  // namespace

std::string ProgramNameFromPath(std::string_view programPath) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < programPath.size(); ++i) {
        if (IsSep(programPath[i])) start = i + 1;
    }
    std::string name(programPath.substr(start));
    const auto dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    constexpr std::string_view kToolSuffix = "-get";
    if (name.size() > kToolSuffix.size() &&
        name.compare(name.size() - kToolSuffix.size(), kToolSuffix.size(), kToolSuffix) == 0) {
        name.erase(name.size() - kToolSuffix.size());
    }
    return name;
}

std::optional<std::string> SettingsFolderFor(std::string_view programPath, std::string_view settingsRoot) {
    const std::string name = ProgramNameFromPath(programPath);
    if (settingsRoot.empty() || name.empty()) return std::nullopt;
    std::string root = StripTrailingSeparator(settingsRoot);
    if (!programPath.empty() && programPath[0] == '/') return root + "/" + name;
    if (programPath.size() >= 2 && programPath[1] == ':' &&
        ((programPath[0] >= 'A' && programPath[0] <= 'Z') ||
         (programPath[0] >= 'a' && programPath[0] <= 'z'))) {
        return root + "\\" + std::string(1, programPath[0]) + "_" + name;
    }
    if (programPath.size() > 2 && IsSep(programPath[0]) && IsSep(programPath[1])) {
        // \\server\share: the root ends at the separator after the share name.
        const std::string_view rest = programPath.substr(2);
        std::size_t end = rest.size();
        int seps = 0;
        for (std::size_t i = 0; i < rest.size(); ++i) {
            if (IsSep(rest[i]) && ++seps == 2) {
                end = i;
                break;
            }
        }
        const std::string_view unc = rest.substr(0, end);
        if (unc.size() <= 2) return std::nullopt;
        return root + "\\" + std::string(unc) + "_" + name;
    }
    return std::nullopt;
}

std::optional<std::string> UserSettingsRoot() {
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x != nullptr && x[0] == '/') {
        return StripTrailingSeparator(x);
    }
    const std::string home = HomeFolder();
    if (home.empty()) return std::nullopt;
    return home + "/.config";
}

std::string CurrentProgramPath() {
    std::vector<char> buf(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return {};
    return std::string(buf.data(), static_cast<std::size_t>(n));
}

std::string CurrentProgramFolder() {
    return FolderOf(CurrentProgramPath());
}

std::optional<std::string> EnsureSettingsFolder(std::string_view programPath) {
    const std::string program = programPath.empty() ? CurrentProgramPath() : std::string(programPath);
    const auto root = UserSettingsRoot();
    if (!root || program.empty()) return std::nullopt;
    auto folder = SettingsFolderFor(program, *root);
    if (!folder) return std::nullopt;
    if (!MakeDirs(*root) || !MakeDir(*folder)) return std::nullopt;
    return folder;
}

std::string DocumentsFolder() {
    const std::string home = HomeFolder();
    // The XDG user-dirs file names the documents folder as XDG_DOCUMENTS_DIR="$HOME/...".
    if (auto root = UserSettingsRoot()) {
        std::ifstream in(*root + "/user-dirs.dirs");
        std::string line;
        while (std::getline(in, line)) {
            constexpr std::string_view key = "XDG_DOCUMENTS_DIR=\"";
            if (line.compare(0, key.size(), key) != 0) continue;
            std::string v = line.substr(key.size());
            if (!v.empty() && v.back() == '"') v.pop_back();
            if (v.compare(0, 5, "$HOME") == 0) v = home + v.substr(5);
            if (!v.empty() && v[0] == '/' && DirectoryExists(v)) return StripTrailingSeparator(v);
        }
    }
    if (!home.empty() && DirectoryExists(home + "/Documents")) return home + "/Documents";
    return home.empty() ? std::string("/") : home;
}

std::string TempFolder() {
    if (const char* t = std::getenv("TMPDIR"); t != nullptr && t[0] == '/') return StripTrailingSeparator(t);
    return "/tmp";
}

std::string FolderOf(std::string_view path) {
    const auto pos = path.find_last_of("/\\");
    if (pos == std::string_view::npos) return {};
    if (pos == 0) return "/";
    return std::string(path.substr(0, pos));
}

std::string_view FileNamePart(std::string_view path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string StripTrailingSeparator(std::string_view path) {
    while (path.size() > 1 && IsSep(path.back()))
        path.remove_suffix(1);
    return std::string(path);
}

std::string JoinPath(std::string_view folder, std::string_view name) {
    if (folder.empty()) return std::string(name);
    std::string out(folder);
    if (!IsSep(out.back())) out += '/';
    out += name;
    return out;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool ReadWholeFile(const std::string& path, std::string& out, std::uint64_t maxBytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        ::close(fd);
        return false;
    }
    out.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    out.resize(done);
    return true;
}

bool DirectoryExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace quivern
