#pragma once
// Text helpers. Inside the program text is UTF-8; Windows-1252 is used only at the wire
// (group names, message-ids, logins). Limits counted in UTF-16 units count UTF-16 units.

#include <cstddef>
#include <string>
#include <string_view>

namespace quivern {

// Replacement for characters that Windows-1252 cannot represent (the code page's default character).
inline constexpr char kCp1252DefaultChar = '?';

// UTF-8 to Windows-1252; unmappable characters and invalid UTF-8 sequences become kCp1252DefaultChar.
std::string Utf8ToCp1252(std::string_view utf8);
// Appends the conversion to `out` and returns the number of bytes appended.
std::size_t AppendUtf8AsCp1252(std::string_view utf8, std::string& out);
// Windows-1252 to UTF-8 (the five undefined bytes map to the C1 control of the same value).
std::string Cp1252ToUtf8(std::string_view cp1252);

// Appends one code point as UTF-8.
void AppendUtf8(char32_t codePoint, std::string& out);
// True when the text is well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool IsValidUtf8(std::string_view text);
// UTF-8 to UTF-16; an invalid sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);

// Number of UTF-16 code units the UTF-8 text needs (4-byte sequences count 2).
std::size_t Utf16Length(std::string_view utf8);
// Cuts UTF-8 text to at most `units` UTF-16 units without splitting a character.
std::string_view TruncateUtf16(std::string_view utf8, std::size_t units);

// Lower-cases the letters A to Z only (the key rule of the settings store).
std::string AsciiLower(std::string_view s);
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);

// Case-insensitive comparison for whole Unicode texts (file paths): simple case folding of
// Latin-1, Latin Extended-A, Greek and Cyrillic letters, byte comparison elsewhere.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace quivern
