// Feeds arbitrary article text to the decoder, and checks that the vector yEnc decoders give the
// same result as the scalar one, for the whole text and for the text cut into pieces.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "nntp/decode/article_decoder.h"
#include "nntp/decode/binary_codecs.h"
#include "nntp/decode/crc32.h"
#include "nntp/decode/yenc.h"

namespace {

class Sink final : public quivern::IArticleSink {
public:
    explicit Sink(bool accept) : m_accept(accept) {}
    bool OnSegmentData(std::string_view, std::string_view, const quivern::DecodedSegment& s) override {
        // Touch every byte so that a bad pointer or length shows up under AddressSanitizer.
        for (std::uint32_t i = 0; i < s.length; ++i)
            m_sum += s.data[i];
        m_sum += s.fileName.size();
        // A place in the file is only ever given for a range of exactly the decoded length.
        if (s.hasFileOffset && (s.length == 0 || s.fileOffset > UINT64_MAX - s.length)) std::abort();
        return m_accept;
    }
    bool OnTextArticle(std::string_view, std::string_view, std::string_view text, std::uint64_t) override {
        m_sum += text.size();
        return m_accept;
    }
    std::size_t m_sum = 0;

private:
    bool m_accept;
};

// Decodes in pieces whose lengths come from a generator seeded by the input, each into a buffer
// of exactly the promised length + 1 bytes, and checks the running CRC and size on the way.
std::size_t DecodeInPieces(quivern::YEncImpl impl, const char* text, std::size_t size, std::uint8_t* out,
                           std::uint32_t seed) {
    quivern::YEncDecoder decoder(impl);
    std::size_t o = 0;
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::size_t at = 0; at < size;) {
        state = state * 1103515245u + 12345u;
        const std::uint32_t r = state >> 16;
        // Mostly short pieces (cuts between "=" and its character, CR and LF, two dots), some long
        // ones so that the vector kernels run across piece ends.
        std::size_t n = (r & 3) != 0 ? 1 + r % 5 : 1 + r % 300;
        if (n > size - at) n = size - at;
        auto piece = std::make_unique<std::uint8_t[]>(n + 1);
        const std::size_t wrote = decoder.Feed(text + at, n, piece.get());
        std::memcpy(out + o, piece.get(), wrote);
        o += wrote;
        at += n;
    }
    std::uint8_t last[1];
    const std::size_t wrote = decoder.Finish(last);
    if (wrote == 1) out[o++] = last[0];
    if (decoder.Failed()) return 0;
    if (decoder.Size() != o || decoder.Crc32() != quivern::Crc32(out, o)) std::abort();
    return o;
}

void CompareYEnc(const char* text, std::size_t size) {
    // Exactly `size` bytes of room, so a store past the promise is caught.
    auto expected = std::make_unique<std::uint8_t[]>(size + 1);
    auto got = std::make_unique<std::uint8_t[]>(size + 1);
    const std::size_t n = quivern::DecodeYEncWith(quivern::YEncImpl::kScalar, text, size, expected.get());
    for (const auto impl : {quivern::YEncImpl::kScalar, quivern::YEncImpl::kSse2, quivern::YEncImpl::kAvx2,
                            quivern::YEncImpl::kAvx512}) {
        if (!quivern::YEncImplAvailable(impl)) continue;
        if (impl != quivern::YEncImpl::kScalar) {
            auto exact = std::make_unique<std::uint8_t[]>(size);
            const std::size_t m = quivern::DecodeYEncWith(impl, text, size, exact.get());
            if (m != n || std::memcmp(expected.get(), exact.get(), n) != 0) std::abort();
        }
        const std::size_t m = DecodeInPieces(impl, text, size, got.get(), static_cast<std::uint32_t>(size));
        if (m != n || std::memcmp(expected.get(), got.get(), n) != 0) std::abort();
    }

    // Decoding up to the first "=yend": the text before it, decoded on its own.
    const std::size_t marker = std::min(std::string_view(text, size).find("=yend"), size);
    const std::size_t k = quivern::DecodeYEncWith(quivern::YEncImpl::kScalar, text, marker, expected.get());
    for (const auto impl : {quivern::YEncImpl::kScalar, quivern::YEncImpl::kSse2, quivern::YEncImpl::kAvx2,
                            quivern::YEncImpl::kAvx512}) {
        if (!quivern::YEncImplAvailable(impl)) continue;
        quivern::YEncDecoder decoder(impl);
        std::size_t consumed = 0;
        std::size_t m = decoder.FeedToEnd(text, size, got.get(), consumed);
        m += decoder.Finish(got.get() + m);
        if (decoder.Failed()) m = 0;
        if (consumed != marker || m != k || std::memcmp(expected.get(), got.get(), k) != 0) std::abort();
        if (m != 0 && decoder.Crc32() != quivern::Crc32(got.get(), m)) std::abort();
    }
}

// The one-pass search and decoding of a yEnc block against the search followed by the decoding.
void CompareBlockSearch(const std::string& body) {
    quivern::TYEncBlock found;
    quivern::TYEncBlock fused;
    auto expected = std::make_unique<std::uint8_t[]>(body.size() + 1);
    auto got = std::make_unique<std::uint8_t[]>(body.size() + 1);
    quivern::TYEncDecoded r;
    const bool haveFound = quivern::FindYEncBlock(body, found);
    const bool haveFused = quivern::DecodeYEncBody(body, fused, got.get(), r);
    if (haveFound != haveFused) std::abort();
    if (!haveFound) return;
    if (found.data != fused.data || found.trailer != fused.trailer || found.fileName != fused.fileName ||
        found.multipart != fused.multipart || found.fileSize != fused.fileSize ||
        found.partBegin != fused.partBegin || found.partEnd != fused.partEnd)
        std::abort();
    const quivern::TYEncDecoded e = quivern::DecodeYEncBlock(found, expected.get());
    if (e.length != r.length || e.crc32 != r.crc32 || e.trailerChecked != r.trailerChecked ||
        e.sizeMatches != r.sizeMatches || e.crcMatches != r.crcMatches ||
        std::memcmp(expected.get(), got.get(), e.length) != 0)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // First byte: job present, article valid, segment number, article count, sink answer.
    const std::uint8_t control = data[0];
    const std::string article(reinterpret_cast<const char*>(data + 1), size - 1);

    quivern::TArticleJobInfo job;
    job.articleValid = (control & 0x02) != 0;
    job.number = (control >> 2) & 0x07;
    job.articleCount = (control >> 5) & 0x07;
    Sink sink((control & 0x01) != 0);
    std::string work;
    quivern::DecodeArticle(sink, work, "alt.binaries.fuzz", article, "<fuzz@id>", 1,
                           (control & 0x80) != 0 ? &job : nullptr);

    CompareYEnc(article.data(), article.size());
    CompareBlockSearch(article);
    // Exact-size output buffers for the other decoders too.
    auto out = std::make_unique<std::uint8_t[]>(article.size() + 1);
    quivern::DecodeUU(article.data(), article.size(), out.get());
    std::unique_ptr<std::uint8_t[]> b64(new std::uint8_t[article.size() / 4 * 3 + 1]);
    quivern::DecodeBase64(article.data(), article.size(), b64.get());
    std::string word = article;
    unsigned codePage = 0;
    if (quivern::DecodeEncodedWord(word, codePage)) (void)quivern::CodePageToUtf8(word, codePage);
    return 0;
}
