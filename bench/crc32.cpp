// CRC-32 throughput.
//
//   crc32 [FILE]
//
// FILE is read into memory first (not timed); without FILE a 128 MiB buffer of random bytes is
// used. Prints crc32= and last crc32_GBps= (best of several rounds). When the build found ISA-L,
// its crc32_gzip_refl runs on the same buffer in the same run (isal_crc32=, isal_crc32_GBps=,
// ours_to_isal=), as does a pass over 16 KiB pieces that stay in the cache (crc32_cached_GBps=,
// the case of a CRC kept while decoding).

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <random>
#include <string>

#include "nntp/decode/crc32.h"
#include "platform/paths.h"

#if QUIVERN_BENCH_ISAL
#include <isa-l/crc.h>
#endif

int main(int argc, char** argv) {
    std::string data;
    if (argc > 1) {
        if (!quivern::ReadWholeFile(argv[1], data)) {
            std::fprintf(stderr, "cannot read %s\n", argv[1]);
            return 1;
        }
    } else {
        data.resize(128u << 20);
        std::mt19937_64 rng(1);
        for (std::size_t i = 0; i + 8 <= data.size(); i += 8) {
            const std::uint64_t v = rng();
            data.replace(i, 8, reinterpret_cast<const char*>(&v), 8);
        }
    }

    // Best of several rounds, in GB/s of `bytes`.
    auto measure = [](std::size_t bytes, auto&& run) {
        double best = 1e300;
        double total = 0;
        for (int round = 0; round < 50 && (round < 3 || total < 2.0); ++round) {
            const auto start = std::chrono::steady_clock::now();
            run();
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            total += seconds;
            if (seconds < best) best = seconds;
        }
        return static_cast<double>(bytes) / best / 1e9;
    };

    std::uint32_t crc = 0;
    const double ours = measure(data.size(), [&] { crc = quivern::Crc32(data.data(), data.size()); });

    // 16 KiB pieces, each checksummed 64 times while it is in the cache.
    constexpr std::size_t kPiece = 16 * 1024;
    const std::size_t pieces = data.size() / kPiece < 64 ? data.size() / kPiece : 64;
    std::uint32_t sink = 0;
    const double cached = measure(pieces * kPiece * 64, [&] {
        for (std::size_t i = 0; i < pieces; ++i)
            for (int k = 0; k < 64; ++k)
                sink ^= quivern::Crc32(data.data() + i * kPiece, kPiece);
    });

    std::printf("bytes=%zu\n", data.size());
    std::printf("impl=%d\n", static_cast<int>(quivern::Crc32ActiveImpl()));
    if (pieces > 0) std::printf("crc32_cached_GBps=%.2f\n", cached);
    if (sink == 0x12345678u) std::printf("\n");  // keeps the cached rounds from being dropped
#if QUIVERN_BENCH_ISAL
    std::uint32_t isal = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    const double theirs = measure(data.size(), [&] { isal = crc32_gzip_refl(0, bytes, data.size()); });
    double theirsCached = 0;
    if (pieces > 0)
        theirsCached = measure(pieces * kPiece * 64, [&] {
            for (std::size_t i = 0; i < pieces; ++i)
                for (int k = 0; k < 64; ++k)
                    sink ^= crc32_gzip_refl(0, bytes + i * kPiece, kPiece);
        });
    std::printf("isal_crc32=%08" PRIx32 "\n", isal);
    std::printf("isal_crc32_cached_GBps=%.2f\n", theirsCached);
    std::printf("isal_crc32_GBps=%.2f\n", theirs);
    std::printf("ours_to_isal=%.3f\n", ours / theirs);
#endif
    std::printf("crc32=%08" PRIx32 "\n", crc);
    std::printf("crc32_GBps=%.2f\n", ours);
    return 0;
}
