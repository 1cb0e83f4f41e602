#include "postproc/par_repair.h"

#include "postproc/par2_digests.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <set>
#include <string_view>
#include <system_error>

#include "platform/paths.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "postproc/file_choice.h"
#include "postproc/messages.h"

extern char** environ;

namespace quivern {

namespace fs = std::filesystem;

namespace {

bool IsParOneExtension(std::string_view ext) {
    if (EqualsIgnoreAsciiCase(ext, ".par")) return true;
    return ext.size() == 4 && (ext[1] == 'p' || ext[1] == 'P') && ext[2] >= '0' && ext[2] <= '9' &&
           ext[3] >= '0' && ext[3] <= '9';
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// "12.3%" (possibly followed by nothing else) as per-mille; -1 when it is not a percentage.
int ParsePercent(std::string_view text) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    if (text.empty() || text.back() != '%') return -1;
    text.remove_suffix(1);
    unsigned whole = 0;
    const auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), whole);
    if (ec != std::errc()) return -1;
    unsigned tenth = 0;
    if (p < text.data() + text.size()) {
        if (*p != '.' || p + 1 >= text.data() + text.size()) return -1;
        tenth = static_cast<unsigned>(p[1] - '0');
        if (tenth > 9) return -1;
    }
    const unsigned value = whole * 10 + tenth;
    return static_cast<int>(std::min(value, 1000u));
}

// The name between the first pair of double quotes.
std::string QuotedName(std::string_view line) {
    const auto open = line.find('"');
    if (open == std::string_view::npos) return {};
    const auto close = line.find('"', open + 1);
    if (close == std::string_view::npos) return {};
    return std::string(line.substr(open + 1, close - open - 1));
}

// Reads the engine's output and turns it into progress messages.
class COutputReader {
public:
    COutputReader(CPostProcContext& ctx, int noiseLevel, const std::string& folder)
        : m_ctx(ctx), m_noise(noiseLevel), m_folder(folder) {}

    void Feed(const char* data, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i) {
            const char c = data[i];
            if (c == '\r' || c == '\n') {
                Line(m_line);
                m_line.clear();
            } else if (m_line.size() < 4096) {
                m_line += c;
            }
        }
    }
    void Finish() {
        if (!m_line.empty()) Line(m_line);
        m_line.clear();
    }

    std::uint32_t m_blocksNeeded = 0;
    bool m_repairComplete = false;
    std::vector<std::string> m_damaged;  // relative names, as the engine prints them
    std::vector<std::string> m_missing;

