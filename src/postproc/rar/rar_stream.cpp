#include "postproc/rar/rar_stream.h"

#include <fcntl.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quivern::rar {

namespace {

constexpr std::size_t kChunk = 1 << 20;  // large blocks keep stored extraction near copy speed
const std::uint8_t kSig4[7] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
const std::uint8_t kSig5[8] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00};

std::uint32_t Le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
}
std::uint16_t Le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}
void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

// RAR 5 variable-length integers: 7 bits per byte, low groups first.
struct VintReader {
    const std::uint8_t* p;
    std::size_t size;
    std::size_t pos = 0;
    bool ok = true;
    std::uint64_t Get() {
        std::uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (pos >= size) {
                ok = false;
                return 0;
            }
            const std::uint8_t b = p[pos++];
            v |= std::uint64_t{b & 0x7Fu} << shift;
            if (!(b & 0x80)) return v;
        }
        ok = false;
        return 0;
    }
    const std::uint8_t* Bytes(std::size_t n) {
        if (size - pos < n || pos > size) {
            ok = false;
            return nullptr;
        }
        const std::uint8_t* r = p + pos;
        pos += n;
        return r;
    }
};

void PutVint(std::vector<std::uint8_t>& out, std::uint64_t v) {
    do {
        std::uint8_t b = v & 0x7F;
        v >>= 7;
        if (v) b |= 0x80;
        out.push_back(b);
    } while (v);
}

std::string KeyOf(const std::uint8_t* salt, std::size_t n, unsigned extra) {
    std::string k(reinterpret_cast<const char*>(salt), n);
    k.push_back(static_cast<char>(extra));
    return k;
}

std::size_t Align16(std::size_t n) {
    return (n + 15) & ~std::size_t{15};
}

}  // namespace

const char* FailureText(Failure f) {
    switch (f) {
        case Failure::None:
            return "no error";
        case Failure::OpenFailed:
            return "the archive cannot be opened";
        case Failure::Damaged:
            return "the archive is damaged or incomplete";
        case Failure::WrongPassword:
            return "wrong password";
        case Failure::NoPassword:
            return "the archive is encrypted and no password was given";
        case Failure::Unsupported:
            return "unsupported archive feature";
        case Failure::UnsafeName:
            return "an entry name leaves the destination folder and was refused";
        case Failure::Stalled:
            return "the archive reader stopped making progress";
        case Failure::WriteFailed:
            return "an extracted file cannot be written";
        case Failure::Cancelled:
            return "cancelled";
    }
    return "";
}

std::size_t CRarCryptoState::BlockWalker::Feed(const std::uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n && !ended) {
        if (blockLeft > 0) {
            const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(blockLeft, n - i));
            blockLeft -= take;
            i += take;
            if (blockLeft == 0 && last) ended = true;
            continue;
        }
        header[have++] = p[i++];
        if (have < 2) continue;
        const int sizeBytes = ((header[0] >> 3) & 7) + 1;
        if (sizeBytes > 3) {  // not a block header: leave the data as it is
            ended = true;
            return n;
        }
        if (have < 2 + sizeBytes) continue;
        std::uint64_t size = 0;
        for (int k = 0; k < sizeBytes; ++k)
            size |= std::uint64_t{header[2 + k]} << (8 * k);
        last = (header[0] & 0x40) != 0;
        blockLeft = size;
        have = 0;
        if (blockLeft == 0 && last) ended = true;
    }
    return i;
}

const Rar4Key* CRarCryptoState::Rar4(const std::uint8_t salt[8]) {
    const std::string k = KeyOf(salt, 8, 0);
    auto it = rar4Keys.find(k);
    if (it == rar4Keys.end()) it = rar4Keys.emplace(k, DeriveRar4Key(password, salt)).first;
    return &it->second;
}

const Rar5Key* CRarCryptoState::Rar5(const std::uint8_t salt[16], unsigned lg2Count) {
    const std::string k = KeyOf(salt, 16, lg2Count);
    auto it = rar5Keys.find(k);
    if (it == rar5Keys.end()) {
        Rar5Key key;
        if (!DeriveRar5Key(password, salt, lg2Count, key)) return nullptr;
        it = rar5Keys.emplace(k, key).first;
    }
    return &it->second;
}

