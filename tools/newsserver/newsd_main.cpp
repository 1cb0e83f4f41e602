// quivern-newsd: the test news server as a program, for the demo and for scripts. Runs until
// SIGINT or SIGTERM.

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <string_view>

#include "newsserver/news_server.h"

using quivern::newsserver::NewsFaults;
using quivern::newsserver::NewsServer;
using quivern::newsserver::NewsServerOptions;

namespace {

const char kUsage[] =
    "Usage: quivern-newsd [options]\n"
    "  --listen ADDR            loopback address to listen on (default 127.0.0.1)\n"
    "  --port N                 plain NNTP port (default 0: any free port)\n"
    "  --no-plain               no plain listener\n"
    "  --tls-port N             TLS listener port (needs --cert and --key; 0: any free port)\n"
    "  --cert FILE --key FILE   PEM certificate (chain) and private key for TLS\n"
    "  --port-file FILE         write the bound ports as \"plain=N\" / \"tls=N\" lines\n"
    "  --articles DIR           serve the articles of DIR (see the index format in news_server.h)\n"
    "  --user U --password P    require AUTHINFO USER/PASS with these\n"
    "  --max-connections N      simultaneous connection limit (0: none)\n"
    "  --over-limit-status S    greeting for connections over the limit (default 502; 0: just close)\n"
    "  --greeting-status S      200 or 201\n"
    "Faults:\n"
    "  --refuse                 accept and close every connection at once\n"
    "  --close-after-bytes N    close a connection after sending N bytes\n"
    "  --stall-greeting SECS    wait before the greeting\n"
    "  --stall-article SECS     wait in the middle of every article\n"
    "  --status-for-id ID=S     answer status S for that <message-id> (repeatable)\n"
    "  --status-for-command C=S answer status S for command C, e.g. \"MODE READER=480\" (repeatable)\n"
    "  --no-status-greeting     greet without a status code\n"
    "  --unterminated keep|close  send articles without the terminator, then idle or close\n"
    "  --drip BYTES:MS          send at most BYTES every MS milliseconds\n"
    "  --print-commands         print the command lines received when the server stops\n";

bool ParseStatusPair(const std::string& text, std::map<std::string, int>* into) {
    const auto equals = text.rfind('=');
    if (equals == std::string::npos || equals == 0) {
        return false;
    }
    char* end = nullptr;
    const long status = std::strtol(text.c_str() + equals + 1, &end, 10);
    if (*end != '\0' || status < 100 || status > 599) {
        return false;
    }
    (*into)[text.substr(0, equals)] = static_cast<int>(status);
    return true;
}

bool ParseNumber(const std::string& text, long long* value) {
    char* end = nullptr;
    *value = std::strtoll(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0';
}

bool ParseSeconds(const std::string& text, double* value) {
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && *value >= 0;
}

bool WritePortFile(const std::string& path, const NewsServer& server, const NewsServerOptions& options) {
    // Written whole and renamed, so a script polling for the file never reads half of it.
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        if (options.plain) {
            out << "plain=" << server.Port() << "\n";
        }
        if (options.tls) {
            out << "tls=" << server.TlsPort() << "\n";
        }
        if (!out) {
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temporary, path, ec);
    return !ec;
}

}  // namespace

int main(int argc, char** argv) {
    NewsServerOptions options;
    NewsFaults faults;
    std::string portFile;
    std::string articles;
    bool printCommands = false;
    bool tlsPortGiven = false;

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) {
                std::cerr << "quivern-newsd: " << arg << " needs a value\n";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        std::string text;
        long long number = 0;
        bool ok = true;
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--listen") {
            ok = value(&options.listenAddress);
        } else if (arg == "--port") {
            ok = value(&text) && ParseNumber(text, &number) && number >= 0 && number <= 65535;
            options.plainPort = static_cast<int>(number);
        } else if (arg == "--no-plain") {
            options.plain = false;
        } else if (arg == "--tls-port") {
            ok = value(&text) && ParseNumber(text, &number) && number >= 0 && number <= 65535;
            options.tlsPort = static_cast<int>(number);
            tlsPortGiven = true;
        } else if (arg == "--cert") {
            ok = value(&options.certFile);
        } else if (arg == "--key") {
            ok = value(&options.keyFile);
        } else if (arg == "--port-file") {
            ok = value(&portFile);
        } else if (arg == "--articles") {
            ok = value(&articles);
        } else if (arg == "--user") {
            ok = value(&options.user);
        } else if (arg == "--password") {
            ok = value(&options.password);
        } else if (arg == "--max-connections") {
            ok = value(&text) && ParseNumber(text, &number) && number >= 0;
            options.maxConnections = static_cast<int>(number);
        } else if (arg == "--over-limit-status") {
            ok = value(&text) && ParseNumber(text, &number) &&
                 (number == 0 || (number >= 100 && number <= 599));
            options.overLimitStatus = static_cast<int>(number);
        } else if (arg == "--greeting-status") {
            ok = value(&text) && ParseNumber(text, &number) && number >= 100 && number <= 599;
            options.greetingStatus = static_cast<int>(number);
        } else if (arg == "--refuse") {
            faults.refuseConnections = true;
        } else if (arg == "--close-after-bytes") {
            ok = value(&text) && ParseNumber(text, &number) && number >= 0;
            faults.closeAfterBytes = number;
        } else if (arg == "--stall-greeting") {
            ok = value(&text) && ParseSeconds(text, &faults.stallBeforeGreetingSeconds);
        } else if (arg == "--stall-article") {
            ok = value(&text) && ParseSeconds(text, &faults.stallMidArticleSeconds);
        } else if (arg == "--status-for-id") {
            ok = value(&text) && ParseStatusPair(text, &faults.statusForMessageId);
        } else if (arg == "--status-for-command") {
            ok = value(&text) && ParseStatusPair(text, &faults.statusForCommand);
        } else if (arg == "--no-status-greeting") {
            faults.greetingWithoutStatus = true;
        } else if (arg == "--unterminated") {
            ok = value(&text) && (text == "keep" || text == "close");
            faults.unterminatedArticle =
                text == "keep" ? NewsFaults::Unterminated::KeepOpen : NewsFaults::Unterminated::Close;
        } else if (arg == "--drip") {
            ok = value(&text);
            const auto colon = text.find(':');
            long long bytes = 0, ms = 0;
            ok = ok && colon != std::string::npos && ParseNumber(text.substr(0, colon), &bytes) &&
                 ParseNumber(text.substr(colon + 1), &ms) && bytes > 0 && ms > 0;
            faults.dripBytes = static_cast<std::size_t>(bytes);
            faults.dripIntervalMs = static_cast<int>(ms);
        } else if (arg == "--print-commands") {
            printCommands = true;
        } else {
            std::cerr << "quivern-newsd: unknown option " << arg << "\n" << kUsage;
            return 2;
        }
        if (!ok) {
            std::cerr << "quivern-newsd: bad value for " << arg << "\n";
            return 2;
        }
    }
    options.tls = tlsPortGiven || !options.certFile.empty();
    if (options.tls && (options.certFile.empty() || options.keyFile.empty())) {
        std::cerr << "quivern-newsd: TLS needs --cert and --key\n";
        return 2;
    }

    // Block the stop signals before any thread starts, so every thread inherits the mask and
    // sigwait below is the only place they arrive.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    NewsServer server(options);
    server.SetFaults(faults);
    std::string error;
    if (!articles.empty()) {
        const int count = server.LoadFolder(articles, &error);
        if (count < 0) {
            std::cerr << "quivern-newsd: " << error << "\n";
            return 1;
        }
        std::cerr << "quivern-newsd: " << count << " articles from " << articles << "\n";
    }
    if (!server.Start(&error)) {
        std::cerr << "quivern-newsd: " << error << "\n";
        return 1;
    }
    if (options.plain) {
        std::cerr << "quivern-newsd: plain NNTP on " << options.listenAddress << ":" << server.Port() << "\n";
    }
    if (options.tls) {
        std::cerr << "quivern-newsd: TLS NNTP on " << options.listenAddress << ":" << server.TlsPort()
                  << "\n";
    }
    if (!portFile.empty() && !WritePortFile(portFile, server, options)) {
        std::cerr << "quivern-newsd: cannot write " << portFile << "\n";
        server.Stop();
        return 1;
    }

    int received = 0;
    sigwait(&stopSignals, &received);
    server.Stop();
    if (printCommands) {
        for (const auto& record : server.Connections()) {
            for (const auto& command : record.commands) {
                std::cout << record.id << " " << command << "\n";
            }
        }
    }
    return 0;
}