private:
    void Progress(std::string_view phase, int permille) {
        if (permille < 0 || m_noise <= 2) return;
        if (phase != m_phase) {
            m_phase = std::string(phase);
            m_ctx.ResetPermille();
        }
        m_ctx.PostPermille(static_cast<std::uint32_t>(permille));
    }
    void File(const std::string& name) {
        if (m_noise <= 1 || name.empty() || name == m_lastFile) return;
        m_lastFile = name;
        m_ctx.PostFile(name);
    }

    void Line(std::string_view line) {
        if (line.empty()) return;
        if (StartsWith(line, "Loading: ")) return Progress("load", ParsePercent(line.substr(9)));
        if (StartsWith(line, "Scanning: \"")) {
            // The PAR engine names the file on every progress line.
            File(QuotedName(line));
            const auto colon = line.rfind(": ");
            return Progress("scan",
                            colon == std::string_view::npos ? -1 : ParsePercent(line.substr(colon + 2)));
        }
        if (StartsWith(line, "Scanning: ")) return Progress("scan", ParsePercent(line.substr(10)));
        if (StartsWith(line, "Constructing: ")) return Progress("construct", ParsePercent(line.substr(14)));
        if (StartsWith(line, "Solving: ")) return Progress("solve", ParsePercent(line.substr(9)));
        if (StartsWith(line, "Repairing: ")) return Progress("repair", ParsePercent(line.substr(11)));
        if (StartsWith(line, "Processing: ")) return Progress("repair", ParsePercent(line.substr(12)));
        if (StartsWith(line, "Loading \"")) {
            m_lastFile.clear();
            File(QuotedName(line));
            return;
        }
        if (StartsWith(line, "Opening: \"")) return File(QuotedName(line));
        if (StartsWith(line, "Target: \"")) {
            const std::string name = QuotedName(line);
            if (!m_verifyingRepaired) {
                if (line.find("\" - damaged") != std::string_view::npos) m_damaged.push_back(name);
                if (line.find("\" - missing") != std::string_view::npos) m_missing.push_back(name);
            }
            return;
        }
        if (StartsWith(line, "Computing Reed Solomon matrix")) {
            m_ctx.PostStatus(kStrRepair);
            return;
        }
        if (StartsWith(line, "Verifying repaired files")) {
            m_verifyingRepaired = true;
            m_lastFile.clear();
            m_ctx.PostStatus(kStrVerify);
            return;
        }
        if (StartsWith(line, "You need ")) {
            unsigned count = 0;
            const std::string_view rest = line.substr(9);
            if (std::from_chars(rest.data(), rest.data() + rest.size(), count).ec == std::errc())
                m_blocksNeeded = count;
            return;
        }
        if (StartsWith(line, "Repair complete")) m_repairComplete = true;
    }

    CPostProcContext& m_ctx;
    int m_noise;
    std::string m_folder;
    std::string m_line;
    std::string m_phase;
    std::string m_lastFile;
    bool m_verifyingRepaired = false;
};

std::set<std::string> SnapshotFolder(const std::string& folder) {
    std::set<std::string> names;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    for (fs::recursive_directory_iterator end; !ec && it != end && names.size() < 100000; it.increment(ec)) {
        if (it.depth() > 4) it.disable_recursion_pending();
        names.insert(it->path().string());
    }
    return names;
}

// A path named by the engine, confined to the set's folder.
std::string ResolveTarget(const std::string& folder, std::string name) {
    for (char& c : name)
        if (c == '\\') c = '/';
    if (name.empty() || name[0] == '/' || name.find("..") != std::string::npos) return {};
    return JoinPath(folder, name);
}

void KillGroup(pid_t pid) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
}

}  // namespace

TParCommandLine ReadParCommandLine(const std::vector<std::string>& args) {
    TParCommandLine cl;
    if (args.empty()) return cl;
    const std::string program = AsciiLower(FileNamePart(args[0]));
    std::size_t i = 1;
    auto programIs = [&](std::string_view name) { return StartsWith(program, name); };
    if (programIs("par2create")) {
        cl.m_operation = ParOperation::Create;
    } else if (programIs("par2verify")) {
        cl.m_operation = ParOperation::Verify;
    } else if (programIs("par2repair")) {
        cl.m_operation = ParOperation::Repair;
    } else if (i < args.size()) {
        const std::string op = AsciiLower(args[i]);
        if (op == "c" || op == "create")
            cl.m_operation = ParOperation::Create;
        else if (op == "v" || op == "verify")
            cl.m_operation = ParOperation::Verify;
        else if (op == "r" || op == "repair")
            cl.m_operation = ParOperation::Repair;
        else
            return cl;
        ++i;
    }
    if (cl.m_operation == ParOperation::None) return cl;
    bool optionsEnded = false;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!optionsEnded && cl.m_parFile.empty() && a.size() > 1 && a[0] == '-') {
            if (a == "--") {
                optionsEnded = true;
            } else if (a == "-q") {
                cl.m_noiseLevel = 1;
            } else if (a == "-qq") {
                cl.m_noiseLevel = 0;
            } else if (a == "-v" || a == "-vv") {
                cl.m_noiseLevel = 4;
            } else if (a.size() > 2 && a[1] == 'm') {
                std::uint64_t mib = 0;
                if (std::from_chars(a.data() + 2, a.data() + a.size(), mib).ec != std::errc() || mib == 0)
                    return cl;
                cl.m_memoryLimit = mib;
            } else {
                return cl;
            }
            continue;
        }
        if (cl.m_parFile.empty())
            cl.m_parFile = a;
        else
            cl.m_extraFiles.push_back(a);
    }
    if (cl.m_parFile.empty()) return cl;

    const std::string_view ext = FileExtension(cl.m_parFile);
    if (EqualsIgnoreAsciiCase(ext, ".par2")) {
        cl.m_version = 2;
    } else if (IsParOneExtension(ext)) {
        cl.m_version = 1;
    } else {
        static constexpr std::string_view kTries[] = {".par2", ".PAR2", ".par", ".PAR"};
        for (const std::string_view tail : kTries) {
            const std::string candidate = cl.m_parFile + std::string(tail);
            if (FileExists(candidate)) {
                cl.m_parFile = candidate;
                cl.m_version = EqualsIgnoreAsciiCase(tail, ".par2") ? 2 : 1;
                break;
            }
        }
        if (cl.m_version == 0) return cl;
    }
    if (cl.m_operation != ParOperation::Create && !FileExists(cl.m_parFile)) return cl;
    cl.m_ok = true;
    return cl;
}