CVolumeStream::CVolumeStream(std::string path, std::shared_ptr<CRarCryptoState> state, bool decrypt,
                             bool scanOnly, ArchiveFacts* facts)
    : m_path(std::move(path)),
      m_state(std::move(state)),
      m_decrypt(decrypt),
      m_scanOnly(scanOnly),
      m_facts(facts) {}

CVolumeStream::~CVolumeStream() {
    Close();
}

bool CVolumeStream::Open() {
    Close();
    m_fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) return false;
    m_buffer.resize(kChunk + 64);
    m_started = false;
    m_done = false;
    m_headersEncrypted = false;
    m_pendingPos = m_pendingEnd = 0;
    m_dataIn = m_dataOut = 0;
    return true;
}

void CVolumeStream::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

bool CVolumeStream::ReadExact(std::uint8_t* out, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t r = ::read(m_fd, out + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<std::size_t>(r);
    }
    return true;
}

bool CVolumeStream::SkipInput(std::uint64_t n) {
    return ::lseek(m_fd, static_cast<off_t>(n), SEEK_CUR) >= 0;
}

std::int64_t CVolumeStream::Seek(std::int64_t offset, int whence) {
    return ::lseek(m_fd, offset, whence);
}

std::int64_t CVolumeStream::Skip(std::int64_t count) {
    const off_t here = ::lseek(m_fd, 0, SEEK_CUR);
    const off_t end = ::lseek(m_fd, 0, SEEK_END);
    if (here < 0 || end < 0) return 0;
    const off_t to = std::min<off_t>(end, here + count);
    ::lseek(m_fd, to, SEEK_SET);
    return to - here;
}

long CVolumeStream::Next(const void** data) {
    if (!m_decrypt) {
        const ssize_t r = ::read(m_fd, m_buffer.data(), kChunk);
        *data = m_buffer.data();
        return r < 0 ? -1 : static_cast<long>(r);
    }
    for (;;) {
        if (m_state->failure != Failure::None) return -1;
        if (m_pendingPos < m_pendingEnd) {
            *data = m_buffer.data() + m_pendingPos;
            const long n = static_cast<long>(m_pendingEnd - m_pendingPos);
            m_pendingPos = m_pendingEnd;
            return n;
        }
        if (m_dataIn > 0) {
            const long n = NextData(data);
            if (n != 0) return n;
            continue;
        }
        if (m_done) return 0;
        if (!NextBlock()) return m_state->failure != Failure::None ? -1 : 0;
    }
}

bool CVolumeStream::Scan() {
    while (!m_done && m_state->failure == Failure::None) {
        if (!NextBlock()) break;
        if (m_dataIn > 0 && !SkipInput(m_dataIn)) break;
        m_dataIn = m_dataOut = 0;
        m_pendingPos = m_pendingEnd = 0;
        if (m_headersEncrypted) break;  // nothing more can be read without the password
    }
    return m_format != 0;
}

long CVolumeStream::NextData(const void** data) {
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(m_dataIn, kChunk));
    if (!ReadExact(m_buffer.data(), take)) {
        m_state->Fail(Failure::Damaged, "truncated data in " + m_path);
        return -1;
    }
    m_dataIn -= take;
    if (m_dataEncrypted) {
        if (take % 16 != 0 || !m_cipher.Decrypt(m_buffer.data(), m_buffer.data(), take)) {
            m_state->Fail(Failure::Damaged, "encrypted data of " + m_dataName + " is not block aligned");
            return -1;
        }
    }
    const std::size_t give = static_cast<std::size_t>(std::min<std::uint64_t>(m_dataOut, take));
    m_dataOut -= give;
    if (m_dataStoredTrack) m_state->storedDone[m_dataName] += give;
    *data = m_buffer.data();
    return static_cast<long>(give);
}

bool CVolumeStream::NextBlock() {
    if (!m_started) {
        m_started = true;
        std::uint8_t sig[8];
        if (!ReadExact(sig, 7)) return false;
        if (std::memcmp(sig, kSig4, 7) == 0) {
            m_format = 4;
            std::memcpy(m_buffer.data(), sig, 7);
            m_pendingPos = 0;
            m_pendingEnd = 7;
        } else if (std::memcmp(sig, kSig5, 6) == 0 && sig[6] == 0x01) {
            if (!ReadExact(sig + 7, 1) || sig[7] != 0) return false;
            m_format = 5;
            std::memcpy(m_buffer.data(), sig, 8);
            m_pendingPos = 0;
            m_pendingEnd = 8;
        } else {
            return false;
        }
        if (m_facts && m_facts->format == 0) m_facts->format = m_format;
        return true;
    }
    return m_format == 5 ? NextBlock5() : NextBlock4();
}

