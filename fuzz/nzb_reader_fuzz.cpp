// libFuzzer target for the NZB reader: every input is written to a file and opened.
// A crash, a sanitizer report or a leak is a finding; the document being invalid is not.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "nzb/nzb_media.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/quivern-nzb-fuzz-" + std::to_string(::getpid()) + ".nzb";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    quivern::CNzbMedia* media = nullptr;
    if (quivern::OpenNzbMedia(path, &media)) {
        // Touch everything a consumer would read.
        std::uint64_t sum = media->TotalBytes();
        for (const auto* part : media->m_parts) {
            sum += part->m_subject.size() + part->m_poster.size();
            if (part->m_groups != nullptr) sum += part->m_groups->Names().size();
            for (const auto* a : part->m_articles)
                sum += a->m_messageId ? a->m_messageId->size() : 0;
        }
        if (sum == 0xFFFFFFFFFFFFFFFFull) std::abort();
        media->Release();
    }
    return 0;
}
