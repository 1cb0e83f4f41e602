// raw_fetch: the ceiling a download is measured against. Opens N connections to a news server,
// sends ARTICLE <id> for every segment of an NZB, reads each reply up to its CRLF.CRLF terminator
// and throws it away: no decoding, no files, no dot-unstuffing.
//
// Usage: raw_fetch FILE.nzb --server HOST:PORT [--tls] [--connections N] [--pipeline K]
//
// --tls speaks TLS from the first byte and accepts any certificate (a benchmark, not a client).
// --pipeline K keeps up to K commands in flight per connection (default 1: one command, one reply,
// the way the downloader talks to a server).
//
// Prints articles=, missing=, bytes= (every byte read from the sockets, status lines and
// terminators included), seconds= (from the first connect to the last byte), and last
// raw_fetch_MBps= (bytes / seconds / 10^6).

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

std::string XmlUnescape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '&') {
            out += s[i];
            continue;
        }
        const std::size_t semi = s.find(';', i);
        if (semi == std::string_view::npos) {
            out += s.substr(i);
            break;
        }
        const std::string_view entity = s.substr(i + 1, semi - i - 1);
        if (entity == "amp") {
            out += '&';
        } else if (entity == "lt") {
            out += '<';
        } else if (entity == "gt") {
            out += '>';
        } else if (entity == "quot") {
            out += '"';
        } else if (entity == "apos") {
            out += '\'';
        } else if (!entity.empty() && entity[0] == '#') {
            const bool hex = entity.size() > 1 && (entity[1] == 'x' || entity[1] == 'X');
            const long code =
                std::strtol(std::string(entity.substr(hex ? 2 : 1)).c_str(), nullptr, hex ? 16 : 10);
            out += static_cast<char>(code);  // message-ids are ASCII
        } else {
            out += s.substr(i, semi - i + 1);
        }
        i = semi;
    }
    return out;
}