// ---- RAR 5 ----

// An encrypted header: its first 16 bytes (`first`, decrypted already) told its size; the rest
// is read up to the next cipher block and decrypted, and the header cut to `size`.
bool CVolumeStream::ReadEncryptedHeaderRest(const std::uint8_t first[16], std::size_t size,
                                            CCbcDecryptor& dec, std::vector<std::uint8_t>& header) {
    header.assign(Align16(size), 0);
    std::memcpy(header.data(), first, 16);
    if (header.size() > 16) {
        if (!ReadExact(header.data() + 16, header.size() - 16)) return false;
        if (!dec.Decrypt(header.data() + 16, header.data() + 16, header.size() - 16)) return false;
    }
    header.resize(size);
    return true;
}

const Rar5Key* CVolumeStream::CheckedRar5Key(const std::uint8_t* salt, std::uint8_t lg2Count,
                                             const std::uint8_t* check, const std::string& name,
                                             const char* preposition) {
    if (!m_state->havePassword) {
        m_state->Fail(Failure::NoPassword, name);
        return nullptr;
    }
    const Rar5Key* key = m_state->Rar5(salt, lg2Count);
    if (!key) {
        m_state->Fail(Failure::Damaged, std::string("bad key derivation count ") + preposition + " " + name);
        return nullptr;
    }
    // The check value carries its own checksum; only a sound one can tell a wrong password.
    if (check) {
        std::uint8_t sum[32];
        SHA256(check, 8, sum);
        if (std::memcmp(sum, check + 8, 4) == 0 && std::memcmp(key->check.data(), check, 8) != 0) {
            m_state->Fail(Failure::WrongPassword, "wrong password for " + name);
            return nullptr;
        }
    }
    return key;
}

bool CVolumeStream::ReadHeader5(std::vector<std::uint8_t>& header) {
    if (!m_headersEncrypted) {
        std::uint8_t crc[4];
        if (!ReadExact(crc, 4)) return false;
        header.assign(crc, crc + 4);
        std::uint64_t size = 0;
        for (int i = 0; i < 3; ++i) {
            std::uint8_t b;
            if (!ReadExact(&b, 1)) return false;
            header.push_back(b);
            size |= std::uint64_t{b & 0x7Fu} << (7 * i);
            if (!(b & 0x80)) break;
            if (i == 2) return false;
        }
        if (size == 0 || size > kChunk - 64) return false;
        const std::size_t at = header.size();
        header.resize(at + size);
        return ReadExact(header.data() + at, size);
    }
    std::uint8_t iv[16], first[16];
    if (!ReadExact(iv, 16) || !ReadExact(first, 16)) return false;
    CCbcDecryptor dec;
    if (!dec.Init(m_headerKey5.key.data(), 32, iv) || !dec.Decrypt(first, first, 16)) return false;
    VintReader vr{first + 4, 12};
    const std::uint64_t size = vr.Get();
    if (!vr.ok || size == 0 || size > kChunk - 64) return false;
    const std::size_t total = 4 + vr.pos + size;
    return ReadEncryptedHeaderRest(first, total, dec, header);
}

