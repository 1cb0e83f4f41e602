#include "nntp/decode/binary_codecs.h"

#include <array>

#include "platform/text.h"

namespace quivern {
namespace {

constexpr int kNotBase64 = -1;
constexpr int kPad = 64;

constexpr std::array<std::int8_t, 256> BuildBase64Index() {
    std::array<std::int8_t, 256> a{};
    for (auto& v : a)
        v = kNotBase64;
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
    for (std::size_t i = 0; i < alphabet.size(); ++i)
        a[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
    return a;
}
constexpr std::array<std::int8_t, 256> kBase64Index = BuildBase64Index();

inline int B64(char c) {
    return kBase64Index[static_cast<unsigned char>(c)];
}
inline unsigned Six(char c) {
    return (static_cast<unsigned>(static_cast<unsigned char>(c)) - 32u) & 63u;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::size_t DecodeBase64(const char* text, std::size_t length, std::uint8_t* output) {
    std::size_t pos = 0;
    std::size_t o = 0;
    while (pos < length) {
        if (B64(text[pos]) == kNotBase64) {
            ++pos;
            continue;
        }
        const std::size_t start = pos;
        while (pos < length && B64(text[pos]) != kNotBase64)
            ++pos;
        if ((pos - start) % 4 != 0) return o;
        bool padded = false;
        for (std::size_t g = start; g < pos; g += 4) {
            int v[4];
            for (int k = 0; k < 4; ++k) {
                v[k] = B64(text[g + static_cast<std::size_t>(k)]);
                if (v[k] == kPad) {
                    padded = true;
                    v[k] = 0;  // an "=" in first or second place carries no bits
                }
            }
            const std::uint32_t bits = static_cast<std::uint32_t>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
            output[o++] = static_cast<std::uint8_t>(bits >> 16);
            if (text[g + 2] == '=') continue;
            output[o++] = static_cast<std::uint8_t>(bits >> 8);
            if (text[g + 3] == '=') continue;
            output[o++] = static_cast<std::uint8_t>(bits);
        }
        if (padded) return o;
    }
    return o;
}

std::vector<std::uint8_t> DecodeBase64(std::string_view text) {
    std::vector<std::uint8_t> out(text.size() / 4 * 3);
    out.resize(DecodeBase64(text.data(), text.size(), out.data()));
    return out;
}

std::size_t DecodeUU(const char* text, std::size_t length, std::uint8_t* output) {
    if (length < 4) return 0;
    std::size_t pos = 0;
    std::size_t o = 0;
    unsigned lineLength = 0;
    bool first = true;
    while (length - pos >= 4) {
        const auto c = static_cast<unsigned char>(text[pos]);
        if (c < 32 || c > 96) break;
        const unsigned n = (c - 32u) & 63u;
        if (n == 0) break;
        std::size_t p = pos + 1;
        const std::size_t lineStart = o;
        unsigned produced = 0;
        for (unsigned g = 0; g < (n + 2) / 3; ++g) {
            if (length - p < 4) return lineStart;  // a line cut short by the end of the text is dropped
            const std::uint32_t bits =
                Six(text[p]) << 18 | Six(text[p + 1]) << 12 | Six(text[p + 2]) << 6 | Six(text[p + 3]);
            for (int k = 2; k >= 0 && produced < n; --k, ++produced)
                output[o++] = static_cast<std::uint8_t>(bits >> (8 * k));
            p += 4;
        }
        if (first) {
            lineLength = n;
            first = false;
        } else if (n != lineLength) {
            break;
        }
        if (length - p < 2) break;
        pos = p + 2;
    }
    return o;
}

std::vector<std::uint8_t> DecodeUU(std::string_view text) {
    std::vector<std::uint8_t> out(text.size());
    out.resize(DecodeUU(text.data(), text.size(), out.data()));
    return out;
}

bool DecodeEncodedWord(std::string& text, unsigned& codePage) {
    const std::string_view s = text;
    if (s.size() < 8 || !s.starts_with("=?") || !s.ends_with("?=")) return false;
    const std::size_t q = s.find('?', 2);
    // "=?" charset "?" Q|B "?" encoded "?="
    if (q == std::string_view::npos || q + 3 > s.size() - 2 || (s[q + 1] != 'Q' && s[q + 1] != 'B') ||
        s[q + 2] != '?')
        return false;
    const std::string_view charset = s.substr(2, q - 2);
    const std::string_view encoded = s.substr(q + 3, s.size() - 2 - (q + 3));
    std::string decoded;
    if (s[q + 1] == 'B') {
        const auto bytes = DecodeBase64(encoded);
        decoded.assign(bytes.begin(), bytes.end());
    } else {
        decoded.reserve(encoded.size());
        for (std::size_t i = 0; i < encoded.size(); ++i) {
            const char c = encoded[i];
            if (c == '=' && i + 2 < encoded.size() && HexValue(encoded[i + 1]) >= 0 &&
                HexValue(encoded[i + 2]) >= 0) {
                decoded.push_back(
                    static_cast<char>(HexValue(encoded[i + 1]) * 16 + HexValue(encoded[i + 2])));
                i += 2;
            } else if (c == '_') {
                decoded.push_back(' ');
            } else {
                decoded.push_back(c);
            }
        }
    }
    codePage = EqualsIgnoreAsciiCase(charset, "utf-8") ? kCodePageUtf8 : kCodePageWindows1252;
    text = std::move(decoded);
    return true;
}

std::string CodePageToUtf8(std::string_view bytes, unsigned codePage) {
    if (codePage != kCodePageUtf8) return Cp1252ToUtf8(bytes);
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto b0 = static_cast<unsigned char>(bytes[i]);
        std::size_t len = 0;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (b0 < 0x80)
            len = 1;
        else if (b0 >= 0xC2 && b0 <= 0xDF)
            len = 2;
        else if (b0 >= 0xE0 && b0 <= 0xEF) {
            len = 3;
            if (b0 == 0xE0) lo = 0xA0;
            if (b0 == 0xED) hi = 0x9F;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            len = 4;
            if (b0 == 0xF0) lo = 0x90;
            if (b0 == 0xF4) hi = 0x8F;
        }
        bool valid = len > 0 && i + len <= bytes.size();
        for (std::size_t k = 1; valid && k < len; ++k) {
            const auto b = static_cast<unsigned char>(bytes[i + k]);
            valid = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
        }
        if (valid) {
            out.append(bytes.substr(i, len));
            i += len;
        } else {
            out.append("\xEF\xBF\xBD");
            ++i;
        }
    }
    return out;
}

}  // namespace quivern
