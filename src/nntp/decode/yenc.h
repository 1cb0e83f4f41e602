#pragma once
// yEnc data decoding.

#include <cstddef>
#include <cstdint>

namespace quivern {

// Decodes the data lines of a yEnc block (without the =ybegin/=ypart/=yend lines): CR and LF
// between lines are dropped, a line starting with ".." loses one dot (NNTP dot-stuffing), "=c"
// stands for c - 64, and every value is then reduced by 42 modulo 256. An "=" as the last
// character of a line (or of the text) makes the whole decoding fail. Lines may be of any length.
//
// `output` must have room for `length` bytes (the decoded data is never longer than its text).
// Returns the number of decoded bytes, 0 on failure.
std::size_t DecodeYEnc(const char* text, std::size_t length, std::uint8_t* output);

// The implementations DecodeYEnc chooses from. They give identical results for every input; the
// scalar one is the reference the vector ones are checked against.
enum class YEncImpl { kScalar, kSse2, kAvx2 };
bool YEncImplAvailable(YEncImpl impl);
std::size_t DecodeYEncWith(YEncImpl impl, const char* text, std::size_t length, std::uint8_t* output);
// The implementation DecodeYEnc uses on this processor.
YEncImpl YEncActiveImpl();

}  // namespace quivern
