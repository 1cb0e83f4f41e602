#pragma once
// A small NNTP server (RFC 3977 reader commands, RFC 4643 AUTHINFO USER/PASS) for the tests,
// the benchmarks and the demo. It listens on loopback only, plain and/or TLS from the first byte.
//
// Using it in a test:
//
//   NewsServerOptions options;            // port 0 = ephemeral; tls needs certFile/keyFile
//   options.user = "u"; options.password = "p";   // both set: every reading command needs AUTHINFO
//   NewsServer server(options);
//   server.AddArticle("<a1@x>", {"alt.binaries.test"}, "Subject: one\r\n", "body\r\n");
//   std::string error;
//   ASSERT_TRUE(server.Start(&error)) << error;
//   int port = server.Port();             // TlsPort() for the TLS listener
//   NewsFaults faults;                    // may be changed at any time, also while clients talk
//   faults.statusForMessageId["<a1@x>"] = 430;
//   server.SetFaults(faults);
//   ... the client under test connects to 127.0.0.1:port ...
//   auto records = server.Connections();  // per connection: command lines and raw bytes received
//   server.Stop();                        // also done by the destructor; closes every connection
//
// Articles come from memory (AddArticle, AddRawArticle) or from a folder (LoadFolder). Each is
// kept in its wire form (CRLF lines, dot-stuffed, terminator included) and sent with large writes;
// articles of a folder are read and converted on first request only.
//
// Threads: one accept thread plus one thread per connection. Start and Stop belong to the owner's
// thread; every other member may be called from any thread, also while clients are connected
// (articles added then are served from the next command on).

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quivern::newsserver {

class ArticleStore;

struct NewsServerOptions {
    // Loopback only: "127.0.0.1", another 127.x address, "::1" or "localhost".
    std::string listenAddress = "127.0.0.1";
    bool plain = true;
    int plainPort = 0;  // 0: the system picks a free port; read it with Port()
    bool tls = false;
    int tlsPort = 0;
    std::string certFile;  // PEM certificate (chain) and key of the TLS listener
    std::string keyFile;
    // Both non-empty: reading commands answer 480 until AUTHINFO USER/PASS succeeds. Otherwise
    // any AUTHINFO USER/PASS pair is accepted (381, then 281).
    std::string user;
    std::string password;
    // More simultaneous connections than this (0: no limit) get overLimitStatus as their greeting
    // and are closed; overLimitStatus 0 closes them without a word.
    int maxConnections = 0;
    int overLimitStatus = 502;
    int greetingStatus = 200;  // 200 (posting allowed) or 201
};

// What to do instead of the normal answer; every field is off by default.
struct NewsFaults {
    // Accept each connection and close it at once, before any byte (also before TLS).
    bool refuseConnections = false;
    // Close a connection once it has sent this many bytes (greeting included); -1: never.
    std::int64_t closeAfterBytes = -1;
    // Pause before the greeting (after the TLS handshake), and in the middle of every article
    // (ARTICLE and BODY answers: after half the text).
    double stallBeforeGreetingSeconds = 0;
    double stallMidArticleSeconds = 0;
    // Answer these statuses (430, 480, 502, 503, ...) instead: for ARTICLE/HEAD/BODY/STAT of
    // a message-id ("<id>" with brackets), or for a command. A command key matches a command line
    // that begins with it, ignoring case, at a word boundary ("GROUP", "MODE READER",
    // "AUTHINFO PASS"). Command keys are checked first.
    std::map<std::string, int> statusForMessageId;
    std::map<std::string, int> statusForCommand;
    // Greet with a line that has no status code.
    bool greetingWithoutStatus = false;
    // Send articles without the final ".\r\n"; then ignore the client and keep the connection
    // open until it closes (KeepOpen), or close it at once (Close).
    enum class Unterminated { None, KeepOpen, Close };
    Unterminated unterminatedArticle = Unterminated::None;
    // Slow drip: send at most dripBytes every dripIntervalMs (0: off). Applies to all output.
    std::size_t dripBytes = 0;
    int dripIntervalMs = 0;
};

// What one connection sent and got.
struct ConnectionRecord {
    int id = 0;
    bool tls = false;
    bool refused = false;               // closed at once by the refuseConnections fault
    bool overLimit = false;             // rejected by the connection limit
    bool tlsFailed = false;             // the TLS handshake did not complete
    bool closed = false;                // the connection has ended
    std::vector<std::string> commands;  // command lines as received, without the line end
    std::string received;               // raw bytes received (after TLS), capped at 1 MiB
    std::uint64_t bytesSent = 0;        // payload bytes (before TLS)
};

class NewsServer {
public:
    explicit NewsServer(NewsServerOptions options = {});
    ~NewsServer();
    NewsServer(const NewsServer&) = delete;
    NewsServer& operator=(const NewsServer&) = delete;

    // Binds the listeners and starts accepting. False with a reason when a listener cannot be
    // opened or the TLS certificate/key cannot be loaded.
    bool Start(std::string* error);
    // Closes the listeners and every connection and waits for all threads. Idempotent.
    void Stop();

    int Port() const { return m_plainPort; }
    int TlsPort() const { return m_tlsPort; }

    // headers: header lines without the blank separator line; body: the body text. Lines may end
    // in "\n" or "\r\n"; they are sent with "\r\n" and dot-stuffed. A message-id added again
    // replaces the article. The article gets the next number in each of its groups.
    void AddArticle(const std::string& messageId, const std::vector<std::string>& groups,
                    const std::string& headers, const std::string& body);
    // text is sent exactly as given between the status line and the terminator ".\r\n": no
    // line-end conversion, no dot-stuffing. For malformed articles.
    void AddRawArticle(const std::string& messageId, const std::vector<std::string>& groups,
                       const std::string& text);
    // A folder of article files (headers, blank line, body). An "index" file in it maps them:
    // one line "<message-id> file group[,group...]" per article ('#' starts a comment). Without
    // an index every regular file is read and its Message-ID and Newsgroups headers are used.
    // Returns the number of articles added, or -1 with a reason.
    int LoadFolder(const std::string& folder, std::string* error);

    void SetFaults(const NewsFaults& faults);
    NewsFaults Faults() const;

    // Snapshot of every connection accepted since Start (or the last ClearRecords).
    std::vector<ConnectionRecord> Connections() const;
    void ClearRecords();
    int ActiveConnections() const;
    int PeakConnections() const;  // most simultaneous accepted (not rejected) connections
    // Waits until at least `count` connections have been accepted (records), or the time-out.
    bool WaitForConnections(int count, int timeoutMs) const;

private:
    struct Connection;
    class Session;
    friend class Session;

    void AcceptLoop();
    void RunConnection(std::shared_ptr<Connection> connection);
    void ReapFinished(bool all);
    std::shared_ptr<const NewsFaults> CurrentFaults() const;
    // Sleeps, but returns early (false) when the server stops.
    bool SleepUnlessStopped(double seconds) const;

    NewsServerOptions m_options;
    std::unique_ptr<ArticleStore> m_store;
    void* m_sslContext = nullptr;  // SSL_CTX*, kept opaque so users need no OpenSSL headers

    int m_plainListener = -1;
    int m_tlsListener = -1;
    int m_wakeRead = -1;  // self-pipe that wakes the accept loop on Stop
    int m_wakeWrite = -1;
    int m_plainPort = 0;
    int m_tlsPort = 0;
    std::thread m_acceptThread;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stopping{false};

    mutable std::mutex m_mutex;  // guards everything below
    mutable std::condition_variable m_changed;
    std::shared_ptr<const NewsFaults> m_faults;
    std::vector<std::shared_ptr<Connection>> m_connections;  // live threads
    std::vector<std::shared_ptr<ConnectionRecord>> m_records;
    int m_nextId = 1;
    int m_active = 0;
    int m_peak = 0;
};

}  // namespace quivern::newsserver
