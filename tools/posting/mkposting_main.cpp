// quivern-mkposting: writes a sample posting (articles for the local news server and its NZB).
// Usage: quivern-mkposting DIR [--name N] [--files N] [--size BYTES] [--segment BYTES] [--par2] [--sfv]
//                           [--group G] [--seed S]

#include <cstdio>
#include <cstdlib>
#include <string>

#include "posting.h"

int main(int argc, char** argv) {
    quivern::posting::PostingOptions o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--name" && (v = next())) {
            o.name = v;
        } else if (a == "--files" && (v = next())) {
            o.files = std::atoi(v);
        } else if (a == "--size" && (v = next())) {
            o.fileSize = std::strtoull(v, nullptr, 10);
        } else if (a == "--segment" && (v = next())) {
            o.segmentSize = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10));
        } else if (a == "--group" && (v = next())) {
            o.group = v;
        } else if (a == "--seed" && (v = next())) {
            o.seed = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10));
        } else if (a == "--par2") {
            o.par2 = true;
        } else if (a == "--sfv") {
            o.sfv = true;
        } else if (a[0] != '-' && o.folder.empty()) {
            o.folder = a;
        } else {
            std::fprintf(stderr,
                         "usage: quivern-mkposting DIR [--name N] [--files N] [--size BYTES] "
                         "[--segment BYTES] [--par2] [--sfv] [--group G] [--seed S]\n");
            return 2;
        }
    }
    if (o.folder.empty() || o.files < 1 || o.segmentSize == 0) {
        std::fprintf(stderr,
                     "quivern-mkposting: a folder, at least one file and a segment size are needed\n");
        return 2;
    }
    quivern::posting::Posting p;
    std::string error;
    if (!quivern::posting::MakePosting(o, p, &error)) {
        std::fprintf(stderr, "quivern-mkposting: %s\n", error.c_str());
        return 1;
    }
    std::printf("nzb=%s\narticles=%s\nfiles=%zu\narticle_bytes=%llu\n", p.nzbPath.c_str(),
                p.articleFolder.c_str(), p.files.size(), static_cast<unsigned long long>(p.articleBytes));
    return 0;
}
