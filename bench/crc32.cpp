// CRC-32 throughput.
//
//   crc32 [FILE]
//
// FILE is read into memory first (not timed); without FILE a 128 MiB buffer of random bytes is
// used. Prints crc32= and last crc32_GBps= (best of several rounds).

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <random>
#include <string>

#include "nntp/decode/crc32.h"

namespace {

bool ReadWholeFile(const char* path, std::string& out) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return false;
    char chunk[1 << 16];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        out.append(chunk, n);
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::string data;
    if (argc > 1) {
        if (!ReadWholeFile(argv[1], data)) {
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

    std::uint32_t crc = 0;
    double best = 1e300;
    double total = 0;
    for (int round = 0; round < 50 && (round < 3 || total < 2.0); ++round) {
        const auto start = std::chrono::steady_clock::now();
        crc = quivern::Crc32(data.data(), data.size());
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        total += seconds;
        if (seconds < best) best = seconds;
    }
    std::printf("bytes=%zu\n", data.size());
    std::printf("impl=%d\n", static_cast<int>(quivern::Crc32ActiveImpl()));
    std::printf("crc32=%08" PRIx32 "\n", crc);
    std::printf("crc32_GBps=%.2f\n", static_cast<double>(data.size()) / best / 1e9);
    return 0;
}
