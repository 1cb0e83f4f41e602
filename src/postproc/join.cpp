#include "postproc/join.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>

#include "config/saved_options.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "postproc/file_choice.h"
#include "postproc/messages.h"

namespace quivern {

namespace fs = std::filesystem;

namespace {

// Copy unit: large enough that a multi-gigabyte part costs few system calls, small enough that
// cancelling is noticed quickly.
constexpr std::size_t kChunk = 64u << 20;
constexpr std::size_t kBufferChunk = 8u << 20;

class CFd {
public:
    explicit CFd(int fd = -1) : m_fd(fd) {}
    ~CFd() { Close(); }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    bool Close() {
        if (m_fd < 0) return true;
        const int rc = ::close(m_fd);
        m_fd = -1;
        return rc == 0;
    }

private:
    int m_fd;
};

std::string WithoutLastExtension(const std::string& path) {
    const std::string_view ext = FileExtension(path);
    return path.substr(0, path.size() - ext.size());
}

// Copies `length` bytes of `in` to `out` at `offset`; the kernel copy first, plain reads and
// writes where the file systems do not allow it.
bool CopyPart(int in, int out, std::uint64_t offset, std::uint64_t length, CPostProcContext& ctx,
              std::unique_ptr<char[]>& buffer) {
    bool kernelCopy = true;
    std::uint64_t done = 0;
    loff_t inOff = 0;
    loff_t outOff = static_cast<loff_t>(offset);
    while (done < length) {
        if (ctx.Cancelled()) return false;
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, kChunk));
        if (kernelCopy) {
            const ssize_t n = ::copy_file_range(in, &inOff, out, &outOff, want, 0);
            if (n > 0) {
                done += static_cast<std::uint64_t>(n);
                continue;
            }
            if (n == 0) return false;  // the part shrank under us
            if (errno == EINTR) continue;
            if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
            kernelCopy = false;
        }
        if (!buffer) buffer.reset(new (std::nothrow) char[kBufferChunk]);
        if (!buffer) return false;
        const std::size_t step = std::min(want, kBufferChunk);
        const ssize_t got = ::pread(in, buffer.get(), step, inOff);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        std::size_t written = 0;
        while (written < static_cast<std::size_t>(got)) {
            const ssize_t w = ::pwrite(out, buffer.get() + written, static_cast<std::size_t>(got) - written,
                                       outOff + static_cast<loff_t>(written));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            written += static_cast<std::size_t>(w);
        }
        inOff += got;
        outOff += got;
        done += static_cast<std::uint64_t>(got);
    }
    return true;
}

void AddToDeleteList(CPostProcContext& ctx, const std::string& path) {
    if (!ctx.m_autoDeleteCurrent) return;
    if (std::find(ctx.m_deleteList.begin(), ctx.m_deleteList.end(), path) == ctx.m_deleteList.end())
        ctx.m_deleteList.push_back(path);
}

