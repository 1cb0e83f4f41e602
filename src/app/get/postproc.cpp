// quivern-get postproc and sfv: the post-processing pipeline and the SFV check on a download
// folder, with the progress the window program would show printed as lines.

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/get/commands.h"
#include "config/saved_options.h"
#include "nzb/nzb_media.h"
#include "platform/paths.h"
#include "platform/refcounted.h"
#include "platform/resources.h"
#include "platform/window_messages.h"
#include "postproc/file_choice.h"
#include "postproc/pipeline.h"
#include "postproc/sfv.h"

namespace quivern::get {

namespace {

std::string Quote(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c == '\n' ? ' ' : c;
    }
    return out;
}

}  // namespace

int CmdPostproc(const Args& args) {
    std::string folder;
    std::string nzbPath;
    std::optional<std::string> password;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--nzb" && i + 1 < args.size()) {
            nzbPath = args[++i];
        } else if (args[i] == "--password" && i + 1 < args.size()) {
            password = args[++i];
        } else if (folder.empty() && !args[i].empty() && args[i][0] != '-') {
            folder = StripTrailingSeparator(args[i]);
        } else {
            return Usage();
        }
    }
    if (folder.empty()) return Usage();
    if (!DirectoryExists(folder)) {
        std::fprintf(stderr, "postproc: no such folder: %s\n", folder.c_str());
        return kExitUsage;
    }

    RcPtr<CNzbMedia> doc;
    if (!nzbPath.empty()) {
        CNzbMedia* media = nullptr;
        if (!OpenNzbMedia(nzbPath, &media)) {
            std::fprintf(stderr, "%s\n", Message(30001, nzbPath).c_str());
            return kExitFailed;
        }
        doc = RcPtr<CNzbMedia>::Adopt(media);
    } else {
        // The job is named after its NZB file; without one the folder gives the name.
        nzbPath = JoinPath(folder, std::string(FileNamePart(folder)) + ".nzb");
    }

    const auto stored = ListStoredFiles(folder, doc.get());
    const TFileChoice par = FindMainParFile(folder, stored);
    const TFileChoice rar = FindFirstRarVolume(folder, stored);
    std::printf("par: %s\nrar: %s\n", par.m_path.c_str(), rar.m_path.c_str());
    if (par.m_path.empty() && rar.m_path.empty()) {
        std::printf("postproc: result=failed message=\"%s\"\n", Quote(LoadString(30036)).c_str());
        return kExitFailed;
    }

    // The folder given is the download folder; the downloads are kept (no automatic deletion
    // from a terminal command).
    CSavedOptions options;
    options.m_savePathRoot = folder;
    options.m_createSubfolders = false;
    options.m_autoDelete = false;
    if (password) options.StoreArchivePassword(nzbPath, *password);

    CTestReceiver window;
    CAutoProgressNotify notify(window.Handle(), &options);
    notify.Context().m_askPassword = [&password](std::string& answer) {
        if (!password) return false;
        answer = *password;
        return true;
    };
    if (!notify.AddJob(nzbPath, par.m_path, rar.m_path)) {
        std::printf("postproc: result=failed message=\"%s\"\n", Quote(LoadString(30041)).c_str());
        return kExitFailed;
    }

    std::optional<bool> result;
    int lastPercent = -1;
    while (!result) {
        const auto m = window.Take(1000);
        if (!m) continue;
        const WParam code = m->wParam;
        const LParam value = m->lParam;
        notify.HandleProgress(code, value);  // takes over the strings
        switch (code) {
            case ProgJob:
                if (value == 0 || value == 1) result = value == 1;
                break;
            case ProgStatus:
                std::printf("status: %s\n", notify.m_statusText.c_str());
                lastPercent = -1;
                break;
            case ProgFile:
                std::printf("file: %s\n", notify.m_currentFileText.c_str());
                break;
            case ProgPermille:
                // Steps of ten percent are enough for a terminal.
                if (static_cast<int>(notify.m_progress / 100) != lastPercent) {
                    lastPercent = static_cast<int>(notify.m_progress / 100);
                    std::printf("progress: %s\n", notify.m_percentText.c_str());
                }
                break;
            case ProgMessage:
            case ProgNeedBlocks:
                std::printf("message: %s\n", notify.m_lastErrorText.c_str());
                break;
            default:
                break;
        }
        std::fflush(stdout);
    }
    std::printf("postproc: result=%s message=\"%s\"\n", *result ? "ok" : "failed",
                Quote(notify.m_lastErrorText).c_str());
    return *result ? kExitOk : kExitFailed;
}

int CmdSfv(const Args& args) {
    if (args.size() != 1) return Usage();
    const std::string sfvPath = args[0];
    CTestReceiver window;
    const CSFVJob job(sfvPath, FolderOf(sfvPath), window.Handle());
    std::thread worker([&job] { ProcessSfvJob(job); });

    static const char* const kCodeNames[] = {"ok", "bad-crc", "missing", "unreadable"};
    std::size_t counts[4] = {0, 0, 0, 0};
    bool unusable = false;
    for (;;) {
        const auto m = window.Take(1000);
        if (!m) continue;
        const auto code = static_cast<std::uint32_t>(m->wParam & 0xFFFF);
        const auto percent = static_cast<std::uint32_t>(m->wParam >> 16);
        if (m->lParam == 0) {
            unusable = true;
            break;
        }
        std::unique_ptr<std::string> path(reinterpret_cast<std::string*>(m->lParam));
        if (code < 4) ++counts[code];
        std::printf("%s\t%u%%\t%s\n", code < 4 ? kCodeNames[code] : "?", percent, path->c_str());
        std::fflush(stdout);
        if (percent == 100) break;
    }
    worker.join();
    if (unusable) {
        std::printf("sfv: result=unusable\n");
        return kExitFailed;
    }
    std::printf("sfv: files=%zu ok=%zu bad=%zu missing=%zu unreadable=%zu\n",
                counts[0] + counts[1] + counts[2] + counts[3], counts[0], counts[1], counts[2], counts[3]);
    return counts[1] + counts[2] + counts[3] == 0 ? kExitOk : kExitFailed;
}

}  // namespace quivern::get
