// Opens a generated NZB file with 100,000 segments (about 20 MB) and prints how long it took.
// Usage: nzb_open [FILE] [--segments N]. With FILE, that file is opened instead.

#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "nzb/nzb_media.h"

namespace {

std::string Generate(int segments) {
    char tmpl[] = "/tmp/quivern-bench-XXXXXX";
    const int fd = ::mkstemp(tmpl);
    if (fd < 0) return {};
    ::close(fd);
    std::FILE* f = std::fopen(tmpl, "wb");
    std::fputs(
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<!DOCTYPE nzb PUBLIC \"-//newzBin//DTD NZB 1.1//EN\" "
        "\"http://www.newzbin.com/DTD/nzb/nzb-1.1.dtd\">\n"
        "<nzb xmlns=\"http://www.newzbin.com/DTD/2003/nzb\">\n<head><meta "
        "type=\"title\">bench</meta></head>\n",
        f);
    const int perFile = 100;
    for (int s = 0, file = 0; s < segments; ++file) {
        std::fprintf(f,
                     " <file poster=\"Poster &lt;poster@example.invalid&gt;\" date=\"1700000000\" "
                     "subject=\"[%d/%d] - &quot;big.posting.part%03d.rar&quot; yEnc (1/%d)\">\n"
                     "  <groups>\n   <group>alt.binaries.test</group>\n   <group>alt.binaries.misc</group>\n"
                     "  </groups>\n  <segments>\n",
                     file + 1, segments / perFile, file + 1, perFile);
        for (int k = 1; k <= perFile && s < segments; ++k, ++s) {
            std::fprintf(f,
                         "   <segment bytes=\"739%03d\" "
                         "number=\"%d\">part%dof%d.a1B2c3D4e5F6g7H8i9J0K1l2M3n4O5p6Q7r8S9t0U1v2W3x4Y5z6"
                         "A7b8C9d0E1f2G3h4I5j6K7l8M9n0%08d$%08d@news.example.invalid</segment>\n",
                         k, k, k, perFile, s, s * 7);
        }
        std::fputs("  </segments>\n </file>\n", f);
    }
    std::fputs("</nzb>\n", f);
    std::fclose(f);
    return tmpl;
}

}  // namespace

int main(int argc, char** argv) {
    int segments = 100000;
    std::string file;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--segments" && i + 1 < argc) {
            segments = std::atoi(argv[++i]);
        } else {
            file = a;
        }
    }
    const bool generated = file.empty();
    if (generated) file = Generate(segments);
    if (file.empty()) return 1;

    double best = 1e30;
    std::size_t articles = 0;
    for (int run = 0; run < 5; ++run) {
        const auto t0 = std::chrono::steady_clock::now();
        quivern::CNzbMedia* media = nullptr;
        if (!quivern::OpenNzbMedia(file, &media)) {
            std::fprintf(stderr, "nzb_open: cannot open %s\n", file.c_str());
            return 1;
        }
        const auto t1 = std::chrono::steady_clock::now();
        articles = media->ArticleCount();
        media->Release();
        best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::FILE* f = std::fopen(file.c_str(), "rb");
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fclose(f);
    if (generated) ::unlink(file.c_str());
    std::printf("articles=%zu\n", articles);
    std::printf("file_bytes=%ld\n", size);
    std::printf("nzb_open_ms=%.1f\n", best);
    return 0;
}
