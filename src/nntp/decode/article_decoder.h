#pragma once
// Turns a fetched news article into the binary data it carries (yEnc, uuencode, or base64 parts of
// a MIME multipart message) and hands each decoded unit to the engine; an article with none of
// these is handed on as text.
//
// How the connection calls it: after an ARTICLE reply with status 220 the connection cuts the text
// from the CRLF that ends the status line up to and including the CRLF before the terminating dot
// line (headers, empty line, body; dot-stuffing still in place) and calls
//
//     DecodeArticle(owner, m_work, m_group, text, messageIdAsSent, job.m_jobId, jobInfo)
//
// on its own thread, where `owner` is the engine's owner object, `m_work` the connection's scratch
// buffer and `jobInfo` is filled from the job's article and file (or nullptr when the job is gone).
// The result is the fetch's result: false means the fetch failed and the job is retried.

#include <cstdint>
#include <string>
#include <string_view>

namespace quivern {

// One decoded unit. `data` belongs to the decoder and is valid only during the hand-off call; the
// receiver copies what it keeps.
struct DecodedSegment {
    std::uint32_t length = 0;  // decoded bytes (0 for an availability check)
    std::string fileName;      // UTF-8 name as found in the article, or empty; not yet confined
    const std::uint8_t* data = nullptr;
    std::uint64_t jobId = 0;
    // yEnc only: the "=yend" line carried this article's decoded size and/or its CRC-32 (pcrc32=, or
    // crc32= of a posting in one part) and they were compared with `data`. The CRC is kept while
    // decoding, so the check costs no second pass. A mismatch means the article arrived damaged;
    // the decoder only reports it and hands the data on all the same.
    bool trailerChecked = false;
    bool sizeMatches = true;  // false only when the trailer's size= differs from `length`
    bool crcMatches = true;   // false only when the trailer's CRC differs from the CRC of `data`
    // yEnc only: where `data` belongs in the file, when the headers say so and agree with `length`
    // (a "=ypart" begin/end range of exactly `length` bytes, or offset 0 for a posting in one part
    // whose size= is `length`). `fileSize` is the "=ybegin" size= (0 when absent).
    bool hasFileOffset = false;
    std::uint64_t fileOffset = 0;
    std::uint64_t fileSize = 0;
};

// The two hand-offs of the decoder. Both run on the connection's thread; a false result makes the
// fetch fail.
class IArticleSink {
public:
    virtual bool OnSegmentData(std::string_view group, std::string_view messageId,
                               const DecodedSegment& segment) = 0;
    // The article carried nothing decodable; `text` is its body converted to UTF-8.
    virtual bool OnTextArticle(std::string_view group, std::string_view messageId, std::string_view text,
                               std::uint64_t jobId) = 0;

protected:
    virtual ~IArticleSink() = default;
};

// What the decoder needs to know of the job the article belongs to.
struct TArticleJobInfo {
    bool articleValid = false;       // the job's article object is valid
    std::uint32_t number = 0;        // segment number of the article within its file (1-based)
    std::uint32_t articleCount = 0;  // number of articles of the article's file
};

// Returns true when the article was processed and its hand-off succeeded, false when the article
// has no empty line after its headers or no Subject, memory ran short, or a hand-off failed.
// `work` is scratch space (it receives the MIME delimiter). `job` may be nullptr.
bool DecodeArticle(IArticleSink& sink, std::string& work, std::string_view group, std::string_view article,
                   std::string_view messageId, std::uint64_t jobId, const TArticleJobInfo* job);

// A yEnc block found in an article body.
struct TYEncBlock {
    std::string fileName;         // UTF-8, trimmed
    std::string_view data;        // the encoded data lines, up to the "=yend" line
    std::string_view trailer;     // the "=yend" line without its CRLF
    bool multipart = false;       // the "=ybegin" line has a part= parameter
    std::uint64_t fileSize = 0;   // the "=ybegin" size=, or 0
    std::uint64_t partBegin = 0;  // the "=ypart" begin= and end= (1-based, inclusive), or 0
    std::uint64_t partEnd = 0;
};
// Finds the yEnc block of a body: "=ybegin " with a "name=", the first line after the name that
// is not a "=ypart" line, and the following "=yend". Returns false when the body has none.
bool FindYEncBlock(std::string_view body, TYEncBlock& block);

// The outcome of DecodeYEncBlock; `length` is 0 when the data decodes to nothing (or fails).
struct TYEncDecoded {
    std::size_t length = 0;
    std::uint32_t crc32 = 0;  // of the decoded bytes
    bool trailerChecked = false;
    bool sizeMatches = true;
    bool crcMatches = true;
};
// Decodes `block.data` into `output` (room for block.data.size() + 1 bytes) and compares the result
// with the size and CRC of the trailer, as described at DecodedSegment.
TYEncDecoded DecodeYEncBlock(const TYEncBlock& block, std::uint8_t* output);
// FindYEncBlock and DecodeYEncBlock in one pass over the data: the decoder looks for "=yend" as it
// goes. `output` needs room for
// body.size() + 1 bytes. Returns false (and `result` is unspecified) when the body has no yEnc
// block; otherwise `block` and `result` are what the two calls would give.
bool DecodeYEncBody(std::string_view body, TYEncBlock& block, std::uint8_t* output, TYEncDecoded& result);

}  // namespace quivern
