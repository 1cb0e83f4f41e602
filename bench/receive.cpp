// Receive throughput of one connection fetching large articles from the local news server
// (in-process, loopback): over TLS first when the test certificates can be made, then plain.
// Prints name=value lines; the plain figure comes last.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "newsserver/news_server.h"
#include "nntp/nntp_callback.h"
#include "nntp/nntp_socket.h"

using namespace quivern;

namespace {

constexpr int kArticles = 20;
constexpr std::size_t kArticleBytes = 50u * 1024 * 1024;

std::string MakeBody() {
    // yEnc-like lines of 128 characters; every 64th line starts with a dot to be stuffed.
    std::string body;
    body.reserve(kArticleBytes + 256);
    for (int i = 0; body.size() < kArticleBytes; ++i) {
        std::string line(128, static_cast<char>('!' + i % 90));
        if (i % 64 == 0) line[0] = '.';
        body += line;
        body += "\r\n";
    }
    return body;
}

// MB/s of fetching the article `count` times over one connection; negative on failure.
double Measure(int port, bool tls, int count) {
    CServerEntry entry;
    if (!entry.SetServer("localhost", static_cast<std::uint16_t>(port), tls, "", "")) return -1;
    RcPtr<CNntpCallback> owner(new CNntpCallback());
    owner->ReplaceServers({entry});
    RcPtr<CNntpSocket> socket(new CNntpSocket(owner.get()));
    if (!socket->Open()) {
        std::fprintf(stderr, "open failed: %d\n", socket->Error());
        return -1;
    }
    std::size_t bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        std::string_view article;
        if (!socket->FetchArticle("alt.bench", "big@bench", nullptr, &article)) {
            std::fprintf(stderr, "fetch failed: %d\n", socket->Error());
            return -1;
        }
        bytes += article.size();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    socket->Close();
    return static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds;
}

}  // namespace

int main() {
    const std::string body = MakeBody();
    std::printf("articles=%d\narticle_bytes=%zu\n", kArticles, body.size());

    // Certificates for the TLS listener, trusted through QUIVERN_CA_FILE.
    char folderTemplate[] = "/tmp/quivern-bench-certs-XXXXXX";
    const char* folder = mkdtemp(folderTemplate);
    bool tls = false;
    if (folder != nullptr) {
        const std::string command =
            std::string(QUIVERN_SOURCE_DIR) + "/scripts/make-test-certs.sh " + folder + " >/dev/null";
        tls = std::system(command.c_str()) == 0;
        if (tls) setenv("QUIVERN_CA_FILE", (std::string(folder) + "/ca.pem").c_str(), 1);
    }

    newsserver::NewsServerOptions options;
    options.tls = tls;
    if (tls) {
        options.certFile = std::string(folder) + "/server.pem";
        options.keyFile = std::string(folder) + "/server.key";
    }
    newsserver::NewsServer server(options);
    server.AddArticle("<big@bench>", {"alt.bench"}, "Subject: bench", body);
    std::string error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "news server: %s\n", error.c_str());
        return 1;
    }
    if (tls) {
        const double tlsRate = Measure(server.TlsPort(), true, kArticles);
        if (tlsRate > 0) std::printf("article_receive_tls_MBps=%.1f\n", tlsRate);
    }
    const double rate = Measure(server.Port(), false, kArticles);
    if (folder != nullptr) std::system((std::string("rm -rf ") + folder).c_str());
    if (rate <= 0) return 1;
    std::printf("article_receive_MBps=%.1f\n", rate);
    return 0;
}
