#pragma once
// Key derivation and block decryption of RAR 4 (AES-128) and RAR 5 (AES-256) archives, on
// OpenSSL. Keys are derived once per salt and cached by the callers; RAR 4 derivation costs
// 2^18 SHA-1 updates and RAR 5 up to 2^24 HMAC rounds, so neither may run per header.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quivern::rar {

// RAR 4: key and IV from the password (UTF-8 here, hashed as UTF-16LE) and an 8-byte salt.
struct Rar4Key {
    std::array<std::uint8_t, 16> key{};
    std::array<std::uint8_t, 16> iv{};
};
Rar4Key DeriveRar4Key(std::string_view passwordUtf8, const std::uint8_t salt[8]);

// RAR 5: PBKDF2-HMAC-SHA256 with 2^lg2Count rounds; the hash key and the password check value
// are the same sum carried on for 16 and 32 more rounds.
struct Rar5Key {
    std::array<std::uint8_t, 32> key{};
    std::array<std::uint8_t, 32> hashKey{};
    std::array<std::uint8_t, 8> check{};  // the 32-byte value folded to 8 bytes
};
bool DeriveRar5Key(std::string_view passwordUtf8, const std::uint8_t salt[16], unsigned lg2Count,
                   Rar5Key& out);

// The CRC-32 of a file as RAR 5 stores it when checksums are keyed with the hash key.
std::uint32_t Rar5KeyedCrc(std::uint32_t crc, const std::array<std::uint8_t, 32>& hashKey);

// AES-CBC decryption without padding, continued across calls (the IV is carried inside).
class CCbcDecryptor {
public:
    CCbcDecryptor();
    ~CCbcDecryptor();
    CCbcDecryptor(const CCbcDecryptor&) = delete;
    CCbcDecryptor& operator=(const CCbcDecryptor&) = delete;

    // keyLength 16 or 32.
    bool Init(const std::uint8_t* key, std::size_t keyLength, const std::uint8_t iv[16]);
    // length must be a multiple of 16; in and out may be the same buffer.
    bool Decrypt(const std::uint8_t* in, std::uint8_t* out, std::size_t length);

private:
    void* m_ctx;
};

std::uint32_t Crc32(const void* data, std::size_t length, std::uint32_t crc = 0);

}  // namespace quivern::rar
