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
enum class YEncImpl { kScalar, kSse2, kAvx2, kAvx512 };
bool YEncImplAvailable(YEncImpl impl);
std::size_t DecodeYEncWith(YEncImpl impl, const char* text, std::size_t length, std::uint8_t* output);
// The implementation DecodeYEnc uses on this processor.
YEncImpl YEncActiveImpl();

// Offset of the first "=yend" in the text (the end of a yEnc block's data), or `length` when there
// is none.
std::size_t FindYEncEnd(const char* text, std::size_t length);

// The same decoding for text that arrives in pieces cut anywhere (inside a line, between "=" and
// the character it escapes, between the two dots of a stuffed line, between CR and LF), with the
// CRC-32 and the count of the decoded bytes kept on the way: each piece is checksummed while its
// output is still in the cache, so checking a trailer costs no second pass over the data.
// Feeding a text in any number of pieces and then calling Finish gives exactly what DecodeYEnc
// gives for the whole text (Failed() standing for its 0).
class YEncDecoder {
public:
    explicit YEncDecoder(YEncImpl impl = YEncActiveImpl());

    // Decodes the next `length` bytes of text to `output`, which must have room for length + 1
    // bytes (a dot held back at the end of the previous piece may come out first). Returns the
    // number of bytes written; nothing is written once the text has failed.
    std::size_t Feed(const char* text, std::size_t length, std::uint8_t* output);
    // Like Feed, but the text ends before the first "=yend" that lies wholly within this piece:
    // `consumed` receives its offset (or `length` when there is none), and only what precedes it is
    // decoded. Once the text has failed the search goes on, without decoding.
    std::size_t FeedToEnd(const char* text, std::size_t length, std::uint8_t* output, std::size_t& consumed);
    // Ends the text. Writes at most one byte (a held-back dot); returns the number written.
    std::size_t Finish(std::uint8_t* output);

    // An "=" closed a line or the text: the whole text decodes to nothing.
    bool Failed() const { return m_failed; }
    // Bytes written and their CRC-32 so far (meaningless once Failed()).
    std::uint64_t Size() const { return m_size; }
    std::uint32_t Crc32() const { return m_crc; }

private:
    std::size_t Run(const char* text, std::size_t length, std::uint8_t* output, std::size_t* marker);

    YEncImpl m_impl;
    bool m_escape = false;      // the previous character was an escaping "="
    bool m_lineStart = true;    // the next character begins a line
    bool m_pendingDot = false;  // a "." began the line; the next character decides whether it stays
    bool m_failed = false;
    std::uint64_t m_size = 0;
    std::uint32_t m_crc = 0;
};

}  // namespace quivern
