#include <cstdio>
#include <cstdlib>
#include <optional>

#include "app/get/commands.h"
#include "config/saved_options.h"
#include "nntp/nntp_callback.h"
#include "platform/refcounted.h"

namespace quivern::get {
namespace {

const char* ProxyName(std::int32_t type) {
    switch (type) {
        case ProxyNone:
            return "none";
        case ProxySocks5RemoteDns:
            return "socks5-dns";
        case ProxySocks5:
            return "socks5";
        case ProxySocks4:
            return "socks4";
        default:
            return "unknown";
    }
}

std::string Mask(const std::string& secret) {
    return secret.empty() ? "" : "***";
}

void PrintEntry(std::size_t n, const CServerEntry& e) {
    std::printf("%zu: %s:%u user=%s password=%s tls=%s", n, e.Host().c_str(), e.ServerPort(),
                e.User().c_str(), Mask(e.Password()).c_str(),
                e.UseTls() ? (e.AcceptCertProblems() ? "yes-accept-untrusted" : "yes") : "no");
    if (e.ProxyKind() != ProxyNone) {
        std::printf(" proxy=%s %s:%u", ProxyName(e.ProxyKind()), e.ProxyHost().c_str(), e.ProxyPort());
        if (!e.ProxyUser().empty())
            std::printf(" proxy-user=%s proxy-password=%s", e.ProxyUser().c_str(),
                        Mask(e.ProxyPassword()).c_str());
    } else {
        std::printf(" proxy=none");
    }
    std::printf("\n");
}

int List(const CSavedOptions& options, const CNntpCallback& engine) {
    const std::size_t count = engine.GetServerCount();
    for (std::size_t i = 0; i < count; ++i) {
        CServerEntry e;
        if (engine.GetServer(i, e)) PrintEntry(i, e);
    }
    for (std::size_t i = 0; i < options.m_unresolvedServerLines.size(); ++i) {
        const auto parsed = ParseServerLine(options.m_unresolvedServerLines[i]);
        std::printf("%zu: %s:%u (host not resolved; kept until removed)\n", count + i, parsed.host.c_str(),
                    parsed.port);
    }
    if (count + options.m_unresolvedServerLines.size() == 0) std::printf("no servers configured\n");
    return kExitOk;
}

int Add(const Args& args, CNntpCallback& engine) {
    if (args.size() < 2) return Usage();
    const auto server = ParseHostPort(args[1]);
    if (!server) return Usage();
    std::string user, password, proxyUser, proxyPassword;
    bool tls = false, acceptUntrusted = false;
    std::int32_t proxyType = ProxyNone;
    std::optional<HostPort> proxy;
    for (std::size_t i = 2; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        if (a == "--user") {
            if (!value(user)) return Usage();
        } else if (a == "--password") {
            if (!value(password)) return Usage();
        } else if (a == "--proxy-user") {
            if (!value(proxyUser)) return Usage();
        } else if (a == "--proxy-password") {
            if (!value(proxyPassword)) return Usage();
        } else if (a == "--tls") {
            tls = true;
        } else if (a == "--accept-untrusted-cert") {
            acceptUntrusted = true;
        } else if (a == "--socks4" || a == "--socks5" || a == "--socks5-dns") {
            if (proxyType != ProxyNone || i + 1 >= args.size()) return Usage();
            proxyType = a == "--socks4" ? ProxySocks4 : a == "--socks5" ? ProxySocks5 : ProxySocks5RemoteDns;
            proxy = ParseHostPort(args[++i]);
            if (!proxy || !proxy->port) return Usage();
        } else {
            return Usage();
        }
    }
    if ((!proxyUser.empty() || !proxyPassword.empty()) &&
        (proxyType == ProxyNone || proxyType == ProxySocks4)) {
        std::fputs("quivern-get: --proxy-user and --proxy-password need a SOCKS5 proxy\n", stderr);
        return Usage();
    }
    if (acceptUntrusted && !tls) {
        std::fputs("quivern-get: --accept-untrusted-cert needs --tls\n", stderr);
        return Usage();
    }
    const std::uint16_t port = server->port.value_or(tls ? 563 : 119);
    CServerEntry entry;
    if (!entry.SetServer(server->host, port, tls, user, password)) {
        std::fprintf(stderr, "quivern-get: the server name \"%s\" cannot be resolved\n",
                     server->host.c_str());
        return kExitFailed;
    }
    entry.SetAcceptCertProblems(acceptUntrusted);
    if (proxyType != ProxyNone &&
        !entry.SetProxy(proxyType, proxy->host, *proxy->port, proxyUser, proxyPassword)) {
        std::fprintf(stderr, "quivern-get: the proxy name \"%s\" cannot be resolved\n", proxy->host.c_str());
        return kExitFailed;
    }
    engine.InsertServer(entry, -1);
    std::printf("added: ");
    PrintEntry(engine.GetServerCount() - 1, entry);
    return kExitOk;
}

int Remove(const Args& args, CSavedOptions& options, CNntpCallback& engine) {
    if (args.size() != 2) return Usage();
    char* end = nullptr;
    const long n = std::strtol(args[1].c_str(), &end, 10);
    if (*end != '\0' || args[1].empty() || n < 0) return Usage();
    const auto index = static_cast<std::size_t>(n);
    const std::size_t count = engine.GetServerCount();
    if (index < count) {
        engine.RemoveServer(index);
    } else if (index - count < options.m_unresolvedServerLines.size()) {
        options.m_unresolvedServerLines.erase(options.m_unresolvedServerLines.begin() +
                                              static_cast<std::ptrdiff_t>(index - count));
    } else {
        std::fprintf(stderr, "quivern-get: there is no server %ld\n", n);
        return kExitFailed;
    }
    std::printf("removed server %ld\n", n);
    return kExitOk;
}

}  // namespace

int CmdServers(const Args& args) {
    RcPtr<CNntpCallback> engine(new CNntpCallback());
    CSavedOptions options;
    if (!options.Load(*engine)) {
        std::fprintf(stderr, "%s\n", Message(30000).c_str());
        return kExitUsage;
    }
    if (args.empty()) return List(options, *engine);
    int rc = kExitUsage;
    if (args[0] == "add") {
        rc = Add(args, *engine);
    } else if (args[0] == "remove") {
        rc = Remove(args, options, *engine);
    } else {
        return Usage();
    }
    if (rc == kExitOk && !options.Save()) {
        std::fprintf(stderr, "quivern-get: cannot write %s\n", options.m_configPath.c_str());
        return kExitFailed;
    }
    return rc;
}

}  // namespace quivern::get