// The join proper over one folder. `replace` allows writing over an existing target (only for a
// target this job wrote itself).
bool JoinFolder(const std::string& folder, bool replace, std::string& rarPath, CPostProcContext& ctx,
                TJoinResult* result) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return true;
    ctx.PostStatus(kStrCheckForJoin);

    std::map<std::uint16_t, std::string> parts;
    for (fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
        std::error_code statEc;
        if (!it->is_regular_file(statEc)) continue;
        const std::string name = it->path().filename().string();
        const int number = SplitPartNumber(name);
        if (number < 0) continue;
        parts.emplace(static_cast<std::uint16_t>(number), JoinPath(folder, name));  // first one wins
    }
    if (parts.empty()) return true;

    const std::string target = WithoutLastExtension(parts.begin()->second);
    const bool isRar = EqualsIgnoreAsciiCase(FileExtension(target), ".rar");
    if (!replace && FileExists(target)) {
        if (result != nullptr) result->m_target = target;
        if (isRar) rarPath = target;
        return true;
    }
    for (const auto& [number, path] : parts)
        if (!EqualsIgnoreCase(WithoutLastExtension(path), target)) return true;

    const unsigned smallest = parts.begin()->first;
    const unsigned largest = parts.rbegin()->first;
    std::uint64_t total = 0;
    bool gap = false;
    for (unsigned n = smallest; n <= largest; ++n) {
        const auto found = parts.find(static_cast<std::uint16_t>(n));
        if (found == parts.end()) {
            gap = true;
            continue;
        }
        CFd fd(::open(found->second.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd.Valid()) continue;
        struct stat st {};
        if (::fstat(fd.Get(), &st) != 0) return true;
        total += static_cast<std::uint64_t>(st.st_size);
    }
    if (gap) ctx.PostMessage(kStrMissingParts);

    ctx.PostStatus(kStrJoining);
    ctx.ResetPermille();
    if (result != nullptr) {
        result->m_target = target;
        result->m_parts.clear();
        result->m_joined = false;
    }
    bool ok = false;
    {
        CFd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        // Allocating the whole length first spares the file system block-by-block allocation.
        ok = out.Valid() && (::posix_fallocate(out.Get(), 0, static_cast<off_t>(total)) == 0 ||
                             ::ftruncate(out.Get(), static_cast<off_t>(total)) == 0);
        std::unique_ptr<char[]> buffer;
        std::uint64_t offset = 0;
        for (unsigned n = smallest; ok && n <= largest; ++n) {
            const auto found = parts.find(static_cast<std::uint16_t>(n));
            if (found == parts.end()) continue;
            CFd in(::open(found->second.c_str(), O_RDONLY | O_CLOEXEC));
            struct stat st {};
            if (!in.Valid() || ::fstat(in.Get(), &st) != 0 || st.st_size == 0) {
                ok = false;
                break;
            }
            const auto size = static_cast<std::uint64_t>(st.st_size);
            ctx.PostFile(FileNamePart(found->second));
            ctx.PostPermille((n - smallest) * 1000u / (largest - smallest + 1));
            // A part that grew since the sizes were taken would overrun the target's length.
            if (offset + size > total || !CopyPart(in.Get(), out.Get(), offset, size, ctx, buffer)) {
                ok = false;
                break;
            }
            offset += size;
            if (result != nullptr) result->m_parts.push_back(found->second);
            AddToDeleteList(ctx, found->second);
        }
        if (ok && offset != total) ok = ::ftruncate(out.Get(), static_cast<off_t>(offset)) == 0;
        if (!out.Close()) ok = false;
    }
    if (!ok) {
        // A partial whole file must not pass for the real one; nothing of this job is deleted.
        ctx.m_deleteList.clear();
        ::unlink(target.c_str());
        if (result != nullptr) result->m_parts.clear();
        return !ctx.Cancelled();
    }
    if (result != nullptr) result->m_joined = true;
    if (isRar) rarPath = target;
    return true;
}

}  // namespace

int SplitPartNumber(const std::string& name) {
    const std::string_view ext = FileExtension(name);
    if (ext.size() < 2) return -1;
    unsigned value = 0;
    for (char c : ext.substr(1)) {
        if (c < '0' || c > '9') return -1;
        if (value < 65536) value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value < 65536 ? static_cast<int>(value) : -1;
}

bool JoinSplitFiles(const std::string& nzbPath, const std::string& parPath, std::string& rarPath,
                    CPostProcContext& ctx, const CSavedOptions* options, TJoinResult* result) {
    std::string folder;
    if (options != nullptr && options->m_createSubfolders) {
        folder = DownloadFolder(*options, nzbPath);
    } else {
        if (parPath.empty()) return true;
        folder = FolderOf(parPath);
    }
    return JoinFolder(folder, false, rarPath, ctx, result);
}

bool RejoinSplitFiles(TJoinResult& joined, std::string& rarPath, CPostProcContext& ctx) {
    if (!joined.m_joined || joined.m_target.empty()) return true;
    return JoinFolder(FolderOf(joined.m_target), true, rarPath, ctx, &joined);
}

}  // namespace quivern
