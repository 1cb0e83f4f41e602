#include <cinttypes>
#include <cstdio>

#include "app/get/commands.h"
#include "nzb/nzb_media.h"
#include "platform/refcounted.h"
#include "platform/resources.h"
#include "platform/text.h"

namespace quivern::get {

std::string Message(unsigned id, const std::string& arg) {
    std::string text = LoadString(id);
    if (text.empty()) text = "Message " + std::to_string(id) + ": %s";
    const auto pos = text.find("%s");
    if (pos != std::string::npos) text.replace(pos, 2, arg);
    return text;
}

int CmdInfo(const Args& args) {
    if (args.size() != 1) return Usage();
    CNzbMedia* media = nullptr;
    if (!OpenNzbMedia(args[0], &media)) {
        std::fprintf(stderr, "%s\n", Message(30001, args[0]).c_str());
        return kExitFailed;
    }
    auto doc = RcPtr<CNzbMedia>::Adopt(media);
    std::uint64_t totalBytes = 0;
    std::size_t totalArticles = 0;
    for (const CNzbPart* part : doc->m_parts) {
        std::uint64_t bytes = 0;
        for (const CNzbArticle* a : part->m_articles)
            bytes += a->m_bytes;
        const SystemTime& d = part->m_date;
        std::string group;
        if (part->m_groups != nullptr) {
            const auto names = part->m_groups->Names();
            if (!names.empty()) group = Cp1252ToUtf8(names.front());
        }
        std::printf("%s\t%zu\t%" PRIu64 "\t%04u-%02u-%02u %02u:%02u:%02u\t%s\n", part->m_subject.c_str(),
                    part->m_articles.size(), bytes, d.wYear, d.wMonth, d.wDay, d.wHour, d.wMinute, d.wSecond,
                    group.c_str());
        totalBytes += bytes;
        totalArticles += part->m_articles.size();
    }
    std::printf("nzb: files=%zu articles=%zu bytes=%" PRIu64 "\n", doc->m_parts.size(), totalArticles,
                totalBytes);
    return kExitOk;
}

}  // namespace quivern::get
