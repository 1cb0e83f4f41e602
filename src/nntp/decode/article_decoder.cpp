#include "nntp/decode/article_decoder.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <new>
#include <optional>

#include "nntp/decode/binary_codecs.h"
#include "nntp/decode/yenc.h"
#include "platform/text.h"

namespace quivern {
namespace {

constexpr std::string_view kCrlf = "\r\n";
constexpr std::string_view kEmptyLine = "\r\n\r\n";
constexpr std::size_t npos = std::string_view::npos;

inline bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
inline bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
inline char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualsIgnoreAsciiCase(s.substr(0, prefix.size()), prefix);
}

std::size_t FindNoCase(std::string_view hay, std::string_view needle, std::size_t from = 0) {
    if (needle.empty() || hay.size() < needle.size()) return npos;
    const char first = Lower(needle[0]);
    for (std::size_t i = from; i + needle.size() <= hay.size(); ++i) {
        if (Lower(hay[i]) == first && StartsWithNoCase(hay.substr(i), needle)) return i;
    }
    return npos;
}

std::string_view Trim(std::string_view s, std::string_view chars = " \t\r\n") {
    const std::size_t b = s.find_first_not_of(chars);
    if (b == npos) return {};
    const std::size_t e = s.find_last_not_of(chars);
    return s.substr(b, e - b + 1);
}

std::string_view TrimLeft(std::string_view s) {
    std::size_t b = 0;
    while (b < s.size() && IsSpace(s[b]))
        ++b;
    return s.substr(b);
}

// `headers` starts with a CRLF and ends with the CRLF of its last line, so every header is found as
// "\r\n" + name + ":". The value runs over continuation lines (CRLF + blank) and is trimmed; a value
// shorter than two characters counts as missing.
std::optional<std::string_view> HeaderValue(std::string_view headers, std::string_view name) {
    std::string key;
    key.reserve(name.size() + 3);
    key.append(kCrlf).append(name).push_back(':');
    const std::size_t at = FindNoCase(headers, key);
    if (at == npos) return std::nullopt;
    const std::size_t start = at + key.size();
    std::size_t end = start;
    for (;;) {
        end = headers.find(kCrlf, end);
        if (end == npos) {
            end = headers.size();
            break;
        }
        if (end + 2 < headers.size() && IsBlank(headers[end + 2])) {
            end += 2;
            continue;
        }
        break;
    }
    const std::string_view value = Trim(headers.substr(start, end - start));
    if (value.size() < 2) return std::nullopt;
    return value;
}

// The MIME delimiter from a Content-Type value: the parameter after the first "boundary=" or
// "id=", up to CR, LF or ";", without surrounding quotes.
std::string_view BoundaryOf(std::string_view contentType) {
    const std::size_t b = FindNoCase(contentType, "boundary=");
    const std::size_t i = FindNoCase(contentType, "id=");
    std::size_t at;
    if (b != npos && (i == npos || b < i))
        at = b + 9;
    else if (i != npos)
        at = i + 3;
    else
        return {};
    std::string_view v = contentType.substr(at);
    v = v.substr(0, v.find_first_of("\r\n;"));
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    return v;
}

// The four uuencode end marks, tried in this order; the data is cut after the CRLF that begins the
// mark. Returns npos when none is found.
std::size_t FindUUEnd(std::string_view text, std::size_t from) {
    static constexpr std::string_view kMarks[] = {"\r\n`\r\nend", "\r\n\r\nend", "\r\n`end", "\r\nend"};
    for (const std::string_view mark : kMarks) {
        const std::size_t at = text.find(mark, from);
        if (at != npos) return at + 2;
    }
    return npos;
}

// Start of the next yEnc header line: a line ends at a CRLF not preceded by ';'.
std::size_t NextYEncLine(std::string_view text, std::size_t from) {
    for (;;) {
        const std::size_t at = text.find(kCrlf, from);
        if (at == npos) return text.size();
        if (at == 0 || text[at - 1] != ';') return at + 2;
        from = at + 2;
    }
}

// The value of a "key=" parameter of a yEnc header line; `key` includes the leading blank so that
// " crc32=" does not match inside " pcrc32=".
std::optional<std::string_view> YEncParameter(std::string_view line, std::string_view key) {
    const std::size_t at = line.find(key);
    if (at == npos) return std::nullopt;
    std::string_view v = line.substr(at + key.size());
    return v.substr(0, v.find_first_of(" \t\r\n"));
}

std::optional<std::uint64_t> ParseDecimal(std::string_view v) {
    if (v.empty() || v.size() > 19) return std::nullopt;
    std::uint64_t n = 0;
    for (const char c : v) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return n;
}

std::optional<std::uint32_t> ParseHex32(std::string_view v) {
    if (v.empty() || v.size() > 8) return std::nullopt;
    std::uint32_t n = 0;
    for (const char c : v) {
        std::uint32_t d;
        if (c >= '0' && c <= '9')
            d = static_cast<std::uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = static_cast<std::uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            d = static_cast<std::uint32_t>(c - 'A' + 10);
        else
            return std::nullopt;
        n = n << 4 | d;
    }
    return n;
}

bool FindYEncHeader(std::string_view body, TYEncBlock& block, std::size_t& dataStart);

struct Buffer {
    std::unique_ptr<std::uint8_t[]> bytes;
    bool Allocate(std::size_t size) {
        bytes.reset(new (std::nothrow) std::uint8_t[size == 0 ? 1 : size]);
        return bytes != nullptr;
    }
};

class ArticleDecoder {
public:
    ArticleDecoder(IArticleSink& sink, std::string_view group, std::string_view messageId,
                   std::uint64_t jobId, const TArticleJobInfo* job)
        : m_sink(sink), m_group(group), m_messageId(messageId), m_jobId(jobId), m_job(job) {}

