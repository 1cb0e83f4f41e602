#pragma once
// One archive volume as libarchive reads it: either the file as it is, or a plain rewrite of an
// encrypted RAR 4 / RAR 5 volume produced on the fly. The rewrite decrypts headers and data,
// drops the encryption records, salts and encrypted service blocks, trims the cipher padding of
// stored data, and recomputes every header checksum it changes. RAR 5 file checksums keyed with
// the hash key cannot be checked by libarchive; they are removed from the headers and handed to
// the extractor through CRarCryptoState, which checks them against the written data.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "postproc/rar/rar_crypto.h"

namespace quivern::rar {

enum class Failure {
    None,
    OpenFailed,     // a volume cannot be opened or is no RAR archive
    Damaged,        // data or headers damaged, or a volume missing
    WrongPassword,  // the format says the password does not match
    NoPassword,     // encrypted and no password given
    Unsupported,    // a RAR feature libarchive cannot read (RAR 4 solid, RAR 2 encryption)
    UnsafeName,     // an entry would leave the destination folder
    Stalled,        // the reader stopped making progress
    WriteFailed,    // an output file cannot be written
    Cancelled,
};
const char* FailureText(Failure f);

// What a scan of the plain headers tells about a set of volumes.
struct ArchiveFacts {
    int format = 0;  // 4 or 5; 0 when no RAR signature was found
    bool headersEncrypted = false;
    bool dataEncrypted = false;
    bool solid = false;
    bool volume = false;       // the main header marks the file as one volume of a set
    bool moreVolumes = false;  // the last volume scanned says another one follows
    // Names of entries in the first volume that continue from an earlier volume.
    std::vector<std::string> continuedNames;
};

// Shared by the volumes of one read: the password, derived keys (one derivation per salt), the
// keyed checksums to verify, and the first failure met.
struct CRarCryptoState {
    std::string password;
    bool havePassword = false;
    Failure failure = Failure::None;
    std::string failureDetail;
    // RAR 5 keyed CRCs by entry name, recorded when the entry's last part is read.
    struct Expected {
        std::uint32_t keyedCrc = 0;
        std::array<std::uint8_t, 32> hashKey{};
    };
    std::map<std::string, Expected> keyedCrcs;
    // Entries whose data was encrypted: a checksum failure there means a wrong password.
    std::map<std::string, bool> encryptedNames;
    // Plain bytes already produced per split stored entry (its earlier parts).
    std::map<std::string, std::uint64_t> storedDone;
    bool firstEncryptedHeaderSeen = false;

    // Walks the block structure of RAR 5 compressed data to find where it ends: libarchive
    // reads past the last block into the cipher padding otherwise. Kept per entry across parts.
    struct BlockWalker {
        std::uint8_t header[5] = {};
        int have = 0;
        std::uint64_t blockLeft = 0;
        bool last = false;
        bool ended = false;
        // Returns how many of `n` bytes belong to the compressed data.
        std::size_t Feed(const std::uint8_t* p, std::size_t n);
    };
    std::map<std::string, BlockWalker> walkers;

    std::map<std::string, Rar4Key> rar4Keys;
    std::map<std::string, Rar5Key> rar5Keys;
    const Rar4Key* Rar4(const std::uint8_t salt[8]);
    const Rar5Key* Rar5(const std::uint8_t salt[16], unsigned lg2Count);

    // Per-read progress through split entries starts again with each read of the archive.
    void StartRead() {
        storedDone.clear();
        walkers.clear();
    }

    void Fail(Failure f, std::string detail) {
        if (failure == Failure::None) {
            failure = f;
            failureDetail = std::move(detail);
        }
    }
};

class CVolumeStream {
public:
    // scanOnly: parse headers and skip data, never decrypt; facts are gathered into *facts.
    CVolumeStream(std::string path, std::shared_ptr<CRarCryptoState> state, bool decrypt,
                  bool scanOnly = false, ArchiveFacts* facts = nullptr);
    ~CVolumeStream();
    CVolumeStream(const CVolumeStream&) = delete;
    CVolumeStream& operator=(const CVolumeStream&) = delete;

    bool Open();
    void Close();
    // A view of the next bytes, valid until the next call: > 0 bytes, 0 at the end, -1 on failure
    // (the reason is in the shared state).
    long Next(const void** data);
    // Plain volumes only: repositioning for libarchive's seek and skip.
    std::int64_t Seek(std::int64_t offset, int whence);
    std::int64_t Skip(std::int64_t count);
    bool Decrypting() const { return m_decrypt; }
    const std::string& Path() const { return m_path; }
    // Scans the headers of the whole volume (scanOnly mode).
    bool Scan();

private:
    bool ReadExact(std::uint8_t* out, std::size_t n);
    bool SkipInput(std::uint64_t n);
    bool NextBlock();
    bool NextBlock4();
    bool NextBlock5();
    bool ReadEncryptedHeaderRest(const std::uint8_t first[16], std::size_t size, CCbcDecryptor& dec,
                                 std::vector<std::uint8_t>& header);
    bool ReadHeader5(std::vector<std::uint8_t>& header);
    // The RAR5 key for an encryption record of `subject` ("in <volume>" or "for <entry>"), checked
    // against the record's password check value when it has one; null after recording the failure.
    const Rar5Key* CheckedRar5Key(const std::uint8_t* salt, std::uint8_t lg2Count, const std::uint8_t* check,
                                  const std::string& name, const char* preposition);
    bool ReadHeader4(std::vector<std::uint8_t>& header);
    long NextData(const void** data);

    std::string m_path;
    std::shared_ptr<CRarCryptoState> m_state;
    bool m_decrypt;
    bool m_scanOnly;
    ArchiveFacts* m_facts;
    int m_fd = -1;
    int m_format = 0;
    bool m_started = false;
    bool m_done = false;
    bool m_headersEncrypted = false;
    bool m_sawFileHeader = false;
    Rar5Key m_headerKey5{};

    std::vector<std::uint8_t> m_buffer;
    std::size_t m_pendingPos = 0;
    std::size_t m_pendingEnd = 0;
    // Data area of the current block.
    std::uint64_t m_dataIn = 0;   // bytes still to read from the file
    std::uint64_t m_dataOut = 0;  // plain bytes still to hand out
    bool m_dataEncrypted = false;
    std::string m_dataName;
    bool m_dataStoredTrack = false;
    CCbcDecryptor m_cipher;
};

}  // namespace quivern::rar
