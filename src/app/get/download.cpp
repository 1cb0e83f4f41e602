// quivern-get download / check: the engine, the segment store and the settings of the window
// program, driven from a terminal, with a window of our own that receives the engine's messages.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/get/commands.h"
#include "assembly/data_swap.h"
#include "config/saved_options.h"
#include "nntp/engine_settings.h"
#include "nntp/job.h"
#include "nntp/manager.h"
#include "nntp/watchdog.h"
#include "nzb/nzb_media.h"
#include "platform/resources.h"
#include "platform/window_messages.h"
#include "postproc/file_choice.h"

namespace quivern::get {
namespace {

std::atomic<bool> g_interrupted{false};
// The job messages are taken once this many are queued, or this often: the progress line is at
// most that late, and the last messages are taken as they come.
constexpr std::size_t kMessageBatch = 256;
constexpr int kPumpIntervalMs = 20;

void OnInterrupt(int) {
    g_interrupted = true;
}

struct Options {
    std::string nzb;
    std::optional<std::string> server;
    std::string user, password;
    bool tls = false;
    bool acceptUntrusted = false;
    int connections = 0;
    std::string out;
    bool postproc = true;
};

std::optional<Options> Parse(const Args& args, bool download) {
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--server") {
            if (!value(v)) return std::nullopt;
            o.server = v;
        } else if (a == "--user") {
            if (!value(o.user)) return std::nullopt;
        } else if (a == "--password") {
            if (!value(o.password)) return std::nullopt;
        } else if (a == "--tls") {
            o.tls = true;
        } else if (a == "--accept-untrusted-cert") {
            o.acceptUntrusted = true;
        } else if (a == "--connections") {
            if (!value(v)) return std::nullopt;
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (*end != '\0' || n < 1 || n > 200) return std::nullopt;
            o.connections = static_cast<int>(n);
        } else if (download && a == "--out") {
            if (!value(o.out)) return std::nullopt;
        } else if (download && a == "--no-postproc") {
            o.postproc = false;
        } else if (!a.empty() && a[0] == '-') {
            return std::nullopt;
        } else if (o.nzb.empty()) {
            o.nzb = a;
        } else {
            return std::nullopt;
        }
    }
    if (o.nzb.empty()) return std::nullopt;
    if (!o.server && (!o.user.empty() || !o.password.empty() || o.tls || o.acceptUntrusted))
        return std::nullopt;
    return o;
}

