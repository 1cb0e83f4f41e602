#include "postproc/rar/extract.h"

#include "nntp/decode/crc32.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "config/saved_options.h"
#include "platform/paths.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "postproc/messages.h"

// libarchive checks every extracted byte with zlib's crc32(), which runs at a fraction of the
// speed of our carry-less-multiply CRC and made it the largest cost of extracting stored entries.
// The program defines crc32 and crc32_z itself, with zlib's signatures and exactly zlib's results
// (the standard reflected CRC-32), and the dynamic linker binds the libraries' calls to them.
extern "C" {
unsigned long crc32(unsigned long crc, const unsigned char* buf, unsigned int len) {
    if (buf == nullptr) return 0;
    return quivern::Crc32Update(static_cast<std::uint32_t>(crc), buf, len);
}
unsigned long crc32_z(unsigned long crc, const unsigned char* buf, std::size_t len) {
    if (buf == nullptr) return 0;
    return quivern::Crc32Update(static_cast<std::uint32_t>(crc), buf, len);
}
}

namespace quivern {

namespace {

namespace fs = std::filesystem;
using rar::Failure;

constexpr std::size_t kMaxPasswordUnits = 255;

// Unlike the platform's FolderOf, only '/' separates (a '\\' is part of a name inside an archive)
// and a bare name lies in ".".
std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string FormatArchiveFile(const std::string& archive, const std::string& file) {
    std::string text = LoadString(kStrArchiveFile);
    if (text.empty()) text = "Archive: \"%s\"; File: \"%s\"";
    const std::string* args[2] = {&archive, &file};
    std::string out;
    int used = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == 's' && used < 2) {
            out += *args[used++];
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

// ---- the reader process ----

// Records sent from the reader to the step: one type byte, a 32-bit length, the payload.
enum : char {
    kEvVolume = 'V',
    kEvEntry = 'E',
    kEvData = 'D',
    kEvTotal = 'T',
    kEvAlive = 'K',
    kEvRefused = 'U',
    kEvResult = 'R',
};

class CReader {
public:
    CReader(int fd, std::vector<std::string> volumes, std::string dest, bool decrypt,
            std::shared_ptr<rar::CRarCryptoState> state, std::vector<std::string> continued)
        : m_fd(fd),
          m_volumes(std::move(volumes)),
          m_dest(std::move(dest)),
          m_decrypt(decrypt),
          m_state(std::move(state)),
          m_continued(std::move(continued)) {}

    void Run() {
        std::uint64_t total = 0;
        Failure f = Pass(false, total);
        if (f == Failure::None) {
            Send(kEvTotal, &total, sizeof total);
            f = Pass(true, total);
        }
        FlushData();
        std::string payload(1, static_cast<char>(f));
        payload += m_detail;
        Send(kEvResult, payload.data(), payload.size());
    }

private:
    struct Node {
        CReader* owner;
        std::size_t index;
        std::unique_ptr<rar::CVolumeStream> stream;
    };

    static int OpenCb(archive* a, void* data) {
        auto* n = static_cast<Node*>(data);
        if (!n->stream->Open()) {
            archive_set_error(a, ENOENT, "cannot open %s", n->stream->Path().c_str());
            return ARCHIVE_FATAL;
        }
        n->owner->Entered(n->index);
        return ARCHIVE_OK;
    }
    static la_ssize_t ReadCb(archive* a, void* data, const void** buffer) {
        auto* n = static_cast<Node*>(data);
        const long r = n->stream->Next(buffer);
        if (r < 0) {
            archive_set_error(a, EIO, "read failed: %s", n->owner->m_state->failureDetail.c_str());
            return -1;
        }
        if (r > 0) n->owner->Alive();
        return r;
    }
    static la_int64_t SkipCb(archive*, void* data, la_int64_t count) {
        return static_cast<Node*>(data)->stream->Skip(count);
    }
    static la_int64_t SeekCb(archive*, void* data, la_int64_t offset, int whence) {
        return static_cast<Node*>(data)->stream->Seek(offset, whence);
    }
    static int CloseCb(archive*, void* data) {
        static_cast<Node*>(data)->stream->Close();
        return ARCHIVE_OK;
    }
    static int SwitchCb(archive* a, void* from, void* to) {
        if (from) CloseCb(a, from);
        return to ? OpenCb(a, to) : ARCHIVE_OK;
    }

    void Entered(std::size_t index) {
        if (!m_extracting || index <= m_lastVolume) return;
        m_lastVolume = index;
        FlushData();
        Send(kEvVolume, m_volumes[index].data(), m_volumes[index].size());
    }

    void Send(char type, const void* data, std::size_t length) {
        std::string rec(1, type);
        const std::uint32_t len = static_cast<std::uint32_t>(length);
        rec.append(reinterpret_cast<const char*>(&len), 4);
        rec.append(static_cast<const char*>(data), length);
        std::size_t done = 0;
        while (done < rec.size()) {
            const ssize_t w = ::write(m_fd, rec.data() + done, rec.size() - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) _exit(3);  // the step is gone
            done += static_cast<std::size_t>(w);
        }
        m_lastSend = std::chrono::steady_clock::now();
    }

    void Alive() {
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastSend > std::chrono::milliseconds(250)) Send(kEvAlive, nullptr, 0);
    }

    void AddData(std::uint64_t n) {
        m_pendingData += n;
        if (m_pendingData >= (64u << 10)) FlushData();
        Alive();
    }
    void FlushData() {
        if (m_pendingData == 0) return;
        Send(kEvData, &m_pendingData, sizeof m_pendingData);
        m_pendingData = 0;
    }

    Failure FailFrom(archive* a, Failure fallback, const std::string& name) {
        if (m_state->failure != Failure::None) {
            m_detail = m_state->failureDetail;
            return m_state->failure;
        }
        m_detail = name.empty() ? "" : name + ": ";
        m_detail += a && archive_error_string(a) ? archive_error_string(a) : "read error";
        return fallback;
    }

    archive* OpenArchive() {
        archive* a = archive_read_new();
        archive_read_support_format_rar(a);
        archive_read_support_format_rar5(a);
        m_nodes.clear();
        m_state->StartRead();
        for (std::size_t i = 0; i < m_volumes.size(); ++i)
            m_nodes.push_back(std::make_unique<Node>(
                Node{this, i, std::make_unique<rar::CVolumeStream>(m_volumes[i], m_state, m_decrypt)}));
        archive_read_set_open_callback(a, OpenCb);
        archive_read_set_read_callback(a, ReadCb);
        archive_read_set_close_callback(a, CloseCb);
        archive_read_set_switch_callback(a, SwitchCb);
        if (!m_decrypt) {
            archive_read_set_skip_callback(a, SkipCb);
            archive_read_set_seek_callback(a, SeekCb);
        }
        for (auto& n : m_nodes)
            archive_read_append_callback_data(a, n.get());
        if (archive_read_open1(a) != ARCHIVE_OK) {
            m_detail = archive_error_string(a) ? archive_error_string(a) : "cannot open";
            archive_read_free(a);
            return nullptr;
        }
        return a;
    }

    Failure Pass(bool extract, std::uint64_t& total) {
        m_extracting = extract;
        m_lastVolume = 0;
        archive* a = OpenArchive();
        if (!a) {
            if (m_state->failure != Failure::None) {
                m_detail = m_state->failureDetail;
                return m_state->failure;
            }
            return Failure::OpenFailed;
        }
        Failure result = Failure::None;
        for (;;) {
            archive_entry* entry = nullptr;
            const int r = archive_read_next_header(a, &entry);
            if (r == ARCHIVE_EOF) break;
            if (r != ARCHIVE_OK && r != ARCHIVE_WARN) {
                result = FailFrom(a, Failure::Damaged, "");
                break;
            }
            Alive();
            const char* raw = archive_entry_pathname_utf8(entry);
            if (!raw) raw = archive_entry_pathname(entry);
            std::string name = raw ? raw : "";
            while (!name.empty() && name.back() == '/')
                name.pop_back();
            const bool continued =
                std::find(m_continued.begin(), m_continued.end(), name) != m_continued.end();
            if (!extract) {
                if (archive_entry_filetype(entry) == AE_IFREG && archive_entry_size_is_set(entry) &&
                    !continued && !archive_entry_hardlink(entry))
                    total += static_cast<std::uint64_t>(archive_entry_size(entry));
                if (archive_read_data_skip(a) == ARCHIVE_FATAL) {
                    result = FailFrom(a, Failure::Damaged, name);
                    break;
                }
                continue;
            }
            FlushData();
            Send(kEvEntry, name.data(), name.size());
            result = ExtractEntry(a, entry, name);
            if (result != Failure::None) break;
        }
        archive_read_free(a);
        m_nodes.clear();
        return result;
    }

    void Refuse(archive* a, const std::string& name) {
        Send(kEvRefused, name.data(), name.size());
        archive_read_data_skip(a);
    }

    // Creates the folders of `relative` below the destination without following any link.
    bool MakeParents(const std::string& relative) {
        std::string path = m_dest;
        std::size_t start = 0;
        for (;;) {
            const auto slash = relative.find('/', start);
            if (slash == std::string::npos) return true;
            const std::string part = relative.substr(start, slash - start);
            start = slash + 1;
            if (part.empty() || part == ".") continue;
            path += "/" + part;
            struct stat st;
            if (::lstat(path.c_str(), &st) == 0) {
                if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) return false;
            } else if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
                return false;
            }
        }
    }

