#include "assembly/written_files.h"

#include <sys/stat.h>

#include <mutex>
#include <unordered_map>

namespace quivern {
namespace {

struct Entry {
    TWrittenFile file;
    timespec mtime{};
    dev_t device = 0;
    ino_t inode = 0;
};

struct Registry {
    std::mutex lock;
    std::unordered_map<std::string, Entry> files;
};

Registry& Files() {
    static auto* r = new Registry();
    return *r;
}

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

void RecordWrittenFile(const std::string& path, const std::array<std::uint8_t, 16>& md5) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return;
    Entry e;
    e.file.size = static_cast<std::uint64_t>(st.st_size);
    e.file.md5 = md5;
    e.mtime = st.st_mtim;
    e.device = st.st_dev;
    e.inode = st.st_ino;
    auto& r = Files();
    std::lock_guard g(r.lock);
    r.files[path] = e;
}

std::optional<TWrittenFile> LookupWrittenFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    auto& r = Files();
    std::lock_guard g(r.lock);
    auto it = r.files.find(path);
    if (it == r.files.end()) return std::nullopt;
    const Entry& e = it->second;
    if (static_cast<std::uint64_t>(st.st_size) != e.file.size || !SameTime(st.st_mtim, e.mtime) ||
        st.st_dev != e.device || st.st_ino != e.inode) {
        r.files.erase(it);
        return std::nullopt;
    }
    return e.file;
}

void ForgetWrittenFile(const std::string& path) {
    auto& r = Files();
    std::lock_guard g(r.lock);
    r.files.erase(path);
}

}  // namespace quivern