bool CVolumeStream::NextBlock5() {
    std::vector<std::uint8_t> h;
    const bool encryptedHeader = m_headersEncrypted;
    if (!ReadHeader5(h)) {
        if (encryptedHeader && !m_state->firstEncryptedHeaderSeen)
            m_state->Fail(Failure::WrongPassword, "wrong password for " + m_path);
        else if (!m_scanOnly)
            m_state->Fail(Failure::Damaged, "damaged header in " + m_path);
        return false;
    }
    if (Crc32(h.data() + 4, h.size() - 4) != Le32(h.data())) {
        if (encryptedHeader && !m_state->firstEncryptedHeaderSeen)
            m_state->Fail(Failure::WrongPassword, "wrong password for " + m_path);
        else if (!m_scanOnly)
            m_state->Fail(Failure::Damaged, "header checksum error in " + m_path);
        return false;
    }
    if (encryptedHeader) m_state->firstEncryptedHeaderSeen = true;

    VintReader r{h.data() + 4, h.size() - 4};
    r.Get();  // header size
    const std::uint64_t type = r.Get();
    const std::uint64_t flags = r.Get();
    const std::uint64_t extraSize = (flags & 0x1) ? r.Get() : 0;
    const std::uint64_t dataSize = (flags & 0x2) ? r.Get() : 0;
    if (!r.ok || extraSize > r.size - r.pos) {
        m_state->Fail(Failure::Damaged, "damaged header in " + m_path);
        return false;
    }
    const std::size_t bodyPos = r.pos;
    const std::size_t extraPos = r.size - extraSize;

    auto emitAsIs = [&] {
        if (m_scanOnly) return;
        std::memcpy(m_buffer.data(), h.data(), h.size());
        m_pendingPos = 0;
        m_pendingEnd = h.size();
    };
    m_dataIn = dataSize;
    m_dataOut = dataSize;
    m_dataEncrypted = false;
    m_dataStoredTrack = false;

    if (type == 4) {  // archive encryption header: every later header is encrypted
        VintReader e{h.data() + 4 + bodyPos, h.size() - 4 - bodyPos};
        e.Get();  // version
        const std::uint64_t eflags = e.Get();
        const std::uint8_t* count = e.Bytes(1);
        const std::uint8_t* salt = e.Bytes(16);
        const std::uint8_t* check = (eflags & 1) ? e.Bytes(12) : nullptr;
        if (!e.ok) {
            m_state->Fail(Failure::Damaged, "damaged encryption header in " + m_path);
            return false;
        }
        m_headersEncrypted = true;
        if (m_facts) m_facts->headersEncrypted = true;
        if (m_scanOnly) return true;
        const Rar5Key* key = CheckedRar5Key(salt, count[0], check, m_path, "in");
        if (!key) return false;
        m_headerKey5 = *key;
        return true;
    }
    if (type == 1 && m_facts && (VintReader{h.data() + 4 + bodyPos, h.size() - 4 - bodyPos}.Get() & 0x1))
        m_facts->volume = true;
    if (type == 5) {  // end of archive
        if (m_facts)
            m_facts->moreVolumes =
                (VintReader{h.data() + 4 + bodyPos, h.size() - 4 - bodyPos}.Get() & 0x1) != 0;
        emitAsIs();
        m_done = true;
        return true;
    }
    if (type == 3) {  // service blocks (comment, quick open, recovery) are not needed to extract
        if (m_scanOnly) return true;
        m_dataOut = 0;
        return SkipInput(m_dataIn) ? (m_dataIn = 0, true) : false;
    }
    if (type != 2) {
        emitAsIs();
        return true;
    }

    // File header.
    const std::uint64_t fileFlags = r.Get();
    const std::uint64_t unpSize = r.Get();
    r.Get();  // attributes
    if (fileFlags & 0x2) r.Bytes(4);
    const std::size_t crcPos = r.pos;
    const std::uint8_t* crc = (fileFlags & 0x4) ? r.Bytes(4) : nullptr;
    const std::size_t afterCrc = r.pos;
    const std::uint64_t comp = r.Get();
    r.Get();  // host OS
    const std::uint64_t nameLength = r.Get();
    const std::uint8_t* name = r.Bytes(nameLength);
    if (!r.ok || r.pos > extraPos) {
        m_state->Fail(Failure::Damaged, "damaged file header in " + m_path);
        return false;
    }
    const std::string entryName(reinterpret_cast<const char*>(name), nameLength);
    if (m_facts && !m_sawFileHeader && (flags & 0x8)) m_facts->continuedNames.push_back(entryName);
    m_sawFileHeader = true;
    if (m_facts && (comp & 0x40)) m_facts->solid = true;
    if (m_facts && (flags & 0x10)) m_facts->moreVolumes = true;

    // Extra records: keep all but encryption and keyed hashes.
    std::vector<std::uint8_t> extra;
    const std::uint8_t* encRecord = nullptr;
    std::size_t encRecordSize = 0;
    bool tweaked = false;
    VintReader x{h.data() + 4 + extraPos, extraSize};
    while (x.ok && x.pos < x.size) {
        const std::size_t recStart = x.pos;
        const std::uint64_t recSize = x.Get();
        const std::size_t recBody = x.pos;
        if (!x.ok || recSize > x.size - recBody) break;
        VintReader rt{x.p + recBody, recSize};
        const std::uint64_t recType = rt.Get();
        if (recType == 1) {
            encRecord = x.p + recBody + rt.pos;
            encRecordSize = recSize - rt.pos;
        } else if (recType != 2) {
            extra.insert(extra.end(), x.p + recStart, x.p + recBody + recSize);
        } else {
            // Hash record: kept unless the encryption record (read below) says it is keyed.
            extra.insert(extra.end(), x.p + recStart, x.p + recBody + recSize);
        }
        x.pos = recBody + recSize;
    }
    if (!encRecord) {
        emitAsIs();
        return true;
    }
    if (m_facts) m_facts->dataEncrypted = true;
    if (m_scanOnly || !m_decrypt) {
        emitAsIs();
        return true;
    }
    VintReader e{encRecord, encRecordSize};
    e.Get();  // version
    const std::uint64_t eflags = e.Get();
    const std::uint8_t* count = e.Bytes(1);
    const std::uint8_t* salt = e.Bytes(16);
    const std::uint8_t* iv = e.Bytes(16);
    const std::uint8_t* check = (eflags & 1) ? e.Bytes(12) : nullptr;
    tweaked = (eflags & 2) != 0;
    if (!e.ok) {
        m_state->Fail(Failure::Damaged, "damaged encryption record of " + entryName);
        return false;
    }
    const Rar5Key* key = CheckedRar5Key(salt, count[0], check, entryName, "for");
    if (!key) return false;
    if (tweaked) {
        // Drop keyed hash records: libarchive would compare them with plain BLAKE2 values.
        std::vector<std::uint8_t> kept;
        VintReader k{extra.data(), extra.size()};
        while (k.ok && k.pos < k.size) {
            const std::size_t s = k.pos;
            const std::uint64_t sz = k.Get();
            const std::size_t b = k.pos;
            VintReader t{extra.data() + b, sz};
            if (t.Get() != 2) kept.insert(kept.end(), extra.data() + s, extra.data() + b + sz);
            k.pos = b + sz;
        }
        extra.swap(kept);
    }
    m_state->encryptedNames[entryName] = true;
    const bool continues = (flags & 0x10) != 0;
    if (crc && tweaked && !continues) m_state->keyedCrcs[entryName] = {Le32(crc), key->hashKey};

    // Plain size of this part: stored data loses its cipher padding in the last part.
    const bool stored = ((comp >> 7) & 7) == 0;
    std::uint64_t plainData = dataSize;
    if (stored && !continues) {
        const std::uint64_t before = m_state->storedDone[entryName];
        plainData = unpSize >= before ? std::min<std::uint64_t>(dataSize, unpSize - before) : 0;
    } else if (!stored && dataSize > 0) {
        // A first read of the part finds the end of the compressed blocks before the padding.
        const off_t start = ::lseek(m_fd, 0, SEEK_CUR);
        CCbcDecryptor walk;
        auto& walker = m_state->walkers[entryName];
        if (dataSize % 16 != 0 || start < 0 || !walk.Init(key->key.data(), 32, iv)) {
            m_state->Fail(Failure::Damaged, "encrypted data of " + entryName + " is not block aligned");
            return false;
        }
        std::uint64_t left = dataSize, used = 0;
        while (left > 0) {
            const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk));
            if (!ReadExact(m_buffer.data(), take) || !walk.Decrypt(m_buffer.data(), m_buffer.data(), take)) {
                m_state->Fail(Failure::Damaged, "truncated data in " + m_path);
                return false;
            }
            const bool wasEnded = walker.ended;
            const std::size_t part = wasEnded ? 0 : walker.Feed(m_buffer.data(), take);
            used += part;
            left -= take;
        }
        if (::lseek(m_fd, start, SEEK_SET) != start) return false;
        plainData = continues ? dataSize : used;
    }

    std::vector<std::uint8_t> body;
    PutVint(body, type);
    std::uint64_t newFlags = flags & ~std::uint64_t{0x3};
    if (!extra.empty()) newFlags |= 0x1;
    newFlags |= 0x2;
    PutVint(body, newFlags);
    if (!extra.empty()) PutVint(body, extra.size());
    PutVint(body, plainData);
    // File fields: the CRC field goes when it is keyed (checked by the extractor instead).
    const std::uint8_t* fields = h.data() + 4 + bodyPos;
    const std::size_t fieldsEnd = extraPos;
    if (crc && tweaked) {
        VintReader f{fields, fieldsEnd - bodyPos};
        f.Get();
        PutVint(body, fileFlags & ~std::uint64_t{0x4});
        body.insert(body.end(), fields + f.pos, static_cast<const std::uint8_t*>(h.data() + 4 + crcPos));
        body.insert(body.end(), h.data() + 4 + afterCrc, h.data() + 4 + fieldsEnd);
    } else {
        body.insert(body.end(), fields, static_cast<const std::uint8_t*>(h.data() + 4 + fieldsEnd));
    }
    body.insert(body.end(), extra.begin(), extra.end());

    std::vector<std::uint8_t> out(4);
    PutVint(out, body.size());
    out.insert(out.end(), body.begin(), body.end());
    Put32(out.data(), Crc32(out.data() + 4, out.size() - 4));
    std::memcpy(m_buffer.data(), out.data(), out.size());
    m_pendingPos = 0;
    m_pendingEnd = out.size();

    m_dataOut = plainData;
    m_dataEncrypted = dataSize > 0;
    m_dataName = entryName;
    m_dataStoredTrack = stored;
    if (m_dataEncrypted && !m_cipher.Init(key->key.data(), 32, iv)) {
        m_state->Fail(Failure::Damaged, "cipher set-up failed");
        return false;
    }
    return true;
}