    Failure ExtractEntry(archive* a, archive_entry* entry, const std::string& name) {
        if (!IsSafeEntryName(name)) {
            Refuse(a, name);
            return Failure::None;
        }
        const std::string target = m_dest + "/" + name;
        const auto type = archive_entry_filetype(entry);
        if (!MakeParents(name + (type == AE_IFDIR ? "/" : ""))) {
            Refuse(a, name);  // a folder on the way is a link or a file
            return Failure::None;
        }
        if (type == AE_IFDIR) return Failure::None;
        struct stat st;
        if (::lstat(target.c_str(), &st) == 0 && (S_ISLNK(st.st_mode) || !S_ISREG(st.st_mode))) {
            if (S_ISDIR(st.st_mode)) {
                Refuse(a, name);
                return Failure::None;
            }
            ::unlink(target.c_str());
        }
        if (const char* hard = archive_entry_hardlink(entry)) {
            const std::string to = hard;
            if (!IsSafeEntryName(to)) {
                Refuse(a, name);
                return Failure::None;
            }
            ::unlink(target.c_str());
            if (::link((m_dest + "/" + to).c_str(), target.c_str()) != 0) {
                m_detail = name;
                return Failure::WriteFailed;
            }
            archive_read_data_skip(a);
            return Failure::None;
        }
        if (type == AE_IFLNK) {
            const char* link = archive_entry_symlink_utf8(entry);
            if (!link) link = archive_entry_symlink(entry);
            if (!link || !IsSafeLinkTarget(name, link)) {
                Refuse(a, name);
                return Failure::None;
            }
            ::unlink(target.c_str());
            if (::symlink(link, target.c_str()) != 0) {
                m_detail = name;
                return Failure::WriteFailed;
            }
            archive_read_data_skip(a);
            return Failure::None;
        }
        if (type != AE_IFREG) {
            archive_read_data_skip(a);
            return Failure::None;
        }
        // libarchive cannot decrypt; its output for an encrypted entry is garbage.
        if (archive_entry_is_data_encrypted(entry) && !m_decrypt) {
            m_detail = name;
            return Failure::NoPassword;
        }
        const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (out < 0) {
            m_detail = name + ": " + std::strerror(errno);
            return Failure::WriteFailed;
        }
        const auto keyed = m_state->keyedCrcs.find(name);
        const bool wantCrc = keyed != m_state->keyedCrcs.end() ||
                             m_state->keyedCrcs.size() > 0;  // the record may follow the last part
        std::uint32_t crc = 0;
        const std::int64_t declared = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
        std::int64_t end = 0;
        Failure result = Failure::None;
        for (;;) {
            const void* block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            const int r = archive_read_data_block(a, &block, &size, &offset);
            if (r == ARCHIVE_EOF) break;
            if (r != ARCHIVE_OK && r != ARCHIVE_WARN) {
                const bool encrypted = m_state->encryptedNames.count(name) != 0;
                result = FailFrom(a, encrypted ? Failure::WrongPassword : Failure::Damaged, name);
                break;
            }
            if (declared >= 0 && offset + static_cast<std::int64_t>(size) > declared) {
                m_detail = name + ": more data than the header declares";
                result = Failure::Damaged;
                break;
            }
            if (offset != end && wantCrc) {
                // A hole: the checksum covers zeros there.
                static const std::uint8_t zeros[4096] = {};
                for (std::int64_t gap = offset - end; gap > 0; gap -= 4096)
                    crc = rar::Crc32(zeros, static_cast<std::size_t>(std::min<std::int64_t>(gap, 4096)), crc);
            }
            const auto* p = static_cast<const std::uint8_t*>(block);
            std::size_t done = 0;
            while (done < size) {
                const ssize_t w = ::pwrite(out, p + done, size - done, offset + static_cast<off_t>(done));
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) {
                    m_detail = name + ": " + std::strerror(errno);
                    result = Failure::WriteFailed;
                    break;
                }
                done += static_cast<std::size_t>(w);
            }
            if (result != Failure::None) break;
            if (wantCrc) crc = rar::Crc32(p, size, crc);
            end = offset + static_cast<std::int64_t>(size);
            AddData(size);
        }
        if (result == Failure::None && declared > end && ::ftruncate(out, declared) != 0)
            result = Failure::WriteFailed;
        ::close(out);
        if (result != Failure::None) return result;
        const auto check = m_state->keyedCrcs.find(name);
        if (check != m_state->keyedCrcs.end() &&
            rar::Rar5KeyedCrc(crc, check->second.hashKey) != check->second.keyedCrc) {
            m_detail = name + ": checksum error";
            return Failure::Damaged;
        }
        return Failure::None;
    }

    int m_fd;
    std::vector<std::string> m_volumes;
    std::string m_dest;
    bool m_decrypt;
    std::shared_ptr<rar::CRarCryptoState> m_state;
    std::vector<std::string> m_continued;
    std::vector<std::unique_ptr<Node>> m_nodes;
    bool m_extracting = false;
    std::size_t m_lastVolume = 0;
    std::uint64_t m_pendingData = 0;
    std::string m_detail;
    std::chrono::steady_clock::time_point m_lastSend{};
};