    bool Run(std::string& work, std::string_view article);

private:
    bool HandOff(std::string fileName, const std::uint8_t* data, std::size_t length,
                 const TYEncDecoded* checked = nullptr, const TYEncBlock* place = nullptr) {
        if (length > std::numeric_limits<std::uint32_t>::max()) return false;
        DecodedSegment segment;
        segment.length = static_cast<std::uint32_t>(length);
        segment.fileName = std::move(fileName);
        segment.data = data;
        segment.jobId = m_jobId;
        if (checked != nullptr) {
            segment.trailerChecked = checked->trailerChecked;
            segment.sizeMatches = checked->sizeMatches;
            segment.crcMatches = checked->crcMatches;
        }
        if (place != nullptr) {
            segment.fileSize = place->fileSize;
            if (place->multipart && place->partBegin >= 1 && place->partEnd >= place->partBegin &&
                place->partEnd - place->partBegin + 1 == length) {
                segment.hasFileOffset = true;
                segment.fileOffset = place->partBegin - 1;
            } else if (!place->multipart && place->fileSize == length) {
                segment.hasFileOffset = true;
            }
        }
        return m_sink.OnSegmentData(m_group, m_messageId, segment);
    }
    bool TextHandOff(std::string_view body) {
        return m_sink.OnTextArticle(m_group, m_messageId, Cp1252ToUtf8(body), m_jobId);
    }
    bool Multipart(std::string_view article, std::size_t bodyStart, std::string_view delimiter);
    std::optional<bool> YEnc(std::string_view body);
    std::optional<bool> UUBlock(std::string_view body);
    std::optional<bool> UUContinuation(std::string_view body);
    bool DecodeUUAndHandOff(std::string fileName, std::string_view data);

