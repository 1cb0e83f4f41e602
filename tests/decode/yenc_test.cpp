#include "nntp/decode/yenc.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "nntp/decode/crc32.h"

namespace quivern {
namespace {

const YEncImpl kAllImpls[] = {YEncImpl::kScalar, YEncImpl::kSse2, YEncImpl::kAvx2, YEncImpl::kAvx512};

// Decodes into a buffer of exactly text.size() bytes, so a write past the promised room shows
// up under AddressSanitizer. nullopt stands for a failed decoding (0 bytes).
std::optional<std::vector<std::uint8_t>> Decode(YEncImpl impl, const std::string& text) {
    auto out = std::make_unique<std::uint8_t[]>(text.size() + (text.empty() ? 1 : 0));
    const std::size_t n = DecodeYEncWith(impl, text.data(), text.size(), out.get());
    if (n == 0) return std::nullopt;
    return std::vector<std::uint8_t>(out.get(), out.get() + n);
}

std::uint8_t P(char c) {
    return static_cast<std::uint8_t>(static_cast<unsigned char>(c) - 42);
}
std::uint8_t E(char c) {
    return static_cast<std::uint8_t>(static_cast<unsigned char>(c) - 106);
}

TEST(DecodeYEnc, EdgeCasesForEveryImplementation) {
    struct Case {
        const char* what;
        std::string text;
        std::optional<std::vector<std::uint8_t>> expected;
    };
    const std::string longLine(3000, 'k');
    const Case cases[] = {
        {"empty text fails", "", std::nullopt},
        {"plain characters", "kl", std::vector<std::uint8_t>{0x41, 0x42}},
        {"escape takes the next character minus 64", "k=}l", std::vector<std::uint8_t>{0x41, E('}'), 0x42}},
        {"escaped equals sign", "==", std::vector<std::uint8_t>{E('=')}},
        {"values wrap modulo 256", std::string("\x01\x29", 2), std::vector<std::uint8_t>{0xD7, 0xFF}},
        {"CRLF, LF and CR all end lines", "k\r\nl\nm\rn", std::vector<std::uint8_t>{0x41, 0x42, 0x43, 0x44}},
        {"dot-stuffed line loses one dot", "k\r\n..k", std::vector<std::uint8_t>{0x41, P('.'), 0x41}},
        {"dot-stuffing at the very start", "..k", std::vector<std::uint8_t>{P('.'), 0x41}},
        {"single leading dot is data", ".k", std::vector<std::uint8_t>{P('.'), 0x41}},
        {"three dots become two", "...", std::vector<std::uint8_t>{P('.'), P('.')}},
        {"dots inside a line stay", "k..k", std::vector<std::uint8_t>{0x41, P('.'), P('.'), 0x41}},
        {"escaped dot at line start", "=n.", std::vector<std::uint8_t>{E('n'), P('.')}},
        {"equals at the end of a line fails the whole text", "kk=\r\nkk", std::nullopt},
        {"equals at the end of the text fails", "kk=", std::nullopt},
        {"equals before a bare LF fails", "kk=\nkk", std::nullopt},
        {"only line breaks decode to nothing", "\r\n\r\n", std::nullopt},
        {"lines longer than 1024 characters decode whole", longLine,
         std::vector<std::uint8_t>(longLine.size(), 0x41)},
    };
    for (const YEncImpl impl : kAllImpls) {
        if (!YEncImplAvailable(impl)) continue;
        for (const auto& c : cases)
            EXPECT_EQ(Decode(impl, c.text), c.expected)
                << c.what << " (impl " << static_cast<int>(impl) << ")";
    }
}

// Encodes like a posting program: critical characters escaped, blanks escaped at line edges, a
// leading dot left alone and then doubled by NNTP dot-stuffing.
std::string Encode(const std::vector<std::uint8_t>& data, std::size_t lineLength) {
    std::string out;
    std::string line;
    auto flush = [&] {
        if (!line.empty() && line[0] == '.') out.push_back('.');
        out += line;
        out += "\r\n";
        line.clear();
    };
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto v = static_cast<char>(data[i] + 42);
        const bool edge = line.empty() || line.size() + 1 >= lineLength || i + 1 == data.size();
        if (v == '\0' || v == '\n' || v == '\r' || v == '=' || (edge && (v == ' ' || v == '\t'))) {
            line.push_back('=');
            line.push_back(static_cast<char>(v + 64));
        } else {
            line.push_back(v);
        }
        if (line.size() >= lineLength) flush();
    }
    if (!line.empty()) flush();
    return out;
}

TEST(DecodeYEnc, RoundTripsEncodedDataWithDotStuffing) {
    std::mt19937 rng(99);
    for (const std::size_t size : {1u, 127u, 128u, 4095u, 100000u}) {
        std::vector<std::uint8_t> data(size);
        for (auto& b : data)
            b = static_cast<std::uint8_t>(rng());
        // Bytes that encode to '.' so that many lines start with a dot.
        for (std::size_t i = 0; i < size; i += 128)
            data[i] = static_cast<std::uint8_t>('.' - 42);
        const std::string text = Encode(data, 128);
        for (const YEncImpl impl : kAllImpls) {
            if (YEncImplAvailable(impl)) {
                EXPECT_EQ(Decode(impl, text), data) << "size " << size << " impl " << static_cast<int>(impl);
            }
        }
    }
}

TEST(DecodeYEnc, VectorImplementationsMatchScalarOnRandomText) {
    std::mt19937 rng(2024);
    // Mostly the characters that matter, so runs, escapes, breaks and dots meet at every offset.
    const std::string alphabet = "==\r\r\n\n....kkkkkkkkkkkk \t";
    int compared = 0;
    for (int round = 0; round < 4000; ++round) {
        const std::size_t length = round < 3500 ? rng() % 200 : rng() % 5000;
        std::string text(length, '\0');
        const bool binary = round % 3 == 0;
        for (auto& c : text)
            c = binary ? static_cast<char>(rng()) : alphabet[rng() % alphabet.size()];
        const auto expected = Decode(YEncImpl::kScalar, text);
        for (const YEncImpl impl : {YEncImpl::kSse2, YEncImpl::kAvx2, YEncImpl::kAvx512}) {
            if (!YEncImplAvailable(impl)) continue;
            ASSERT_EQ(Decode(impl, text), expected)
                << "impl " << static_cast<int>(impl) << " round " << round;
            ++compared;
        }
    }
    if (YEncImplAvailable(YEncImpl::kSse2)) {
        EXPECT_GT(compared, 0);
    }
}

// Feeds `text` to a YEncDecoder in the given pieces, each into a buffer of exactly the promised
// length + 1 bytes, and checks the running size and CRC against what came out.
std::optional<std::vector<std::uint8_t>> DecodeInPieces(YEncImpl impl, const std::string& text,
                                                        const std::vector<std::size_t>& pieces) {
    YEncDecoder decoder(impl);
    std::vector<std::uint8_t> out;
    std::size_t at = 0;
    for (const std::size_t n : pieces) {
        auto buffer = std::make_unique<std::uint8_t[]>(n + 1);
        const std::size_t wrote = decoder.Feed(text.data() + at, n, buffer.get());
        out.insert(out.end(), buffer.get(), buffer.get() + wrote);
        at += n;
    }
    std::uint8_t last[1];
    if (decoder.Finish(last) == 1) out.push_back(last[0]);
    if (decoder.Failed() || out.empty()) return std::nullopt;
    EXPECT_EQ(decoder.Size(), out.size());
    EXPECT_EQ(decoder.Crc32(), Crc32(out.data(), out.size()));
    return out;
}

TEST(YEncDecoder, PiecesCutAnywhereDecodeLikeTheWholeText) {
    // Every cut of texts where the cut can fall between "=" and its character, CR and LF, the two
    // dots of a stuffed line, or inside a vector.
    const std::string texts[] = {
        "k\r\n..kl=}m\r\n.k\r\n...\r\n=n.\n\r..",
        "kk=\r\nkk",
        "..\r\n..\r\n==\r\n.",
        std::string(150, 'k') + "\r\n.." + std::string(100, 'm') + "=}" + std::string(70, '.') + "\r\n",
        "k=",
    };
    for (const auto& text : texts) {
        const auto expected = Decode(YEncImpl::kScalar, text);
        for (const YEncImpl impl : kAllImpls) {
            if (!YEncImplAvailable(impl)) continue;
            for (std::size_t cut = 0; cut <= text.size(); ++cut) {
                ASSERT_EQ(DecodeInPieces(impl, text, {cut, text.size() - cut}), expected)
                    << "impl " << static_cast<int>(impl) << " cut " << cut << " text " << text.substr(0, 20);
            }
            std::vector<std::size_t> ones(text.size(), 1);
            EXPECT_EQ(DecodeInPieces(impl, text, ones), expected) << "one byte at a time";
        }
    }
    // Larger than the decoder's checksum slices, in uneven pieces.
    std::mt19937 rng(5);
    std::vector<std::uint8_t> data(200000);
    for (auto& b : data)
        b = static_cast<std::uint8_t>(rng());
    const std::string big = Encode(data, 128);
    for (const YEncImpl impl : kAllImpls) {
        if (!YEncImplAvailable(impl)) continue;
        std::vector<std::size_t> pieces;
        for (std::size_t left = big.size(); left > 0;) {
            const std::size_t n = std::min<std::size_t>(left, 1 + rng() % 40000);
            pieces.push_back(n);
            left -= n;
        }
        EXPECT_EQ(DecodeInPieces(impl, big, pieces), data) << "impl " << static_cast<int>(impl);
    }
}

TEST(YEncDecoder, FeedToEndStopsAtTheFirstMarker) {
    // Expected: the text up to the first "=yend" decoded on its own.
    std::mt19937 rng(77);
    const std::string alphabet = "==\r\n..kkkkkkkkkkkkkkkkkkkkyyyyend";
    std::vector<std::string> texts;
    for (const std::size_t at : {0u, 1u, 62u, 63u, 64u, 65u, 127u, 128u, 16383u, 16384u, 16385u, 20000u}) {
        std::string text(at, 'k');
        for (std::size_t i = 100; i < text.size(); i += 128)
            text.replace(i, 2, "\r\n");
        texts.push_back(text + "=yend size=1\r\n");
        texts.push_back(text + "=yen");                        // cut off: no marker
        texts.push_back(text + "\r\n.=yend");                  // after a dot opening a line
        texts.push_back(text + "=\r\n=yend");                  // after a failed escape
        texts.push_back(text + "=y=yen=yend=yend");            // "=y" pairs that are no marker
        texts.push_back(std::string(at % 200, '=') + "yend");  // inside a run of "="
    }
    for (int round = 0; round < 300; ++round) {
        std::string text(rng() % 300, '\0');
        for (auto& c : text)
            c = alphabet[rng() % alphabet.size()];
        texts.push_back(text);
    }
    for (const auto& text : texts) {
        const std::size_t markerAt = std::min(text.find("=yend"), text.size());
        const auto expected = Decode(YEncImpl::kScalar, text.substr(0, markerAt));
        for (const YEncImpl impl : kAllImpls) {
            if (!YEncImplAvailable(impl)) continue;
            YEncDecoder decoder(impl);
            std::vector<std::uint8_t> out(text.size() + 1);
            std::size_t consumed = 0;
            std::size_t n = decoder.FeedToEnd(text.data(), text.size(), out.data(), consumed);
            n += decoder.Finish(out.data() + n);
            ASSERT_EQ(consumed, markerAt) << "impl " << static_cast<int>(impl) << " " << text.substr(0, 40);
            const auto got = decoder.Failed() || n == 0
                                 ? std::nullopt
                                 : std::optional(std::vector<std::uint8_t>(out.begin(), out.begin() + n));
            ASSERT_EQ(got, expected) << "impl " << static_cast<int>(impl) << " " << text.substr(0, 40);
            if (got) {
                EXPECT_EQ(decoder.Crc32(), Crc32(got->data(), got->size()));
            }
        }
    }
}

TEST(YEncDecoder, FindYEncEndFindsTheFirstMarkerAtAnyOffset) {
    for (std::size_t at : {0u, 1u, 31u, 32u, 59u, 60u, 63u, 64u, 65u, 127u, 1000u}) {
        std::string text(at, 'k');
        text += "=yend";
        text += std::string(70, 'k') + "=yend";
        EXPECT_EQ(FindYEncEnd(text.data(), text.size()), at);
        // A marker cut off by the end of the text is no marker.
        EXPECT_EQ(FindYEncEnd(text.data(), at + 4), at + 4);
    }
    const std::string near = std::string(40, '=') + "y=yen=yend";
    EXPECT_EQ(FindYEncEnd(near.data(), near.size()), near.size() - 5);
    EXPECT_EQ(FindYEncEnd("", 0), 0u);
}

}  // namespace
}  // namespace quivern
