#include "platform/text.h"

#include <array>
#include <cstdint>

namespace quivern {
namespace {

// Unicode code points of Windows-1252 bytes 0x80..0x9F; 0 marks the five undefined bytes.
constexpr std::array<std::uint16_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

int ToCp1252(char32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
    for (std::size_t i = 0; i < kCp1252High.size(); ++i) {
        if (kCp1252High[i] != 0 && kCp1252High[i] == cp) return static_cast<int>(0x80 + i);
    }
    // The five undefined bytes stand for the C1 controls of the same value.
    if (cp >= 0x80 && cp < 0xA0 && kCp1252High[cp - 0x80] == 0) return static_cast<int>(cp);
    return -1;
}

// Decodes one UTF-8 sequence at s[i]; returns the code point (or 0xFFFFFFFF for an invalid
// sequence, consuming one byte) and advances i.
char32_t NextCodePoint(std::string_view s, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int len = 0;
    char32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
    } else {
        ++i;
        return 0xFFFFFFFF;
    }
    if (i + static_cast<std::size_t>(len) > s.size()) {
        ++i;
        return 0xFFFFFFFF;
    }
    for (int k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return 0xFFFFFFFF;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    // Reject overlong forms, surrogates and values past U+10FFFF.
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return 0xFFFFFFFF;
    }
    i += static_cast<std::size_t>(len);
    return cp;
}

char32_t FoldCase(char32_t c) {
    if (c >= 'A' && c <= 'Z') return c + 32;
    if (c < 0x80) return c;
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 32;
    if (c >= 0x100 && c <= 0x17F) {
        // Latin Extended-A pairs upper/lower as even/odd, except the 0x139..0x148 and
        // 0x179..0x17E runs, which pair odd/even.
        const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (oddUpper) return (c % 2 == 1) ? c + 1 : c;
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
        return (c % 2 == 0) ? c + 1 : c;
    }
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 32;
    if (c >= 0x410 && c <= 0x42F) return c + 32;
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    return c;
}

}  // namespace

void AppendUtf8(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool IsValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        if (NextCodePoint(text, i) == 0xFFFFFFFF) return false;
    }
    return true;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t cp = NextCodePoint(utf8, i);
        if (cp == 0xFFFFFFFF) cp = 0xFFFD;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::size_t AppendUtf8AsCp1252(std::string_view utf8, std::string& out) {
    const std::size_t before = out.size();
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        if (b < 0x80) {
            // Fast path for runs of ASCII.
            std::size_t j = i + 1;
            while (j < utf8.size() && static_cast<unsigned char>(utf8[j]) < 0x80)
                ++j;
            out.append(utf8.data() + i, j - i);
            i = j;
            continue;
        }
        const char32_t cp = NextCodePoint(utf8, i);
        const int c = cp == 0xFFFFFFFF ? -1 : ToCp1252(cp);
        out += c < 0 ? kCp1252DefaultChar : static_cast<char>(c);
    }
    return out.size() - before;
}

std::string Utf8ToCp1252(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    AppendUtf8AsCp1252(utf8, out);
    return out;
}

std::string Cp1252ToUtf8(std::string_view cp1252) {
    std::string out;
    out.reserve(cp1252.size());
    for (char ch : cp1252) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x80) {
            out += ch;
        } else if (b < 0xA0) {
            const std::uint16_t u = kCp1252High[b - 0x80];
            AppendUtf8(u != 0 ? u : b, out);
        } else {
            AppendUtf8(b, out);
        }
    }
    return out;
}

std::size_t Utf16Length(std::string_view utf8) {
    std::size_t n = 0;
    for (char ch : utf8) {
        const auto b = static_cast<unsigned char>(ch);
        if ((b & 0xC0) != 0x80) n += (b >= 0xF0) ? 2 : 1;
    }
    return n;
}

std::string_view TruncateUtf16(std::string_view utf8, std::size_t units) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        if ((b & 0xC0) == 0x80) continue;
        const std::size_t w = (b >= 0xF0) ? 2 : 1;
        if (n + w > units) return utf8.substr(0, i);
        n += w;
    }
    return utf8;
}

std::string AsciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return out;
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const char32_t x = NextCodePoint(a, i);
        const char32_t y = NextCodePoint(b, j);
        if (FoldCase(x) != FoldCase(y)) return false;
    }
    return i == a.size() && j == b.size();
}

}  // namespace quivern