    IArticleSink& m_sink;
    std::string_view m_group;
    std::string_view m_messageId;
    std::uint64_t m_jobId;
    const TArticleJobInfo* m_job;
};

bool ArticleDecoder::Run(std::string& work, std::string_view article) {
    const std::size_t headerEnd = article.find(kEmptyLine);
    if (headerEnd == npos) return false;
    const std::string_view headers = article.substr(0, headerEnd + 2);
    if (!HeaderValue(headers, "Subject")) return false;

    work.clear();
    if (const auto contentType = HeaderValue(headers, "Content-Type")) {
        const std::string_view boundary = BoundaryOf(*contentType);
        if (!boundary.empty()) work.append("--").append(boundary);
    }

    const std::size_t bodyStart = headerEnd + kEmptyLine.size();
    const std::string_view body = article.substr(bodyStart);
    if (body.empty()) return TextHandOff(body);
    if (!work.empty()) return Multipart(article, bodyStart, work);
    if (body.find("=ybegin ") != npos) {
        if (const auto handled = YEnc(body)) return *handled;
    }
    if (body.find("begin ") != npos) {
        if (const auto handled = UUBlock(body)) return *handled;
    }
    if (const auto handled = UUContinuation(body)) return *handled;
    return TextHandOff(body);
}

bool ArticleDecoder::Multipart(std::string_view article, std::size_t bodyStart, std::string_view delimiter) {
    const std::string_view body = article.substr(bodyStart);
    int handed = 0;
    std::size_t cursor = bodyStart;
    for (;;) {
        const std::size_t at = article.find(delimiter, cursor);
        if (at == npos) return TextHandOff(body);
        const std::size_t afterDelimiter = at + delimiter.size();
        if (article.substr(afterDelimiter, 2) == "--") return handed > 0 ? true : TextHandOff(body);
        const std::size_t headerEnd = article.find(kEmptyLine, afterDelimiter);
        if (headerEnd == npos) return TextHandOff(body);
        const std::string_view partHeader = article.substr(afterDelimiter, headerEnd + 2 - afterDelimiter);
        const std::size_t partBody = headerEnd + kEmptyLine.size();
        cursor = partBody;

        const auto encoding = HeaderValue(partHeader, "Content-Transfer-Encoding");
        if (!encoding || !StartsWithNoCase(*encoding, "base64")) continue;
        const std::size_t nameAt = partHeader.find("name=");
        if (nameAt == npos) continue;
        std::string_view rawName = partHeader.substr(nameAt + 5);
        std::size_t skip = 0;
        while (skip < rawName.size() && IsBlank(rawName[skip]))
            ++skip;
        rawName = rawName.substr(skip);
        rawName = rawName.substr(0, rawName.find_first_of("\r\n;"));
        if (rawName.size() < 2) continue;
        if (rawName.front() == '"' && rawName.back() == '"') rawName = rawName.substr(1, rawName.size() - 2);
        std::string name(rawName);
        unsigned codePage = kCodePageWindows1252;
        name = DecodeEncodedWord(name, codePage) ? CodePageToUtf8(name, codePage) : Cp1252ToUtf8(name);

        const std::size_t next = article.find(delimiter, partBody);
        if (next == npos) return TextHandOff(body);
        std::string_view data = article.substr(partBody, next - partBody);
        data = Trim(data);
        Buffer out;
        if (!out.Allocate(data.size() / 4 * 3)) return false;
        const std::size_t n = DecodeBase64(data.data(), data.size(), out.bytes.get());
        if (!HandOff(std::move(name), out.bytes.get(), n)) return false;
        ++handed;
        cursor = next;
    }
}

std::optional<bool> ArticleDecoder::YEnc(std::string_view body) {
    // The header first, so that a body without a yEnc header costs no buffer.
    TYEncBlock block;
    std::size_t dataStart = 0;
    if (!FindYEncHeader(body, block, dataStart)) return std::nullopt;
    // Each connection's thread keeps its output buffer for the next article: a fresh buffer per
    // article would be fresh pages, faulted in one by one while decoding. Articles beyond the
    // limit get a buffer of their own, so one huge article does not stay in memory.
    constexpr std::size_t kKeptBufferLimit = 8u << 20;
    thread_local Buffer kept;
    thread_local std::size_t keptSize = 0;
    Buffer own;
    std::uint8_t* output;
    const std::size_t need = body.size() + 1;
    if (need <= kKeptBufferLimit) {
        if (keptSize < need) {
            keptSize = 0;
            if (!kept.Allocate(std::max<std::size_t>(need, 1u << 20))) return false;
            keptSize = std::max<std::size_t>(need, 1u << 20);
        }
        output = kept.bytes.get();
    } else {
        if (!own.Allocate(need)) return false;
        output = own.bytes.get();
    }
    TYEncDecoded decoded;
    if (!DecodeYEncBody(body, block, output, decoded)) return std::nullopt;
    // Nothing decoded (for example an "=" closing a line): nothing to hand on, the article counts as
    // handled.
    if (decoded.length == 0) return true;
    return HandOff(std::move(block.fileName), output, decoded.length, &decoded, &block);
}

std::optional<bool> ArticleDecoder::UUBlock(std::string_view body) {
    const std::size_t begin = body.find("begin ");
    std::size_t p = begin + 6;
    std::size_t digits = 0;
    while (p + digits < body.size() && body[p + digits] >= '0' && body[p + digits] <= '9')
        ++digits;
    if (digits < 3 || digits > 4) return std::nullopt;
    p += digits;
    while (p < body.size() && IsBlank(body[p]))
        ++p;
    const std::size_t lineEnd = body.find_first_of("\r\n", p);
    std::string_view name = body.substr(p, (lineEnd == npos ? body.size() : lineEnd) - p);
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
    if (name.empty()) return std::nullopt;

    const std::size_t crlf = body.find(kCrlf, p);
    const std::size_t dataStart = crlf == npos ? body.size() : crlf + 2;
    std::size_t dataEnd = FindUUEnd(body, dataStart);
    if (dataEnd == npos) {
        // Only an article that is not the last of its file may lack the end mark.
        if (m_job == nullptr || m_job->articleCount < 2 || m_job->number >= m_job->articleCount)
            return std::nullopt;
        dataEnd = body.size();
    }
    return DecodeUUAndHandOff(Cp1252ToUtf8(name), body.substr(dataStart, dataEnd - dataStart));
}

std::optional<bool> ArticleDecoder::UUContinuation(std::string_view body) {
    if (m_job == nullptr || !m_job->articleValid || m_job->number <= 1) return std::nullopt;
    const std::string_view text = TrimLeft(body);
    const std::size_t end = FindUUEnd(text, 0);
    return DecodeUUAndHandOff(std::string(), end == npos ? text : text.substr(0, end));
}

bool ArticleDecoder::DecodeUUAndHandOff(std::string fileName, std::string_view data) {
    Buffer out;
    if (!out.Allocate(data.size())) return false;
    const std::size_t n = DecodeUU(data.data(), data.size(), out.bytes.get());
    return HandOff(std::move(fileName), out.bytes.get(), n);
}

}  // namespace