// ---- the step's side ----

struct StepState {
    std::uint64_t total = 0;
    std::uint64_t done = 0;
    std::string archiveName;
    std::string currentFile;
};

bool ReadAll(int fd, std::string& buffer) {
    char chunk[65536];
    for (;;) {
        const ssize_t r = ::read(fd, chunk, sizeof chunk);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno == EAGAIN) return true;
        if (r <= 0) return false;
        buffer.append(chunk, static_cast<std::size_t>(r));
        if (static_cast<std::size_t>(r) < sizeof chunk) return true;
    }
}

}  // namespace

bool IsSafeEntryName(const std::string& name) {
    if (name.empty() || name.front() == '/' || name.find('\0') != std::string::npos) return false;
    std::size_t start = 0;
    for (;;) {
        const auto slash = name.find('/', start);
        const std::string part =
            name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part == "..") return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

bool IsSafeLinkTarget(const std::string& linkName, const std::string& target) {
    if (target.empty() || target.front() == '/') return false;
    std::vector<std::string> parts;
    const std::string joined = FolderOf("/" + linkName).substr(1) + "/" + target;
    std::size_t start = 0;
    for (;;) {
        const auto slash = joined.find('/', start);
        const std::string part =
            joined.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part == "..") {
            if (parts.empty()) return false;
            parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

std::vector<std::string> RarVolumeList(const std::string& firstVolume) {
    std::vector<std::string> list{firstVolume};
    {
        auto state = std::make_shared<rar::CRarCryptoState>();
        rar::ArchiveFacts facts;
        rar::CVolumeStream scan(firstVolume, state, false, true, &facts);
        if (!scan.Open() || !scan.Scan() || !facts.volume) return list;
    }
    const std::string base(FileNamePart(firstVolume));
    const std::string lower = AsciiLower(base);
    const std::string folder = firstVolume.substr(0, firstVolume.size() - base.size());
    // "name.partNN.rar"
    const auto dotRar = lower.size() >= 4 ? lower.size() - 4 : std::string::npos;
    if (dotRar != std::string::npos && lower.compare(dotRar, 4, ".rar") == 0) {
        std::size_t digitsStart = dotRar;
        while (digitsStart > 0 && std::isdigit(static_cast<unsigned char>(lower[digitsStart - 1])))
            --digitsStart;
        if (digitsStart < dotRar && digitsStart >= 5 && lower.compare(digitsStart - 5, 5, ".part") == 0) {
            const std::size_t width = dotRar - digitsStart;
            unsigned long number = std::stoul(base.substr(digitsStart, width));
            for (;;) {
                std::string digits = std::to_string(++number);
                if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
                const std::string next = folder + base.substr(0, digitsStart) + digits + base.substr(dotRar);
                if (!FileExists(next)) break;
                list.push_back(next);
            }
            return list;
        }
        // "name.rar", "name.r00" ... "name.r99", "name.s00" ...
        const bool upper = base[dotRar + 1] == 'R';
        for (int i = 0;; ++i) {
            const char letter = static_cast<char>((upper ? 'R' : 'r') + i / 100);
            char suffix[8];
            std::snprintf(suffix, sizeof suffix, ".%c%02d", letter, i % 100);
            const std::string next = folder + base.substr(0, dotRar) + suffix;
            if (!FileExists(next)) break;
            list.push_back(next);
        }
    }
    return list;
}

ExtractResult ExtractArchiveEx(const std::string& rarPath, const std::string& nzbPath, CPostProcContext& ctx,
                               CSavedOptions* options, const ExtractSettings& settings) {
    ExtractResult result;
    if (rarPath.empty()) {
        ctx.m_autoDeleteCurrent = false;
        result.ok = true;
        return result;
    }
    ctx.PostStatus(kStrUnpack);

    std::string password;
    bool fromStore = false;
    if (options) {
        if (auto stored = options->LookupArchivePassword(nzbPath); stored && !stored->empty()) {
            password = std::string(TruncateUtf16(*stored, kMaxPasswordUnits));
            fromStore = true;
        }
    }
    StepState step;
    step.archiveName = FileNamePart(rarPath);
    ctx.ResetPermille();
    if (ctx.m_autoDeleteCurrent) ctx.m_deleteList.push_back(rarPath);

    auto finish = [&](Failure f, std::string detail) {
        result.failure = f;
        result.detail = std::string(rar::FailureText(f)) + (detail.empty() ? "" : ": " + detail);
        if (f == Failure::None) {
            result.ok = true;
            if (step.total == 0) ctx.PostPermille(1000);
            ctx.PostMessage(kStrUnpacked);
            if (fromStore && options) options->RemoveArchivePassword(nzbPath);
        } else {
            ctx.m_deleteList.clear();
            ctx.PostFile(result.detail);
            ctx.PostMessage(f == Failure::OpenFailed ? kStrRarCannotOpen : kStrDamaged);
        }
        return result;
    };

    // What the plain headers tell: format, encryption, solid, entries continued from before.
    const std::vector<std::string> volumes = RarVolumeList(rarPath);
    rar::ArchiveFacts facts;
    std::vector<std::string> firstContinued;
    {
        auto scanState = std::make_shared<rar::CRarCryptoState>();
        for (std::size_t i = 0; i < volumes.size(); ++i) {
            facts.moreVolumes = false;
            rar::CVolumeStream scan(volumes[i], scanState, false, true, &facts);
            if (!scan.Open()) {
                if (i == 0) return finish(Failure::OpenFailed, step.archiveName);
                break;
            }
            const bool isRar = scan.Scan();
            if (i == 0 && !isRar) return finish(Failure::OpenFailed, step.archiveName + " is no RAR archive");
            if (i == 0) firstContinued = facts.continuedNames;
            if (facts.headersEncrypted) break;
        }
        if (!facts.headersEncrypted && facts.moreVolumes)
            return finish(Failure::Damaged,
                          "the volume after " + std::string(FileNamePart(volumes.back())) + " is missing");
    }
    if (ctx.Cancelled()) return finish(Failure::Cancelled, "");
    const bool encrypted = facts.headersEncrypted || facts.dataEncrypted;
    if (encrypted && facts.format == 4 && facts.solid)
        return finish(Failure::Unsupported, "encrypted solid RAR 4 archives cannot be decompressed");

    auto state = std::make_shared<rar::CRarCryptoState>();
    if (encrypted) {
        if (password.empty()) {
            if (ctx.Cancelled()) return finish(Failure::Cancelled, "");
            std::string entered;
            if (!ctx.m_askPassword || !ctx.m_askPassword(entered) || entered.empty())
                return finish(Failure::NoPassword, step.archiveName);
            password = std::string(TruncateUtf16(entered, kMaxPasswordUnits));
        }
        state->password = password;
        state->havePassword = true;
    }

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return finish(Failure::Damaged, "no pipe");
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return finish(Failure::Damaged, "cannot start the reader");
    }
    if (child == 0) {
        ::close(fds[0]);
        ::signal(SIGPIPE, SIG_IGN);
        CReader reader(fds[1], volumes, FolderOf(rarPath), encrypted, state, firstContinued);
        reader.Run();
        _exit(0);
    }
    ::close(fds[1]);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);

    std::string buffer;
    Failure failure = Failure::Damaged;
    std::string detail = "the reader ended early";
    bool gotResult = false;
    auto lastHeard = std::chrono::steady_clock::now();
    bool open = true;
    while (open && !gotResult) {
        if (ctx.Cancelled()) {
            failure = Failure::Cancelled;
            detail.clear();
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, 100);
        if (ready > 0) {
            open = ReadAll(fds[0], buffer);
            lastHeard = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - lastHeard > settings.stallLimit) {
            failure = Failure::Stalled;
            detail = step.currentFile.empty() ? step.archiveName : step.currentFile;
            break;
        }
        std::size_t pos = 0;
        while (buffer.size() - pos >= 5) {
            std::uint32_t len;
            std::memcpy(&len, buffer.data() + pos + 1, 4);
            if (buffer.size() - pos - 5 < len) break;
            const char type = buffer[pos];
            const std::string payload = buffer.substr(pos + 5, len);
            pos += 5 + len;
            switch (type) {
                case kEvVolume:
                    if (ctx.m_autoDeleteCurrent) ctx.m_deleteList.push_back(payload);
                    step.archiveName = FileNamePart(payload);
                    ctx.PostFile(FormatArchiveFile(step.archiveName, step.currentFile));
                    break;
                case kEvEntry:
                    step.currentFile = FileNamePart(payload);
                    ctx.PostFile(FormatArchiveFile(step.archiveName, step.currentFile));
                    break;
                case kEvTotal:
                    if (len == 8) std::memcpy(&step.total, payload.data(), 8);
                    break;
                case kEvData: {
                    std::uint64_t n = 0;
                    if (len == 8) std::memcpy(&n, payload.data(), 8);
                    step.done += n;
                    // No per-mille without a total: every entry continued from an earlier volume.
                    if (step.total > 0)
                        ctx.PostPermille(static_cast<std::uint32_t>(
                            std::min<std::uint64_t>(step.done, step.total) * 1000 / step.total));
                    break;
                }
                case kEvRefused:
                    result.refusedNames.push_back(payload);
                    ctx.PostFile("refused: " + payload);
                    break;
                case kEvResult:
                    gotResult = true;
                    failure = payload.empty() ? Failure::Damaged : static_cast<Failure>(payload[0]);
                    detail = payload.empty() ? "" : payload.substr(1);
                    break;
                default:
                    break;
            }
        }
        buffer.erase(0, pos);
    }
    ::close(fds[0]);
    if (!gotResult) ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (failure == Failure::None && !result.refusedNames.empty()) {
        failure = Failure::UnsafeName;
        detail = result.refusedNames.front();
    }
    if (failure == Failure::Damaged && facts.format == 4 && facts.solid)
        return finish(Failure::Unsupported, "solid RAR 4 archives cannot be decompressed (" + detail + ")");
    return finish(failure, detail);
}

bool ExtractArchive(const std::string& rarPath, const std::string& nzbPath, CPostProcContext& ctx,
                    CSavedOptions* options) {
    return ExtractArchiveEx(rarPath, nzbPath, ctx, options).ok;
}

}  // namespace quivern