// ---- RAR 4 ----

bool CVolumeStream::ReadHeader4(std::vector<std::uint8_t>& header) {
    if (!m_headersEncrypted) {
        header.resize(7);
        if (!ReadExact(header.data(), 7)) return false;
        const std::uint16_t size = Le16(header.data() + 5);
        if (size < 7) return false;
        header.resize(size);
        return ReadExact(header.data() + 7, size - 7);
    }
    std::uint8_t salt[8], first[16];
    if (!ReadExact(salt, 8) || !ReadExact(first, 16)) return false;
    const Rar4Key* key = m_state->Rar4(salt);
    CCbcDecryptor dec;
    if (!dec.Init(key->key.data(), 16, key->iv.data()) || !dec.Decrypt(first, first, 16)) return false;
    const std::uint16_t size = Le16(first + 5);
    if (size < 7) return false;
    return ReadEncryptedHeaderRest(first, size, dec, header);
}

bool CVolumeStream::NextBlock4() {
    std::vector<std::uint8_t> h;
    const bool encryptedHeader = m_headersEncrypted;
    if (!ReadHeader4(h)) {
        if (encryptedHeader && !m_state->firstEncryptedHeaderSeen)
            m_state->Fail(Failure::WrongPassword, "wrong password for " + m_path);
        else if (!m_scanOnly && !m_done)
            m_state->Fail(Failure::Damaged, "damaged header in " + m_path);
        return false;
    }
    auto crc16 = [](const std::vector<std::uint8_t>& b) {
        return static_cast<std::uint16_t>(Crc32(b.data() + 2, b.size() - 2) & 0xFFFF);
    };
    const std::uint8_t type = h[2];
    std::uint16_t flags = Le16(h.data() + 3);
    // Old-style comment headers carry no checksum over their full size; only check the rest.
    if (crc16(h) != Le16(h.data()) && type != 0x75) {
        if (encryptedHeader && !m_state->firstEncryptedHeaderSeen)
            m_state->Fail(Failure::WrongPassword, "wrong password for " + m_path);
        else if (!m_scanOnly)
            m_state->Fail(Failure::Damaged, "header checksum error in " + m_path);
        return false;
    }
    if (encryptedHeader) m_state->firstEncryptedHeaderSeen = true;

    auto emit = [&](bool recrc) {
        if (m_scanOnly) return;
        if (recrc) Put16(h.data(), crc16(h));
        std::memcpy(m_buffer.data(), h.data(), h.size());
        m_pendingPos = 0;
        m_pendingEnd = h.size();
    };
    std::uint64_t dataSize = 0;
    const bool fileLike = (type == 0x74 || type == 0x7A);
    if (fileLike) {
        if (h.size() < 32) {
            m_state->Fail(Failure::Damaged, "short file header in " + m_path);
            return false;
        }
        dataSize = Le32(h.data() + 7);
        if ((flags & 0x100) && h.size() >= 40) dataSize |= std::uint64_t{Le32(h.data() + 32)} << 32;
    } else if (flags & 0x8000) {
        if (h.size() < 11) return false;
        dataSize = Le32(h.data() + 7);
    }
    m_dataIn = dataSize;
    m_dataOut = dataSize;
    m_dataEncrypted = false;
    m_dataStoredTrack = false;

    if (type == 0x73) {  // main header
        if (m_facts && (flags & 0x0008)) m_facts->solid = true;
        if (m_facts && (flags & 0x0001)) m_facts->volume = true;
        if (flags & 0x0080) {
            m_headersEncrypted = true;
            if (m_facts) m_facts->headersEncrypted = true;
            if (!m_scanOnly && !m_state->havePassword) {
                m_state->Fail(Failure::NoPassword, m_path);
                return false;
            }
            Put16(h.data() + 3, static_cast<std::uint16_t>(flags & ~0x0080));
            emit(true);
            return true;
        }
        emit(false);
        return true;
    }
    if (type == 0x7B) {
        if (m_facts) m_facts->moreVolumes = (flags & 0x0001) != 0;
        emit(false);
        m_done = true;
        return true;
    }
    if (!fileLike) {
        emit(false);
        return true;
    }
    const std::uint16_t nameSize = Le16(h.data() + 26);
    const std::size_t namePos = 32 + ((flags & 0x100) ? 8 : 0);
    if (namePos + nameSize > h.size()) {
        m_state->Fail(Failure::Damaged, "damaged file header in " + m_path);
        return false;
    }
    std::string entryName(reinterpret_cast<const char*>(h.data() + namePos), nameSize);
    if (const auto zero = entryName.find('\0'); zero != std::string::npos) entryName.resize(zero);
    std::replace(entryName.begin(), entryName.end(), '\\', '/');
    if (type == 0x74) {
        if (m_facts && !m_sawFileHeader && (flags & 0x01)) m_facts->continuedNames.push_back(entryName);
        if (m_facts && (flags & 0x02)) m_facts->moreVolumes = true;
        m_sawFileHeader = true;
    }
    if (!(flags & 0x04)) {
        emit(false);
        return true;
    }
    if (type == 0x7A) {  // encrypted service data (comments): not needed, dropped
        if (m_scanOnly) return true;
        m_dataOut = 0;
        if (!SkipInput(m_dataIn)) return false;
        m_dataIn = 0;
        return true;
    }
    if (m_facts) m_facts->dataEncrypted = true;
    if (m_scanOnly || !m_decrypt) {
        emit(false);
        return true;
    }
    const std::uint8_t unpVer = h[24];
    const std::size_t saltPos = namePos + nameSize;
    if (unpVer < 29 || !(flags & 0x400) || saltPos + 8 > h.size()) {
        m_state->Fail(Failure::Unsupported, "RAR 2 encryption of " + entryName + " is not supported");
        return false;
    }
    if (!m_state->havePassword) {
        m_state->Fail(Failure::NoPassword, entryName);
        return false;
    }
    std::uint8_t salt[8];
    std::memcpy(salt, h.data() + saltPos, 8);
    const Rar4Key* key = m_state->Rar4(salt);
    m_state->encryptedNames[entryName] = true;

    std::uint64_t unpSize = Le32(h.data() + 11);
    if ((flags & 0x100) && h.size() >= 40) unpSize |= std::uint64_t{Le32(h.data() + 36)} << 32;
    const bool stored = h[25] == 0x30;
    const bool continues = (flags & 0x02) != 0;
    std::uint64_t plainData = dataSize;
    if (stored && !continues) {
        const std::uint64_t before = m_state->storedDone[entryName];
        plainData = unpSize >= before ? std::min<std::uint64_t>(dataSize, unpSize - before) : 0;
    }
    h.erase(h.begin() + static_cast<std::ptrdiff_t>(saltPos),
            h.begin() + static_cast<std::ptrdiff_t>(saltPos) + 8);
    flags = static_cast<std::uint16_t>(flags & ~(0x04 | 0x400));
    Put16(h.data() + 3, flags);
    Put16(h.data() + 5, static_cast<std::uint16_t>(h.size()));
    Put32(h.data() + 7, static_cast<std::uint32_t>(plainData));
    if (flags & 0x100) Put32(h.data() + 32, static_cast<std::uint32_t>(plainData >> 32));
    emit(true);

    m_dataOut = plainData;
    m_dataEncrypted = dataSize > 0;
    m_dataName = entryName;
    m_dataStoredTrack = stored;
    if (m_dataEncrypted && !m_cipher.Init(key->key.data(), 16, key->iv.data())) {
        m_state->Fail(Failure::Damaged, "cipher set-up failed");
        return false;
    }
    return true;
}

}  // namespace quivern::rar
