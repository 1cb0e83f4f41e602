#include "postproc/par2_digests.h"

#include <openssl/evp.h>

#include <cstring>
#include <fstream>
#include <map>

#include "assembly/written_files.h"
#include "platform/paths.h"
#include "postproc/messages.h"

namespace quivern {
namespace {

constexpr char kMagic[8] = {'P', 'A', 'R', '2', '\0', 'P', 'K', 'T'};
constexpr char kMainType[16] = {'P', 'A', 'R', ' ', '2',  '.',  '0',  '\0',
                                'M', 'a', 'i', 'n', '\0', '\0', '\0', '\0'};
constexpr char kFileDescType[16] = {'P', 'A', 'R', ' ', '2', '.', '0', '\0',
                                    'F', 'i', 'l', 'e', 'D', 'e', 's', 'c'};
constexpr std::size_t kHeader = 64;
// The index file of a set carries no recovery data; a larger file is not read whole.
constexpr std::uint64_t kMaxParFile = 64ull << 20;

std::uint64_t Le64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

bool Md5(const std::uint8_t* p, std::size_t n, std::uint8_t out[16]) {
    unsigned int length = 0;
    return EVP_Digest(p, n, out, &length, EVP_md5(), nullptr) == 1 && length == 16;
}

using FileId = std::array<std::uint8_t, 16>;

}  // namespace

bool ReadPar2FileList(const std::string& parPath, std::vector<TPar2FileEntry>& files) {
    files.clear();
    std::ifstream in(parPath, std::ios::binary);
    if (!in) return false;
    in.seekg(0, std::ios::end);
    const auto size = static_cast<std::uint64_t>(in.tellg());
    if (size > kMaxParFile) return false;
    std::vector<std::uint8_t> data(static_cast<std::size_t>(size));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(size))) return false;

    std::vector<FileId> recoverySet;
    bool haveMain = false;
    std::map<FileId, TPar2FileEntry> descriptions;
    std::size_t pos = 0;
    while (pos + kHeader <= data.size()) {
        const std::uint8_t* p = data.data() + pos;
        if (std::memcmp(p, kMagic, 8) != 0) {
            pos += 4;  // packets start on 4-byte boundaries; skip damage
            continue;
        }
        const std::uint64_t length = Le64(p + 8);
        if (length < kHeader || length % 4 != 0 || length > data.size() - pos) {
            pos += 4;
            continue;
        }
        std::uint8_t hash[16];
        if (!Md5(p + 32, static_cast<std::size_t>(length - 32), hash) || std::memcmp(hash, p + 16, 16) != 0) {
            pos += 4;
            continue;
        }
        const std::uint8_t* body = p + kHeader;
        const auto bodyLength = static_cast<std::size_t>(length - kHeader);
        if (std::memcmp(p + 48, kMainType, 16) == 0 && bodyLength >= 12 && !haveMain) {
            const std::uint32_t count =
                static_cast<std::uint32_t>(body[8]) | (static_cast<std::uint32_t>(body[9]) << 8) |
                (static_cast<std::uint32_t>(body[10]) << 16) | (static_cast<std::uint32_t>(body[11]) << 24);
            if (12 + static_cast<std::uint64_t>(count) * 16 <= bodyLength) {
                for (std::uint32_t i = 0; i < count; ++i) {
                    FileId id;
                    std::memcpy(id.data(), body + 12 + 16 * i, 16);
                    recoverySet.push_back(id);
                }
                haveMain = true;
            }
        } else if (std::memcmp(p + 48, kFileDescType, 16) == 0 && bodyLength >= 56) {
            FileId id;
            std::memcpy(id.data(), body, 16);
            TPar2FileEntry e;
            std::memcpy(e.md5.data(), body + 16, 16);
            e.length = Le64(body + 48);
            std::string name(reinterpret_cast<const char*>(body + 56), bodyLength - 56);
            name.erase(name.find_last_not_of('\0') + 1);
            e.name = std::move(name);
            descriptions.emplace(id, std::move(e));
        }
        pos += static_cast<std::size_t>(length);
    }
    if (!haveMain || recoverySet.empty()) return false;
    for (const FileId& id : recoverySet) {
        auto it = descriptions.find(id);
        if (it == descriptions.end()) {
            files.clear();
            return false;
        }
        files.push_back(it->second);
    }
    return true;
}

bool Par2SetIntactByWrittenDigests(const std::string& parPath, CPostProcContext& ctx) {
    std::vector<TPar2FileEntry> files;
    if (!ReadPar2FileList(parPath, files)) return false;
    const std::string folder = FolderOf(parPath);
    for (const auto& f : files) {
        // Only plain names in the set's own folder are trusted this way.
        if (f.name.empty() || f.name == "." || f.name == ".." ||
            f.name.find_first_of("/\\") != std::string::npos) {
            return false;
        }
        const auto written = LookupWrittenFile(JoinPath(folder, f.name));
        if (!written || written->size != f.length || written->md5 != f.md5) return false;
    }
    ctx.PostStatus(kStrVerify);
    ctx.ResetPermille();
    for (std::size_t i = 0; i < files.size(); ++i) {
        ctx.PostFile(files[i].name);
        ctx.PostPermille(static_cast<std::uint32_t>((i + 1) * 1000 / files.size()));
    }
    return true;
}

}  // namespace quivern