namespace {

// The header part of FindYEncBlock: the file name, whether the posting has parts, and where the
// data starts.
bool FindYEncHeader(std::string_view body, TYEncBlock& block, std::size_t& dataStart) {
    const std::size_t begin = body.find("=ybegin ");
    if (begin == npos) return false;
    const std::size_t nameAt = body.find("name=", begin);
    if (nameAt == npos) return false;
    const std::size_t nameStart = nameAt + 5;
    const std::size_t nameEnd = body.find(kCrlf, nameStart);
    const std::string_view name =
        Trim(body.substr(nameStart, (nameEnd == npos ? body.size() : nameEnd) - nameStart), " \t\r\n\"");

    auto number = [](std::string_view line, std::string_view key) -> std::uint64_t {
        const auto v = YEncParameter(line, key);
        const auto n = v ? ParseDecimal(*v) : std::nullopt;
        return n ? *n : 0;
    };
    std::size_t line = NextYEncLine(body, nameStart);
    while (line < body.size()) {
        const std::size_t next = NextYEncLine(body, line);
        const std::string_view text = body.substr(line, next - line);
        if (text.find("=ypart") == npos) break;
        block.partBegin = number(text, " begin=");
        block.partEnd = number(text, " end=");
        line = next;
    }
    block.fileName = Cp1252ToUtf8(name);
    const std::size_t beginLineEnd = body.find(kCrlf, begin);
    const std::string_view beginLine = body.substr(begin, beginLineEnd == npos ? npos : beginLineEnd - begin);
    block.multipart = YEncParameter(beginLine, " part=").has_value();
    block.fileSize = number(beginLine, " size=");
    dataStart = line;
    return true;
}

void SetYEncData(std::string_view body, std::size_t start, std::size_t end, TYEncBlock& block) {
    block.data = body.substr(start, end - start);
    const std::size_t trailerEnd = body.find(kCrlf, end);
    block.trailer = body.substr(end, (trailerEnd == npos ? body.size() : trailerEnd) - end);
}

void CompareTrailer(const TYEncBlock& block, TYEncDecoded& result) {
    if (const auto size = YEncParameter(block.trailer, " size=")) {
        if (const auto value = ParseDecimal(*size)) {
            result.trailerChecked = true;
            result.sizeMatches = *value == result.length;
        }
    }
    // crc32= is the CRC of the whole file; it describes this article's data only when the posting
    // has a single part.
    std::optional<std::string_view> crc = YEncParameter(block.trailer, " pcrc32=");
    if (!crc && !block.multipart) crc = YEncParameter(block.trailer, " crc32=");
    if (crc) {
        if (const auto value = ParseHex32(*crc)) {
            result.trailerChecked = true;
            result.crcMatches = *value == result.crc32;
        }
    }
}

}  // namespace

