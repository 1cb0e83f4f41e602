#include "postproc/rar/rar_crypto.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <cstring>
#include <memory>
#include <vector>

#include "nntp/decode/crc32.h"
#include "platform/text.h"

namespace quivern::rar {

namespace {

void HmacSha256(const std::uint8_t* key, std::size_t keyLength, const std::uint8_t* data, std::size_t length,
                std::uint8_t out[32]) {
    unsigned int outLength = 32;
    HMAC(EVP_sha256(), key, static_cast<int>(keyLength), data, length, out, &outLength);
}

}  // namespace

Rar4Key DeriveRar4Key(std::string_view passwordUtf8, const std::uint8_t salt[8]) {
    std::vector<std::uint8_t> raw;
    for (char16_t u : quivern::Utf8ToUtf16(passwordUtf8)) {
        raw.push_back(static_cast<std::uint8_t>(u & 0xFF));
        raw.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    raw.insert(raw.end(), salt, salt + 8);

    constexpr std::uint32_t kRounds = 0x40000;
    Rar4Key out;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> copy(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (!ctx || !copy || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1) return out;
    for (std::uint32_t i = 0; i < kRounds; ++i) {
        EVP_DigestUpdate(ctx.get(), raw.data(), raw.size());
        const std::uint8_t counter[3] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8),
                                         static_cast<std::uint8_t>(i >> 16)};
        EVP_DigestUpdate(ctx.get(), counter, 3);
        if (i % (kRounds / 16) == 0) {
            EVP_MD_CTX_copy_ex(copy.get(), ctx.get());
            EVP_DigestFinal_ex(copy.get(), digest, &digestLength);
            out.iv[i / (kRounds / 16)] = digest[19];
        }
    }
    EVP_DigestFinal_ex(ctx.get(), digest, &digestLength);
    // The key is the digest's first four 32-bit words, each stored little-endian.
    for (int w = 0; w < 4; ++w)
        for (int b = 0; b < 4; ++b)
            out.key[w * 4 + b] = digest[w * 4 + 3 - b];
    return out;
}

bool DeriveRar5Key(std::string_view passwordUtf8, const std::uint8_t salt[16], unsigned lg2Count,
                   Rar5Key& out) {
    if (lg2Count > 24) return false;  // the format's limit; larger counts are damage, not a key
    // PBKDF2-HMAC-SHA256 over the salt: the key after 2^lg2Count rounds, the hash key after 16
    // more, the password check value after 16 more again (the running sum of all rounds).
    const std::uint64_t count = std::uint64_t{1} << lg2Count;
    std::uint8_t checkFull[32];
    std::uint8_t* targets[3] = {out.key.data(), out.hashKey.data(), checkFull};
    for (int stage = 0; stage < 3; ++stage) {
        if (PKCS5_PBKDF2_HMAC(passwordUtf8.data(), static_cast<int>(passwordUtf8.size()), salt, 16,
                              static_cast<int>(count + 16 * static_cast<std::uint64_t>(stage)), EVP_sha256(),
                              32, targets[stage]) != 1) {
            return false;
        }
    }
    out.check.fill(0);
    for (int k = 0; k < 32; ++k)
        out.check[k % 8] ^= checkFull[k];
    return true;
}

std::uint32_t Rar5KeyedCrc(std::uint32_t crc, const std::array<std::uint8_t, 32>& hashKey) {
    const std::uint8_t raw[4] = {static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8),
                                 static_cast<std::uint8_t>(crc >> 16), static_cast<std::uint8_t>(crc >> 24)};
    std::uint8_t digest[32];
    HmacSha256(hashKey.data(), hashKey.size(), raw, 4, digest);
    std::uint32_t folded = 0;
    for (int k = 0; k < 32; ++k)
        folded ^= std::uint32_t{digest[k]} << ((k & 3) * 8);
    return folded;
}

CCbcDecryptor::CCbcDecryptor() : m_ctx(EVP_CIPHER_CTX_new()) {}

CCbcDecryptor::~CCbcDecryptor() {
    EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX*>(m_ctx));
}

bool CCbcDecryptor::Init(const std::uint8_t* key, std::size_t keyLength, const std::uint8_t iv[16]) {
    auto* ctx = static_cast<EVP_CIPHER_CTX*>(m_ctx);
    if (!ctx) return false;
    const EVP_CIPHER* cipher = keyLength == 32 ? EVP_aes_256_cbc() : EVP_aes_128_cbc();
    if (EVP_DecryptInit_ex(ctx, cipher, nullptr, key, iv) != 1) return false;
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    return true;
}

bool CCbcDecryptor::Decrypt(const std::uint8_t* in, std::uint8_t* out, std::size_t length) {
    auto* ctx = static_cast<EVP_CIPHER_CTX*>(m_ctx);
    if (length % 16 != 0) return false;
    // OpenSSL's update may not alias in and out partially; same buffer is allowed.
    std::size_t done = 0;
    while (done < length) {
        const int chunk = static_cast<int>(std::min<std::size_t>(length - done, 1 << 30));
        int outLength = 0;
        if (EVP_DecryptUpdate(ctx, out + done, &outLength, in + done, chunk) != 1 || outLength != chunk)
            return false;
        done += static_cast<std::size_t>(chunk);
    }
    return true;
}

std::uint32_t Crc32(const void* data, std::size_t length, std::uint32_t crc) {
    return Crc32Update(crc, data, length);
}

}  // namespace quivern::rar