// The text of every <segment ...>ID</segment> element, in file order. Deliberately simple: the
// postings this measures are well-formed, and a real XML parser would only add start-up time.
std::vector<std::string> ReadSegmentIds(const std::string& nzb) {
    std::vector<std::string> ids;
    std::size_t pos = 0;
    while ((pos = nzb.find("<segment", pos)) != std::string::npos) {
        const char after = pos + 8 < nzb.size() ? nzb[pos + 8] : '\0';
        if (after != ' ' && after != '>' && after != '\t' && after != '\n' && after != '\r') {
            pos += 8;  // <segments>
            continue;
        }
        const std::size_t open = nzb.find('>', pos);
        const std::size_t close = open == std::string::npos ? open : nzb.find("</segment>", open);
        if (close == std::string::npos) break;
        std::string id = XmlUnescape(std::string_view(nzb).substr(open + 1, close - open - 1));
        const std::size_t first = id.find_first_not_of(" \t\r\n");
        const std::size_t last = id.find_last_not_of(" \t\r\n");
        if (first != std::string::npos) {
            id = id.substr(first, last - first + 1);
            if (id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
            ids.push_back(std::move(id));
        }
        pos = close + 10;
    }
    return ids;
}

struct Options {
    std::string nzb;
    std::string host = "127.0.0.1";
    std::string port = "119";
    bool tls = false;
    int connections = 8;
    int pipeline = 1;
};

// One connection: a socket, and a TLS session on it when asked for.
class Connection {
public:
    ~Connection() {
        if (m_ssl != nullptr) SSL_free(m_ssl);
        if (m_fd >= 0) close(m_fd);
    }

    bool Open(const Options& o, SSL_CTX* ctx, std::string* error) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        if (const int rc = getaddrinfo(o.host.c_str(), o.port.c_str(), &hints, &list); rc != 0) {
            *error = gai_strerror(rc);
            return false;
        }
        for (addrinfo* a = list; a != nullptr && m_fd < 0; a = a->ai_next) {
            m_fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
            if (m_fd < 0) continue;
            if (connect(m_fd, a->ai_addr, a->ai_addrlen) != 0) {
                close(m_fd);
                m_fd = -1;
            }
        }
        freeaddrinfo(list);
        if (m_fd < 0) {
            *error = std::string("connect: ") + std::strerror(errno);
            return false;
        }
        const int one = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (ctx != nullptr) {
            m_ssl = SSL_new(ctx);
            SSL_set_fd(m_ssl, m_fd);
            SSL_set_tlsext_host_name(m_ssl, o.host.c_str());
            if (SSL_connect(m_ssl) != 1) {
                *error = "TLS handshake failed: " + std::string(ERR_error_string(ERR_get_error(), nullptr));
                return false;
            }
        }
        return true;
    }

    // Bytes read into buf, 0 at end of stream, negative on error.
    long Read(char* buf, std::size_t size) {
        if (m_ssl != nullptr) {
            const int n = SSL_read(m_ssl, buf, static_cast<int>(size));
            return n > 0 ? n : (SSL_get_error(m_ssl, n) == SSL_ERROR_ZERO_RETURN ? 0 : -1);
        }
        for (;;) {
            const ssize_t n = recv(m_fd, buf, size, 0);
            if (n < 0 && errno == EINTR) continue;
            return n;
        }
    }

    bool Write(std::string_view data) {
        while (!data.empty()) {
            long n;
            if (m_ssl != nullptr) {
                n = SSL_write(m_ssl, data.data(), static_cast<int>(data.size()));
            } else {
                n = send(m_fd, data.data(), data.size(), MSG_NOSIGNAL);
                if (n < 0 && errno == EINTR) continue;
            }
            if (n <= 0) return false;
            data.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

private:
    int m_fd = -1;
    SSL* m_ssl = nullptr;
};

// Reads replies off a connection. The buffer keeps only what has not been consumed; a multi-line
// reply is skipped chunk by chunk, carrying the last four bytes so a terminator split between two
// reads is still found.
class ReplyReader {
public:
    // `lastReplyOnly`: the server has been sent one command, so nothing follows the reply being
    // read and a complete terminator is always the last five bytes received.
    ReplyReader(Connection& c, bool lastReplyOnly)
        : m_conn(c), m_buf(kBufferSize), m_lastReplyOnly(lastReplyOnly) {}

    std::uint64_t BytesRead() const { return m_bytesRead; }

    // The status line (without CRLF) of the next reply.
    bool StatusLine(std::string* line) {
        for (;;) {
            const char* start = m_buf.data() + m_begin;
            const void* lf = std::memchr(start, '\n', m_end - m_begin);
            if (lf != nullptr) {
                const std::size_t len = static_cast<const char*>(lf) - start;
                line->assign(start, len > 0 && start[len - 1] == '\r' ? len - 1 : len);
                m_begin += len + 1;
                return true;
            }
            if (!Fill()) return false;
        }
    }

    // Skips a multi-line reply body up to and including the "." line. Called right after
    // StatusLine, whose CRLF is still in the buffer in front of m_begin: stepping back over it
    // makes ".\r\n" right after the status line (an empty body) a terminator like any other.
    bool SkipBody() {
        static constexpr char kEnd[] = "\r\n.\r\n";
        if (m_begin >= 2 && m_buf[m_begin - 2] == '\r' && m_buf[m_begin - 1] == '\n') m_begin -= 2;
        for (;;) {
            const char* base = m_buf.data();
            if (m_lastReplyOnly) {
                if (m_end - m_begin >= 5 && std::memcmp(base + m_end - 5, kEnd, 5) == 0) {
                    m_begin = m_end;
                    return true;
                }
                if (m_end - m_begin > 4) m_begin = m_end - 4;
                if (!Fill()) return false;
                continue;
            }
            const void* hit = memmem(base + m_begin, m_end - m_begin, kEnd, 5);
            if (hit != nullptr) {
                m_begin = static_cast<std::size_t>(static_cast<const char*>(hit) - base) + 5;
                return true;
            }
            // Keep only the last four bytes, which may start a terminator split between reads.
            if (m_end - m_begin > 4) m_begin = m_end - 4;
            if (!Fill()) return false;
        }
    }

private:
    static constexpr std::size_t kBufferSize = 1 << 20;

    // Moves the unconsumed bytes to the front and reads more after them.
    bool Fill() {
        if (m_begin > 0) {
            std::memmove(m_buf.data(), m_buf.data() + m_begin, m_end - m_begin);
            m_end -= m_begin;
            m_begin = 0;
        }
        if (m_end == m_buf.size()) m_buf.resize(m_buf.size() * 2);  // a status line longer than 1 MiB
        const long n = m_conn.Read(m_buf.data() + m_end, m_buf.size() - m_end);
        if (n <= 0) return false;
        m_end += static_cast<std::size_t>(n);
        m_bytesRead += static_cast<std::uint64_t>(n);
        return true;
    }

    Connection& m_conn;
    std::vector<char> m_buf;
    const bool m_lastReplyOnly;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
    std::uint64_t m_bytesRead = 0;
};

struct Totals {
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> fetched{0};
    std::atomic<std::size_t> missing{0};
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<bool> failed{false};
};

void RunConnection(const Options& o, SSL_CTX* ctx, const std::vector<std::string>& ids, Totals& t) {
    Connection conn;
    std::string error;
    if (!conn.Open(o, ctx, &error)) {
        std::fprintf(stderr, "raw_fetch: %s\n", error.c_str());
        t.failed = true;
        return;
    }
    ReplyReader reader(conn, o.pipeline == 1);
    std::string line;
    auto fail = [&](const char* what) {
        std::fprintf(stderr, "raw_fetch: %s (last line: %s)\n", what, line.c_str());
        t.failed = true;
    };
    if (!reader.StatusLine(&line) || (line.rfind("200", 0) != 0 && line.rfind("201", 0) != 0)) {
        fail("no greeting");
        return;
    }
    // Commands sent and not yet answered; the reply order is the command order.
    std::size_t inFlight = 0;
    bool drained = false;
    auto sendMore = [&]() {
        std::string batch;
        while (!drained && inFlight < static_cast<std::size_t>(o.pipeline)) {
            const std::size_t i = t.next.fetch_add(1);
            if (i >= ids.size()) {
                drained = true;
                break;
            }
            batch += "ARTICLE <" + ids[i] + ">\r\n";
            ++inFlight;
        }
        return batch.empty() || conn.Write(batch);
    };
    if (!sendMore()) {
        fail("write failed");
        return;
    }
    while (inFlight > 0) {
        if (!reader.StatusLine(&line)) {
            fail("connection closed");
            return;
        }
        if (line.rfind("220", 0) == 0) {
            if (!reader.SkipBody()) {
                fail("connection closed inside an article");
                return;
            }
            ++t.fetched;
        } else if (line.rfind("430", 0) == 0 || line.rfind("423", 0) == 0) {
            ++t.missing;
        } else {
            fail("unexpected reply");
            return;
        }
        --inFlight;
        if (!sendMore()) {
            fail("write failed");
            return;
        }
    }
    conn.Write("QUIT\r\n");
    t.bytes += reader.BytesRead();
}

int Usage() {
    std::fprintf(stderr,
                 "usage: raw_fetch FILE.nzb --server HOST:PORT [--tls] [--connections N] [--pipeline K]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--server" && v != nullptr) {
            const std::string s = v;
            const std::size_t colon = s.rfind(':');
            if (colon == std::string::npos) return Usage();
            o.host = s.substr(0, colon);
            if (o.host.size() > 2 && o.host.front() == '[') o.host = o.host.substr(1, o.host.size() - 2);
            o.port = s.substr(colon + 1);
            ++i;
        } else if (a == "--connections" && v != nullptr) {
            o.connections = std::atoi(v);
            ++i;
        } else if (a == "--pipeline" && v != nullptr) {
            o.pipeline = std::atoi(v);
            ++i;
        } else if (a == "--tls") {
            o.tls = true;
        } else if (a[0] != '-' && o.nzb.empty()) {
            o.nzb = a;
        } else {
            return Usage();
        }
    }
    if (o.nzb.empty() || o.connections < 1 || o.pipeline < 1) return Usage();

    std::ifstream in(o.nzb, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "raw_fetch: cannot read %s\n", o.nzb.c_str());
        return 1;
    }
    const std::string nzb((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::vector<std::string> ids = ReadSegmentIds(nzb);
    if (ids.empty()) {
        std::fprintf(stderr, "raw_fetch: no segments in %s\n", o.nzb.c_str());
        return 1;
    }

    SSL_CTX* ctx = nullptr;
    if (o.tls) {
        ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    }

    Totals totals;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < o.connections; ++c)
        threads.emplace_back(RunConnection, std::cref(o), ctx, std::cref(ids), std::ref(totals));
    for (auto& t : threads)
        t.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (ctx != nullptr) SSL_CTX_free(ctx);

    const std::size_t done = totals.fetched + totals.missing;
    std::printf("articles=%zu\nmissing=%zu\nbytes=%llu\nseconds=%.3f\n", totals.fetched.load(),
                totals.missing.load(), static_cast<unsigned long long>(totals.bytes.load()), seconds);
    if (totals.failed || done != ids.size()) {
        std::fprintf(stderr, "raw_fetch: %zu of %zu articles answered\n", done, ids.size());
        return 1;
    }
    std::printf("raw_fetch_MBps=%.1f\n", static_cast<double>(totals.bytes) / 1e6 / seconds);
    return 0;
}
