#pragma once
// uuencode, base64 and RFC 2047 encoded words as they appear in news articles.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quivern {

inline constexpr unsigned kCodePageUtf8 = 65001;
inline constexpr unsigned kCodePageWindows1252 = 1252;

// Base64 with the alphabet of RFC 4648 plus "=". The text is taken in runs of alphabet characters;
// anything else separates runs and is dropped. A run whose length is not a multiple of 4 ends the
// decoding; a group "xx=?" gives one byte, "xxx=" two; after a run holding an "=" the decoding ends.
// Runs may be of any length. `output` must hold length / 4 * 3 bytes. Returns the byte count.
std::size_t DecodeBase64(const char* text, std::size_t length, std::uint8_t* output);
std::vector<std::uint8_t> DecodeBase64(std::string_view text);

// uuencoded lines: a count character (32 + n, or "`" for 0), ceil(n / 3) * 4 characters and a
// two-character line end. The first line's count is the block's line length; a line with another
// count is decoded and ends the block, as does a count of 0, a character that cannot be a count, a
// line cut short by the end of the text (which is dropped), or fewer than 4 characters left. A line is
// decoded as it stands: a leading ".." is data. `output` must hold length bytes. Returns the byte count.
std::size_t DecodeUU(const char* text, std::size_t length, std::uint8_t* output);
std::vector<std::uint8_t> DecodeUU(std::string_view text);

// Decodes an RFC 2047 encoded word ("=?charset?Q?...?=" or "=?charset?B?...?=", capital Q or B) in
// place and reports the code page of its charset: kCodePageUtf8 for "utf-8" (any case), otherwise
// kCodePageWindows1252. Returns false and leaves the text alone when it is not one encoded word.
bool DecodeEncodedWord(std::string& text, unsigned& codePage);

// Converts bytes of the given code page (kCodePageUtf8 or kCodePageWindows1252) to UTF-8; invalid
// UTF-8 sequences become U+FFFD.
std::string CodePageToUtf8(std::string_view bytes, unsigned codePage);

}  // namespace quivern
