#pragma once
// Shared pieces of the decoder tests: a sink that records every hand-off and helpers that turn
// sample files into article text as the connection delivers it.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "nntp/decode/article_decoder.h"

namespace quivern::test {

struct RecordedSegment {
    std::string group;
    std::string messageId;
    std::string fileName;
    std::string data;
    std::uint32_t length = 0;
    std::uint64_t jobId = 0;
    bool trailerChecked = false;
    bool sizeMatches = true;
    bool crcMatches = true;
    bool hasFileOffset = false;
    std::uint64_t fileOffset = 0;
    std::uint64_t fileSize = 0;
};

class RecordingSink : public IArticleSink {
public:
    bool OnSegmentData(std::string_view group, std::string_view messageId, const DecodedSegment& s) override {
        RecordedSegment r{std::string(group), std::string(messageId),
                          s.fileName,         std::string(reinterpret_cast<const char*>(s.data), s.length),
                          s.length,           s.jobId,
                          s.trailerChecked,   s.sizeMatches,
                          s.crcMatches,       s.hasFileOffset,
                          s.fileOffset,       s.fileSize};
        segments.push_back(std::move(r));
        return acceptSegments-- > 0;
    }
    bool OnTextArticle(std::string_view, std::string_view, std::string_view text,
                       std::uint64_t jobId) override {
        texts.emplace_back(text);
        textJobIds.push_back(jobId);
        return acceptText;
    }

    std::vector<RecordedSegment> segments;
    std::vector<std::string> texts;
    std::vector<std::uint64_t> textJobIds;
    int acceptSegments = 1000;  // hand-offs answered with true before the sink starts refusing
    bool acceptText = true;
};

// Bare LF line ends become CRLF, as a news server sends them.
inline std::string ToCrlf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out.push_back('\r');
        out.push_back(text[i]);
    }
    return out;
}

// Article text as the connection hands it to the decoder: starting with the CRLF of the status line.
inline std::string Article(std::string_view headersAndBody) {
    return "\r\n" + std::string(headersAndBody);
}

// A body-only server reply (optional greeting and status lines, body, terminating dot line) made
// into an article with a Subject: the body runs up to the CRLF before the dot line.
inline std::string ArticleFromBodyReply(std::string_view reply) {
    std::string_view body = reply;
    const std::size_t status = reply.starts_with("222 ") ? 0 : reply.find("\r\n222 ");
    if (status != std::string_view::npos) body = reply.substr(reply.find("\r\n", status + 1) + 2);
    const std::size_t dotLine = body.find("\r\n.\r\n");
    if (dotLine != std::string_view::npos) body = body.substr(0, dotLine + 2);
    return "\r\nSubject: sample\r\n\r\n" + std::string(body);
}

}  // namespace quivern::test
