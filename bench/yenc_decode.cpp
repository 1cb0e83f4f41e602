// yEnc article decoding throughput.
//
//   yenc_decode [FILE]
//   yenc_decode --save-corpus FILE
//
// FILE holds article bodies back to back as a server sends them after the status line, each
// ending in CRLF.CRLF; without FILE a corpus of realistic articles is generated (128-character
// lines, escapes, dot-stuffing); --save-corpus writes that corpus to FILE and exits.
//
// Each article goes through what the engine does with it: the yEnc block is found, decoded with
// the CRC-32 kept on the way, and its trailer's size and CRC compared. Prints articles=,
// decoded_bytes=, decoded_crc32= (of all decoded bytes), trailer_mismatches=, memcpy_MBps= (one
// thread copying the same number of bytes, same buffers), decode_to_memcpy= and last
// yenc_decode_MBps= (encoded input bytes per second, best of several rounds).

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "nntp/decode/article_decoder.h"
#include "nntp/decode/crc32.h"
#include "nntp/decode/yenc.h"
#include "platform/paths.h"

namespace {

std::string EncodeLines(const std::vector<std::uint8_t>& data) {
    constexpr std::size_t kLine = 128;
    std::string out;
    out.reserve(data.size() + data.size() / 16);
    std::string line;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto v = static_cast<char>(data[i] + 42);
        const bool edge = line.empty() || line.size() + 1 >= kLine || i + 1 == data.size();
        if (v == '\0' || v == '\n' || v == '\r' || v == '=' || (edge && (v == ' ' || v == '\t'))) {
            line.push_back('=');
            line.push_back(static_cast<char>(v + 64));
        } else {
            line.push_back(v);
        }
        if (line.size() >= kLine || i + 1 == data.size()) {
            if (line[0] == '.') out.push_back('.');  // NNTP dot-stuffing
            out += line;
            out += "\r\n";
            line.clear();
        }
    }
    return out;
}

std::string GenerateCorpus() {
    constexpr int kArticles = 64;
    constexpr std::size_t kPartSize = 768000;
    std::mt19937_64 rng(42);
    std::string corpus;
    for (int part = 1; part <= kArticles; ++part) {
        std::vector<std::uint8_t> data(kPartSize);
        for (auto& b : data)
            b = static_cast<std::uint8_t>(rng());
        const std::uint32_t crc = quivern::Crc32(data.data(), data.size());
        const std::size_t begin = static_cast<std::size_t>(part - 1) * kPartSize + 1;
        char head[256];
        std::snprintf(
            head, sizeof head,
            "=ybegin part=%d total=%d line=128 size=%zu name=bench.bin\r\n=ypart begin=%zu end=%zu\r\n", part,
            kArticles, kPartSize * kArticles, begin, begin + kPartSize - 1);
        char tail[128];
        std::snprintf(tail, sizeof tail, "=yend size=%zu part=%d pcrc32=%08" PRIx32 "\r\n.\r\n", kPartSize,
                      part, crc);
        corpus += head;
        corpus += EncodeLines(data);
        corpus += tail;
    }
    return corpus;
}

}  // namespace

int main(int argc, char** argv) {
    std::string input;
    if (argc > 2 && std::string_view(argv[1]) == "--save-corpus") {
        input = GenerateCorpus();
        std::FILE* f = std::fopen(argv[2], "wb");
        if (f == nullptr || std::fwrite(input.data(), 1, input.size(), f) != input.size() ||
            std::fclose(f) != 0) {
            std::fprintf(stderr, "cannot write %s\n", argv[2]);
            return 1;
        }
        return 0;
    }
    if (argc > 1) {
        if (!quivern::ReadWholeFile(argv[1], input)) {
            std::fprintf(stderr, "cannot read %s\n", argv[1]);
            return 1;
        }
    } else {
        input = GenerateCorpus();
    }

    // Each body runs up to and including the CRLF before its dot line.
    std::vector<std::string_view> bodies;
    const std::string_view all = input;
    for (std::size_t pos = 0; pos < all.size();) {
        const std::size_t end = all.find("\r\n.\r\n", pos);
        if (end == std::string_view::npos) break;
        bodies.push_back(all.substr(pos, end + 2 - pos));
        pos = end + 5;
    }

    std::vector<std::uint8_t> output(input.size() + 1);
    std::size_t decoded = 0;
    std::size_t mismatches = 0;
    double best = 1e300;
    double total = 0;
    for (int round = 0; round < 20 && (round < 3 || total < 2.0); ++round) {
        const auto start = std::chrono::steady_clock::now();
        std::size_t o = 0;
        std::size_t bad = 0;
        for (const std::string_view body : bodies) {
            quivern::TYEncBlock block;
            quivern::TYEncDecoded r;
            if (!quivern::DecodeYEncBody(body, block, output.data() + o, r)) continue;
            o += r.length;
            if (!r.trailerChecked || !r.sizeMatches || !r.crcMatches) ++bad;
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        total += seconds;
        if (seconds < best) best = seconds;
        decoded = o;
        mismatches = bad;
    }
    const std::uint32_t crc = quivern::Crc32(output.data(), decoded);

    // The same amount of input copied between the same buffers, for the bandwidth a single thread
    // gets at all.
    double bestCopy = 1e300;
    total = 0;
    for (int round = 0; round < 50 && (round < 3 || total < 1.0); ++round) {
        const auto start = std::chrono::steady_clock::now();
        std::memcpy(output.data(), input.data(), input.size());
        asm volatile("" : : "r"(output.data()) : "memory");
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        total += seconds;
        if (seconds < bestCopy) bestCopy = seconds;
    }
    const double decodeMBps = static_cast<double>(input.size()) / best / 1e6;
    const double copyMBps = static_cast<double>(input.size()) / bestCopy / 1e6;

    std::printf("articles=%zu\n", bodies.size());
    std::printf("encoded_bytes=%zu\n", input.size());
    std::printf("decoded_bytes=%zu\n", decoded);
    std::printf("decoded_crc32=%08" PRIx32 "\n", crc);
    std::printf("trailer_mismatches=%zu\n", mismatches);
    std::printf("impl=%d\n", static_cast<int>(quivern::YEncActiveImpl()));
    std::printf("crc_impl=%d\n", static_cast<int>(quivern::Crc32ActiveImpl()));
    std::printf("memcpy_MBps=%.1f\n", copyMBps);
    std::printf("decode_to_memcpy=%.3f\n", decodeMBps / copyMBps);
    std::printf("yenc_decode_MBps=%.1f\n", decodeMBps);
    return 0;
}