std::string ConnectionMessage(std::int32_t code) {
    std::string text = LoadString(30022) + LoadString(ConnectionErrorMessageId(code));
    for (auto pos = text.find('\n'); pos != std::string::npos; pos = text.find('\n'))
        text.replace(pos, 1, " ");
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

std::string HumanBytes(double bytes) {
    const char* units[] = {"B", "KB", "MB", "GB", "TB"};
    int u = 0;
    while (bytes >= 1000.0 && u < 4) {
        bytes /= 1000.0;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return buf;
}

class Counter final : public INNTPManagerCB {
public:
    void ArticleQueued(void*, CNzbArticle*) override { ++queued; }
    std::size_t queued = 0;
};

struct Tally {
    std::size_t ended = 0;
    std::size_t ok = 0;
    std::size_t missing = 0;
    std::size_t damaged = 0;
    std::size_t written = 0;
    std::uint64_t writtenBytes = 0;
    std::uint64_t receivedBytes = 0;
    std::int32_t lastError = 0;
    std::size_t errorReports = 0;
};

class ProgressLine {
public:
    ProgressLine(std::uint64_t total, bool tty) : m_total(total), m_tty(tty) {}
    void Show(const Tally& t, double seconds, bool force) {
        const double since = seconds - m_last;
        if (!force && since < (m_tty ? 0.2 : 5.0)) return;
        m_last = seconds;
        const double speed = seconds > 0 ? static_cast<double>(t.receivedBytes) / seconds : 0;
        const double left = m_total > t.receivedBytes ? static_cast<double>(m_total - t.receivedBytes) : 0;
        const double eta = speed > 0 ? left / speed : 0;
        const double frac =
            m_total ? std::min(1.0, static_cast<double>(t.receivedBytes) / static_cast<double>(m_total)) : 0;
        if (m_tty) {
            const int width = 30;
            const int filled = static_cast<int>(frac * width);
            std::string bar(static_cast<std::size_t>(filled), '#');
            bar.resize(width, '-');
            std::fprintf(stderr, "\r[%s] %5.1f%%  %s/s  %s left  %zu articles   ", bar.c_str(), frac * 100.0,
                         HumanBytes(speed).c_str(), FormatEta(eta).c_str(), t.ended);
        } else {
            std::fprintf(stderr, "progress: %.1f%% %s of %s, %s/s, %s left\n", frac * 100.0,
                         HumanBytes(static_cast<double>(t.receivedBytes)).c_str(),
                         HumanBytes(static_cast<double>(m_total)).c_str(), HumanBytes(speed).c_str(),
                         FormatEta(eta).c_str());
        }
    }
    void Finish() {
        if (m_tty) std::fputc('\n', stderr);
    }

private:
    static std::string FormatEta(double s) {
        char buf[32];
        const auto t = static_cast<long>(s + 0.5);
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", t / 3600, t / 60 % 60, t % 60);
        return buf;
    }
    std::uint64_t m_total;
    bool m_tty;
    double m_last = -1e9;
};

int Run(const Args& args, std::uint8_t mode) {
    const bool download = mode == ModeDownload;
    const auto opt = Parse(args, download);
    if (!opt) return Usage();

    CNzbMedia* mediaRaw = nullptr;
    if (!OpenNzbMedia(opt->nzb, &mediaRaw)) {
        std::fprintf(stderr, "%s\n", Message(30001, opt->nzb).c_str());
        return kExitUsage;
    }
    auto media = RcPtr<CNzbMedia>::Adopt(mediaRaw);

    RcPtr<CNNTPManager> manager;
    if (!GetNntpManager(manager)) {
        std::fprintf(stderr, "%s\n", LoadString(30004).c_str());
        return kExitUsage;
    }
    // With --server the configured servers stay as they are: the settings load into a list of
    // their own, and the engine gets only the given server.
    RcPtr<CNntpCallback> configured(opt->server ? new CNntpCallback() : nullptr);
    CSavedOptions options;
    if (!options.Load(opt->server ? *configured : static_cast<CNntpCallback&>(*manager))) {
        std::fprintf(stderr, "%s\n", LoadString(30000).c_str());
        return kExitUsage;
    }
    if (opt->server) {
        const auto server = ParseHostPort(*opt->server);
        if (!server) return Usage();
        const std::string& host = server->host;
        const std::uint16_t port = server->port.value_or(opt->tls ? 563 : 119);
        CServerEntry entry;
        if (!entry.SetServer(host, port, opt->tls, opt->user, opt->password)) {
            std::fprintf(stderr, "%s\n", ConnectionMessage(-4).c_str());
            return 3;
        }
        entry.SetAcceptCertProblems(opt->acceptUntrusted);
        manager->ReplaceServers({entry});
    }
    if (manager->GetServerCount() == 0) {
        std::fprintf(stderr, "%s\n", ConnectionMessage(-2).c_str());
        return 3;
    }

    TEngineSettings settings;
    settings.maxChannels = opt->connections > 0 ? opt->connections : options.m_maxChannels;
    settings.useChannelLoop = options.m_useChannelLoop;
    settings.savePathRoot = opt->out.empty() ? options.m_savePathRoot : opt->out;
    settings.tempPathRoot = options.m_tempPathRoot;
    settings.createSubfolders = options.m_createSubfolders;
    settings.storeMemoryBudget = static_cast<std::uint64_t>(std::max(options.m_storeMemoryLimitMB, 16)) << 20;
    SetEngineSettings(settings);

    // One connection first: when none can be opened there is nothing to wait for.
    {
        RcPtr<CNntpSocket> probe(new CNntpSocket(manager.get()));
        if (!probe->Open()) {
            std::fprintf(stderr, "%s\n", ConnectionMessage(probe->Error()).c_str());
            return 3;
        }
    }

    // Like the window program: a read that makes no progress is released by the watchdog.
    const bool watchdog = CStalledReadWatchdog::Start();
    CTestReceiver window;
    Counter counter;
    InsertCursor cursor;
    std::uint64_t totalBytes = 0;
    for (CNzbPart* part : media->m_parts) {
        manager->QueueJobs(media.get(), part, nullptr, window.Handle(), part, &counter, mode, cursor);
        for (const CNzbArticle* a : part->m_articles)
            totalBytes += a->m_bytes;
    }

    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    Tally tally;
    ProgressLine progress(totalBytes, ::isatty(STDERR_FILENO) != 0);
    bool cancelling = false;
    std::set<CNzbPart*> unfinished;

    auto handle = [&](const PostedMessage& m) {
        if (m.message == WM_JOB_PROGRESS) {
            const TProgress p = TakeProgressRecord(m.lParam);
            const TEventWord w = UnpackEventWord(p.eventWord);
            if (w.phase == PhaseTaken) tally.receivedBytes += w.bytes;
            if (w.phase == PhaseEnded) {
                ++tally.ended;
                if (w.result == 0 && w.state != StateCancelled) {
                    ++tally.ok;
                } else {
                    // A damaged article (its data kept as it came) did not arrive intact either.
                    ++tally.missing;
                    if (w.result == kResultDamaged) ++tally.damaged;
                }
                if (w.state == StateCancelled && w.mode == ModeDownload && p.listItem != nullptr) {
                    unfinished.insert(static_cast<CNzbPart*>(p.listItem));
                }
            }
        } else if (m.message == WM_JOB_ERRORS) {
            tally.lastError = static_cast<std::int32_t>(static_cast<LParam>(m.wParam));
            ++tally.errorReports;
            std::fprintf(stderr, "%s%s (%ld)\n", ::isatty(STDERR_FILENO) ? "\r\033[K" : "",
                         ConnectionMessage(tally.lastError).c_str(), static_cast<long>(m.lParam));
        } else if (m.message == WM_JOB_FILE_WRITTEN) {
            const auto* record = reinterpret_cast<TFileWrittenRecord*>(m.wParam);
            ++tally.written;
            tally.writtenBytes += record->size;
            FreeFileWrittenMessage(m.wParam, m.lParam);
        }
    };

    while (tally.ended < counter.queued) {
        if (g_interrupted && !cancelling) {
            cancelling = true;
            std::fprintf(stderr, "\nstopping: cancelling the remaining articles...\n");
            for (CNzbPart* part : media->m_parts)
                manager->CancelJobs(part, nullptr);
        }
        // The messages are taken in batches rather than one wake-up per message: the channels
        // post several per article, and waking this thread for each would cost them a system
        // call and a context switch apiece at every speed. Every job not yet ended still posts
        // its ending, so waiting for at most that many messages is never late for the last one.
        while (auto m = window.TryTake())
            handle(*m);
        progress.Show(tally, elapsed(), false);
        if (tally.ended >= counter.queued) break;
        window.WaitForPending(std::min(kMessageBatch, counter.queued - tally.ended), kPumpIntervalMs);
    }
    // Every job has ended; stopping the channels and the store drops their last references, so
    // every message has been posted once both are gone.
    ReleaseNntpManager();
    manager = RcPtr<CNNTPManager>();
    {
        RcPtr<CDataSwap> store;
        if (GetDataSwap(store)) store->WaitForWriter(kInfinite);
    }
    ReleaseDataSwap();
    if (watchdog) CStalledReadWatchdog::Stop();
    while (auto m = window.TryTake())
        handle(*m);
    const double seconds = elapsed();
    progress.Show(tally, seconds, true);
    progress.Finish();

    if (tally.damaged != 0) {
        std::fprintf(stderr, "%zu article(s) arrived damaged on every attempt and were kept as they came\n",
                     tally.damaged);
    }
    for (CNzbPart* part : unfinished)
        options.AddUnfinishedItem(media->m_filePath, part->m_subject);

    // Join, verify, repair and unpack what arrived, as the window program does when a list
    // page's last download ends.
    int postprocResult = kExitOk;
    if (download && opt->postproc && !cancelling && tally.written > 0) {
        postprocResult =
            CmdPostproc({DownloadFolder(settings.savePathRoot, settings.createSubfolders, media->m_filePath),
                         "--nzb", opt->nzb});
    }

    if (download) {
        std::printf("done: files=%zu written=%zu articles=%zu missing=%zu bytes=%" PRIu64
                    " seconds=%.2f MBps=%.1f\n",
                    media->m_parts.size(), tally.written, counter.queued, tally.missing, tally.writtenBytes,
                    seconds, seconds > 0 ? static_cast<double>(tally.receivedBytes) / seconds / 1e6 : 0.0);
    } else {
        std::printf("check: articles=%zu available=%zu missing=%zu\n", counter.queued, tally.ok,
                    tally.missing);
    }
    if (cancelling || postprocResult != kExitOk) return kExitFailed;
    return tally.missing == 0 ? kExitOk : kExitFailed;
}

}  // namespace

int CmdDownload(const Args& args) {
    return Run(args, ModeDownload);
}
int CmdCheck(const Args& args) {
    return Run(args, ModeCheck);
}

}  // namespace quivern::get