bool FindYEncBlock(std::string_view body, TYEncBlock& block) {
    std::size_t start = 0;
    if (!FindYEncHeader(body, block, start)) return false;
    const std::size_t end = start + FindYEncEnd(body.data() + start, body.size() - start);
    if (end == body.size()) return false;
    SetYEncData(body, start, end, block);
    return true;
}

TYEncDecoded DecodeYEncBlock(const TYEncBlock& block, std::uint8_t* output) {
    TYEncDecoded result;
    YEncDecoder decoder;
    std::size_t n = decoder.Feed(block.data.data(), block.data.size(), output);
    n += decoder.Finish(output + n);
    if (decoder.Failed() || n == 0) return result;
    result.length = n;
    result.crc32 = decoder.Crc32();
    CompareTrailer(block, result);
    return result;
}

bool DecodeYEncBody(std::string_view body, TYEncBlock& block, std::uint8_t* output, TYEncDecoded& result) {
    std::size_t start = 0;
    if (!FindYEncHeader(body, block, start)) return false;
    YEncDecoder decoder;
    std::size_t consumed = 0;
    std::size_t o = decoder.FeedToEnd(body.data() + start, body.size() - start, output, consumed);
    const std::size_t end = start + consumed;
    if (end == body.size()) return false;
    o += decoder.Finish(output + o);
    SetYEncData(body, start, end, block);
    result = TYEncDecoded{};
    if (decoder.Failed() || o == 0) return true;
    result.length = o;
    result.crc32 = decoder.Crc32();
    CompareTrailer(block, result);
    return true;
}

bool DecodeArticle(IArticleSink& sink, std::string& work, std::string_view group, std::string_view article,
                   std::string_view messageId, std::uint64_t jobId, const TArticleJobInfo* job) {
    try {
        ArticleDecoder decoder(sink, group, messageId, jobId, job);
        return decoder.Run(work, article);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace quivern