CParRepairer::CParRepairer(int version, CPostProcContext& ctx, TParEngineSettings settings)
    : m_version(version), m_ctx(ctx), m_settings(std::move(settings)) {}

int CParRepairer::Process(const TParCommandLine& commandLine) {
    m_noiseLevel = commandLine.m_noiseLevel;
    m_blocksNeeded = 0;
    m_repairedFiles.clear();
    m_failure.clear();
    if (m_ctx.Cancelled()) return ParLogicError;

    std::string parFile = commandLine.m_parFile;
    if (parFile.empty() || parFile[0] != '/') parFile = (fs::current_path() / parFile).string();
    const std::string folder = FolderOf(parFile);
    const std::set<std::string> before = SnapshotFolder(folder);

    m_ctx.ResetPermille();
    m_ctx.PostStatus(kStrVerify);

    // Repair within verification: the engine is always asked to repair, which verifies first
    // and repairs only what needs it.
    std::vector<std::string> argv = {m_settings.m_program, "r"};
    if (commandLine.m_memoryLimit != 0) argv.push_back("-m" + std::to_string(commandLine.m_memoryLimit));
    argv.push_back("--");
    argv.push_back(parFile);
    for (const std::string& extra : commandLine.m_extraFiles)
        argv.push_back(extra);
    std::vector<char*> cargv;
    for (std::string& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);

    // The engine's messages are parsed, so its locale is pinned.
    std::vector<std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e)
        if (!StartsWith(*e, "LC_ALL=") && !StartsWith(*e, "LANG=") && !StartsWith(*e, "LANGUAGE="))
            env.emplace_back(*e);
    env.emplace_back("LC_ALL=C");
    std::vector<char*> cenv;
    for (std::string& e : env)
        cenv.push_back(e.data());
    cenv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        m_failure = "cannot start";
        return ParLogicError;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    sigset_t noMask;
    sigemptyset(&noMask);
    posix_spawnattr_setsigmask(&attr, &noMask);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int spawnError = ::posix_spawnp(&pid, cargv[0], &actions, &attr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(pipeFds[1]);
    if (spawnError != 0) {
        ::close(pipeFds[0]);
        m_failure = "cannot start";
        return ParLogicError;
    }

    COutputReader reader(m_ctx, m_noiseLevel, folder);
    std::uint64_t lastOutput = MonotonicMs();
    bool pipeOpen = true;
    bool exited = false;
    int status = 0;
    bool killed = false;
    char buffer[16384];
    while (!exited) {
        if (m_ctx.Cancelled()) {
            KillGroup(pid);
            killed = true;
            break;
        }
        if (pipeOpen) {
            pollfd p{pipeFds[0], POLLIN, 0};
            const int ready = ::poll(&p, 1, 100);
            if (ready > 0) {
                const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
                if (n > 0) {
                    reader.Feed(buffer, static_cast<std::size_t>(n));
                    lastOutput = MonotonicMs();
                } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                    pipeOpen = false;
                }
            }
        } else {
            ::usleep(20000);
        }
        const pid_t w = ::waitpid(pid, &status, WNOHANG);
        if (w == pid) {
            exited = true;
        } else if (MonotonicMs() - lastOutput > m_settings.m_stallTimeoutMs) {
            KillGroup(pid);
            killed = true;
            m_failure = "stalled";
            break;
        }
    }
    if (killed) {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    } else {
        // The engine is gone; whatever it left in the pipe is still worth reading, but a
        // descendant that keeps the pipe open must not hold the step.
        KillGroup(pid);
        pollfd p{pipeFds[0], POLLIN, 0};
        while (pipeOpen && ::poll(&p, 1, 50) > 0) {
            const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
            if (n <= 0) break;
            reader.Feed(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(pipeFds[0]);
    reader.Finish();

    if (killed) return ParLogicError;
    if (WIFSIGNALED(status)) {
        m_failure = "crashed";
        return ParLogicError;
    }
    if (!WIFEXITED(status)) return ParLogicError;
    const int code = WEXITSTATUS(status);
    if (code < ParSuccess || code > ParMemoryError) return ParLogicError;
    m_blocksNeeded = code == ParRepairNotPossible ? reader.m_blocksNeeded : 0;

    if (code == ParSuccess && reader.m_repairComplete) {
        // The engine moved each damaged file aside as name.N before writing the repaired one.
        for (const std::string& name : reader.m_damaged) {
            const std::string target = ResolveTarget(folder, name);
            if (target.empty()) continue;
            for (int n = 1; n < 100; ++n) {
                const std::string backup = target + "." + std::to_string(n);
                if (!FileExists(backup)) break;
                if (before.count(backup) == 0) ::unlink(backup.c_str());
            }
            m_repairedFiles.push_back(target);
        }
        for (const std::string& name : reader.m_missing) {
            const std::string target = ResolveTarget(folder, name);
            if (!target.empty()) m_repairedFiles.push_back(target);
        }
    }
    return code;
}

std::uint32_t ParResultMessage(int result) {
    switch (result) {
        case ParSuccess:
            return kStrSuccess;
        case ParRepairNotPossible:
            return kStrNeedBlocks;
        case ParInsufficientCriticalData:
            return kStrNoUsefulFiles;
        case ParRepairFailed:
            return kStrRepairImpossible;
        case ParFileIoError:
            return kStrParCannotOpen;
        default:
            return kStrInternalError;
    }
}

bool VerifyAndRepair(const std::string& parPath, CPostProcContext& ctx, const TParEngineSettings& settings,
                     std::vector<std::string>* repaired) {
    if (parPath.empty()) {
        ctx.m_autoDeleteCurrent = false;
        return true;
    }
    const TParCommandLine cl = ReadParCommandLine({CurrentProgramPath(), "v", parPath});
    if (!cl.m_ok) {
        ctx.PostMessage(kStrInternalError);
        return false;
    }
    // A set whose files are all exactly as they were written needs no engine and no second read.
    if (cl.m_version == 2 && Par2SetIntactByWrittenDigests(cl.m_parFile, ctx)) {
        ctx.PostMessage(kStrSuccess);
        return true;
    }
    int result = ParLogicError;
    std::uint32_t blocksNeeded = 0;
    if (cl.m_version == 1 || cl.m_version == 2) {
        CParRepairer repairer(cl.m_version, ctx, settings);
        result = repairer.Process(cl);
        blocksNeeded = repairer.m_blocksNeeded;
        if (repaired != nullptr) *repaired = repairer.m_repairedFiles;
    }
    if (ctx.Cancelled()) {
        ctx.PostMessage(kStrSuccess);
        return false;
    }
    if (result == ParRepairNotPossible)
        ctx.PostNeedBlocks(blocksNeeded);
    else
        ctx.PostMessage(ParResultMessage(result));
    return result == ParSuccess;
}

}  // namespace quivern
