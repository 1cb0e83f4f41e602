#include "newsserver/news_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string_view>

#include "newsserver/article_store.h"

namespace quivern::newsserver {

namespace {

constexpr std::size_t kMaxLine = 64 * 1024;
constexpr std::size_t kMaxRecorded = 1024 * 1024;
// SSL_write takes an int; larger pieces are written in slices of this size.
constexpr std::size_t kTlsSlice = 1024 * 1024;

std::string Upper(std::string_view text) {
    std::string out(text);
    for (auto& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

bool StartsWithCommand(std::string_view upperLine, std::string_view upperKey) {
    return !upperKey.empty() && upperLine.substr(0, upperKey.size()) == upperKey &&
           (upperLine.size() == upperKey.size() || upperLine[upperKey.size()] == ' ');
}

std::string TextForStatus(int status) {
    switch (status) {
        case 200:
            return "Service available, posting allowed";
        case 201:
            return "Service available, posting prohibited";
        case 205:
            return "Connection closing";
        case 281:
            return "Authentication accepted";
        case 381:
            return "Password required";
        case 400:
            return "Service temporarily unavailable";
        case 411:
            return "No such newsgroup";
        case 412:
            return "No newsgroup selected";
        case 420:
            return "Current article number is invalid";
        case 423:
            return "No article with that number";
        case 430:
            return "No article with that message-id";
        case 480:
            return "Authentication required";
        case 481:
            return "Authentication failed";
        case 482:
            return "Authentication commands issued out of sequence";
        case 500:
            return "Unknown command";
        case 501:
            return "Syntax error";
        case 502:
            return "Access denied";
        case 503:
            return "Program fault";
        default:
            return "Status";
    }
}

std::string StatusLine(int status) {
    return std::to_string(status) + " " + TextForStatus(status) + "\r\n";
}

bool IsLoopback(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        const auto* in4 = reinterpret_cast<const sockaddr_in*>(address);
        return (ntohl(in4->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        return IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
    }
    return false;
}

// Opens a listening socket on a loopback address; returns the fd and the bound port.
int OpenListener(const std::string& host, int port, int* boundPort, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        *error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    std::string reason = "no loopback address for " + host;
    for (auto* ai = found; ai != nullptr; ai = ai->ai_next) {
        if (!IsLoopback(ai->ai_addr)) {
            continue;
        }
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            reason = std::string("socket: ") + std::strerror(errno);
            continue;
        }
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd, 128) != 0) {
            reason = "cannot listen on " + host + ":" + service + ": " + std::strerror(errno);
            close(fd);
            fd = -1;
            continue;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
        *boundPort = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                                 : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        break;
    }
    freeaddrinfo(found);
    if (fd < 0) {
        *error = reason;
    }
    return fd;
}

std::string OpenSslError() {
    std::string text;
    while (unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty()) {
            text += "; ";
        }
        text += buffer;
    }
    return text;
}

}  // namespace

struct NewsServer::Connection {
    int fd = -1;  // closed and set to -1 under the server mutex
    bool tls = false;
    bool overLimit = false;
    std::shared_ptr<ConnectionRecord> record;
    std::thread thread;
    std::atomic<bool> finished{false};
};

// The dialogue of one connection; lives on that connection's thread.
class NewsServer::Session {
public:
    Session(NewsServer& server, Connection& connection) : m_server(server), m_conn(connection) {}
    ~Session() {
        if (m_ssl != nullptr) {
            SSL_free(m_ssl);
        }
    }
    void Run();

private:
    bool Send(std::initializer_list<std::string_view> pieces);
    bool WriteAll(const char* data, std::size_t size);
    bool WritePieces(std::vector<std::string_view> pieces);
    bool ReadLine(std::string* line);
    long ReadSome(char* buffer, std::size_t size);
    void Record(const char* data, std::size_t size);
    void DrainUntilClosed();
    // Each returns false when the connection has to end.
    bool Dispatch(const std::string& line);
    bool Reply(int status) { return Send({StatusLine(status)}); }
    bool ArticleCommand(const std::string& keyword, const std::string& argument);
    bool SendArticleText(const std::string& statusLine, std::string_view text, bool hasTerminator,
                         bool stallable);
    bool NeedsAuth() const {
        return !m_server.m_options.user.empty() && !m_server.m_options.password.empty() && !m_authenticated;
    }

    NewsServer& m_server;
    Connection& m_conn;
    SSL* m_ssl = nullptr;
    std::shared_ptr<const NewsFaults> m_faults;  // snapshot taken per command
    std::string m_input;
    std::size_t m_inputPos = 0;
    std::uint64_t m_sent = 0;
    bool m_dead = false;  // the connection was cut by a fault; nothing more is sent
    bool m_authenticated = false;
    bool m_haveUser = false;
    std::string m_user;
    std::string m_group;
    std::int64_t m_current = 0;  // current article number in m_group; 0 = none
};

void NewsServer::Session::Record(const char* data, std::size_t size) {
    std::lock_guard lock(m_server.m_mutex);
    auto& received = m_conn.record->received;
    received.append(data, std::min(size, kMaxRecorded - std::min(kMaxRecorded, received.size())));
}

long NewsServer::Session::ReadSome(char* buffer, std::size_t size) {
    if (m_ssl != nullptr) {
        const int n = SSL_read(m_ssl, buffer, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
        return n > 0 ? n : -1;
    }
    for (;;) {
        const ssize_t n = recv(m_conn.fd, buffer, size, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n > 0 ? static_cast<long>(n) : -1;
    }
}

bool NewsServer::Session::ReadLine(std::string* line) {
    for (;;) {
        const auto newline = m_input.find('\n', m_inputPos);
        if (newline != std::string::npos) {
            std::size_t end = newline;
            if (end > m_inputPos && m_input[end - 1] == '\r') {
                --end;
            }
            line->assign(m_input, m_inputPos, end - m_inputPos);
            m_inputPos = newline + 1;
            return true;
        }
        if (m_inputPos > 0) {
            m_input.erase(0, m_inputPos);
            m_inputPos = 0;
        }
        if (m_input.size() > kMaxLine) {
            return false;
        }
        char buffer[16384];
        const long n = ReadSome(buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        Record(buffer, static_cast<std::size_t>(n));
        m_input.append(buffer, static_cast<std::size_t>(n));
    }
}

void NewsServer::Session::DrainUntilClosed() {
    char buffer[16384];
    for (;;) {
        const long n = ReadSome(buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        Record(buffer, static_cast<std::size_t>(n));
    }
}

bool NewsServer::Session::WriteAll(const char* data, std::size_t size) {
    while (size > 0) {
        if (m_ssl != nullptr) {
            const int n = SSL_write(m_ssl, data, static_cast<int>(std::min(size, kTlsSlice)));
            if (n <= 0) {
                return false;
            }
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        const ssize_t n = send(m_conn.fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool NewsServer::Session::WritePieces(std::vector<std::string_view> pieces) {
    if (m_ssl != nullptr) {
        for (auto piece : pieces) {
            if (!WriteAll(piece.data(), piece.size())) {
                return false;
            }
        }
        return true;
    }
    // One gathered write, so a status line and its article leave in the same segments.
    std::vector<iovec> vectors;
    for (auto piece : pieces) {
        if (!piece.empty()) {
            vectors.push_back(iovec{const_cast<char*>(piece.data()), piece.size()});
        }
    }
    std::size_t index = 0;
    while (index < vectors.size()) {
        msghdr message{};
        message.msg_iov = vectors.data() + index;
        message.msg_iovlen = std::min<std::size_t>(vectors.size() - index, IOV_MAX);
        const ssize_t n = sendmsg(m_conn.fd, &message, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        auto left = static_cast<std::size_t>(n);
        while (index < vectors.size() && left >= vectors[index].iov_len) {
            left -= vectors[index].iov_len;
            ++index;
        }
        if (index < vectors.size()) {
            vectors[index].iov_base = static_cast<char*>(vectors[index].iov_base) + left;
            vectors[index].iov_len -= left;
        }
    }
    return true;
}

bool NewsServer::Session::Send(std::initializer_list<std::string_view> pieces) {
    if (m_dead) {
        return false;
    }
    const NewsFaults& faults = *m_faults;
    std::vector<std::string_view> out(pieces);
    bool cut = false;
    if (faults.closeAfterBytes >= 0) {
        std::uint64_t allowed = static_cast<std::uint64_t>(faults.closeAfterBytes);
        allowed = allowed > m_sent ? allowed - m_sent : 0;
        for (auto& piece : out) {
            if (piece.size() > allowed) {
                piece = piece.substr(0, allowed);
                cut = true;
            }
            allowed -= piece.size();
        }
    }
    std::uint64_t total = 0;
    for (auto piece : out) {
        total += piece.size();
    }
    bool ok = true;
    if (faults.dripBytes > 0 && faults.dripIntervalMs > 0) {
        // The drip settings are read again for every chunk, so a test can speed up or end a
        // drip that is under way.
        bool first = true;
        for (auto piece : out) {
            while (ok && !piece.empty()) {
                const auto current = m_server.CurrentFaults();
                std::size_t n = piece.size();
                if (current->dripBytes > 0 && current->dripIntervalMs > 0) {
                    if (!first && !m_server.SleepUnlessStopped(current->dripIntervalMs / 1000.0)) {
                        ok = false;
                        break;
                    }
                    n = std::min(n, current->dripBytes);
                }
                first = false;
                ok = WriteAll(piece.data(), n);
                piece.remove_prefix(n);
            }
        }
    } else {
        ok = WritePieces(std::move(out));
    }
    m_sent += total;
    {
        std::lock_guard lock(m_server.m_mutex);
        m_conn.record->bytesSent = m_sent;
    }
    if (cut || !ok) {
        m_dead = true;
        return false;
    }
    return true;
}

void NewsServer::Session::Run() {
    m_faults = m_server.CurrentFaults();
    if (m_conn.tls) {
        m_ssl = SSL_new(static_cast<SSL_CTX*>(m_server.m_sslContext));
        if (m_ssl == nullptr || SSL_set_fd(m_ssl, m_conn.fd) != 1 || SSL_accept(m_ssl) != 1) {
            ERR_clear_error();
            std::lock_guard lock(m_server.m_mutex);
            m_conn.record->tlsFailed = true;
            return;
        }
    }
    if (m_faults->stallBeforeGreetingSeconds > 0 &&
        !m_server.SleepUnlessStopped(m_faults->stallBeforeGreetingSeconds)) {
        return;
    }
    if (m_conn.overLimit) {
        if (m_server.m_options.overLimitStatus != 0) {
            Send({std::to_string(m_server.m_options.overLimitStatus) + " Too many connections\r\n"});
        }
        return;
    }
    const bool greeted = m_faults->greetingWithoutStatus
                             ? Send({"Quivern test news server ready\r\n"})
                             : Send({std::to_string(m_server.m_options.greetingStatus) +
                                     " Quivern test news server ready\r\n"});
    if (!greeted) {
        return;
    }
    std::string line;
    while (ReadLine(&line)) {
        {
            std::lock_guard lock(m_server.m_mutex);
            m_conn.record->commands.push_back(line);
        }
        m_faults = m_server.CurrentFaults();
        if (!Dispatch(line)) {
            break;
        }
    }
    if (m_ssl != nullptr && !m_dead) {
        SSL_shutdown(m_ssl);
    }
}

bool NewsServer::Session::Dispatch(const std::string& line) {
    const std::string upper = Upper(line);
    for (const auto& [key, status] : m_faults->statusForCommand) {
        if (StartsWithCommand(upper, Upper(key))) {
            return Reply(status);
        }
    }
    const auto space = line.find(' ');
    const std::string keyword = upper.substr(0, space);
    std::string argument = space == std::string::npos ? std::string() : line.substr(space + 1);
    while (!argument.empty() && argument.front() == ' ') {
        argument.erase(0, 1);
    }
    while (!argument.empty() && argument.back() == ' ') {
        argument.pop_back();
    }

    if (keyword == "QUIT") {
        Reply(205);
        return false;
    }
    if (keyword == "CAPABILITIES") {
        std::string text =
            "101 Capability list:\r\nVERSION 2\r\nIMPLEMENTATION Quivern test news server\r\nREADER\r\n";
        if (!m_authenticated) {
            text += "AUTHINFO USER\r\n";
        }
        text += ".\r\n";
        return Send({text});
    }
    if (keyword == "MODE") {
        if (Upper(argument) != "READER") {
            return Reply(501);
        }
        return Send({std::to_string(m_server.m_options.greetingStatus) + " Reader mode\r\n"});
    }
    if (keyword == "DATE") {
        const std::time_t now = std::time(nullptr);
        std::tm utc{};
        gmtime_r(&now, &utc);
        char text[32];
        std::strftime(text, sizeof text, "111 %Y%m%d%H%M%S\r\n", &utc);
        return Send({text});
    }
    if (keyword == "HELP") {
        return Send(
            {"100 Help text follows\r\nARTICLE BODY CAPABILITIES DATE GROUP HEAD LIST MODE QUIT "
             "STAT\r\n.\r\n"});
    }
    if (keyword == "AUTHINFO") {
        const auto sub = argument.find(' ');
        const std::string which = Upper(argument.substr(0, sub));
        const std::string value = sub == std::string::npos ? std::string() : argument.substr(sub + 1);
        if ((which != "USER" && which != "PASS") || value.empty()) {
            return Reply(501);
        }
        if (m_authenticated) {
            return Reply(502);
        }
        if (which == "USER") {
            m_user = value;
            m_haveUser = true;
            return Reply(381);
        }
        if (!m_haveUser) {
            return Reply(482);
        }
        m_haveUser = false;
        const auto& options = m_server.m_options;
        const bool required = !options.user.empty() && !options.password.empty();
        if (required && (m_user != options.user || value != options.password)) {
            return Reply(481);
        }
        m_authenticated = true;
        return Reply(281);
    }

    const bool reading = keyword == "GROUP" || keyword == "LIST" || keyword == "ARTICLE" ||
                         keyword == "HEAD" || keyword == "BODY" || keyword == "STAT";
    if (!reading) {
        return Reply(500);
    }
    if (NeedsAuth()) {
        return Reply(480);
    }
    if (keyword == "GROUP") {
        ArticleStore::GroupInfo info;
        if (argument.empty() || argument.find(' ') != std::string::npos) {
            return Reply(501);
        }
        if (!m_server.m_store->Group(argument, &info)) {
            return Reply(411);
        }
        m_group = argument;
        m_current = info.count > 0 ? info.low : 0;
        return Send({"211 " + std::to_string(info.count) + " " + std::to_string(info.low) + " " +
                     std::to_string(info.high) + " " + argument + "\r\n"});
    }
    if (keyword == "LIST") {
        const auto which = Upper(argument);
        if (!which.empty() && which != "ACTIVE") {
            return Reply(501);
        }
        std::string text = "215 list of newsgroups follows\r\n";
        for (const auto& [name, info] : m_server.m_store->Groups()) {
            text += name + " " + std::to_string(info.high) + " " + std::to_string(info.low) + " n\r\n";
        }
        text += ".\r\n";
        return Send({text});
    }
    return ArticleCommand(keyword, argument);
}

bool NewsServer::Session::ArticleCommand(const std::string& keyword, const std::string& argument) {
    std::shared_ptr<ArticleStore::Entry> entry;
    std::int64_t number = 0;
    if (!argument.empty() && argument.front() == '<') {
        if (argument.back() != '>' || argument.find(' ') != std::string::npos) {
            return Reply(501);
        }
        entry = m_server.m_store->Find(argument);
        if (entry == nullptr && m_faults->statusForMessageId.count(argument) == 0) {
            return Reply(430);
        }
    } else {
        if (!argument.empty()) {
            if (argument.size() > 15 || argument.find_first_not_of("0123456789") != std::string::npos) {
                return Reply(501);
            }
            number = std::stoll(argument);
        }
        if (m_group.empty()) {
            return Reply(412);
        }
        if (argument.empty()) {
            if (m_current == 0) {
                return Reply(420);
            }
            number = m_current;
        }
        entry = m_server.m_store->FindByNumber(m_group, number);
        if (entry == nullptr) {
            return Reply(argument.empty() ? 420 : 423);
        }
        m_current = number;
    }
    const std::string messageId = entry != nullptr ? entry->messageId : argument;
    if (auto fault = m_faults->statusForMessageId.find(messageId);
        fault != m_faults->statusForMessageId.end()) {
        return Reply(fault->second);
    }
    const std::string reference = " " + std::to_string(number) + " " + messageId + "\r\n";
    if (keyword == "STAT") {
        return Send({"223" + reference});
    }
    auto wire = ArticleStore::Wire(*entry);
    if (wire == nullptr) {
        return Reply(503);
    }
    const std::string_view text = wire->text;
    if (keyword == "HEAD") {
        return SendArticleText("221" + reference, text.substr(0, wire->headEnd), false, false);
    }
    if (keyword == "BODY") {
        return SendArticleText("222" + reference, text.substr(wire->bodyStart), true, true);
    }
    return SendArticleText("220" + reference, text, true, true);
}

// text either ends with the terminator already (ARTICLE, BODY: a slice of the cached wire form)
// or gets one appended (HEAD).
bool NewsServer::Session::SendArticleText(const std::string& statusLine, std::string_view text,
                                          bool hasTerminator, bool stallable) {
    const NewsFaults faults = *m_faults;
    const bool unterminated = faults.unterminatedArticle != NewsFaults::Unterminated::None;
    std::string_view terminator = hasTerminator ? std::string_view() : std::string_view(".\r\n");
    if (unterminated) {
        if (hasTerminator) {
            text.remove_suffix(3);
        }
        terminator = {};
    }
    bool ok;
    if (stallable && faults.stallMidArticleSeconds > 0) {
        const auto half = text.size() / 2;
        ok = Send({statusLine, text.substr(0, half)}) &&
             m_server.SleepUnlessStopped(faults.stallMidArticleSeconds) &&
             Send({text.substr(half), terminator});
    } else {
        ok = Send({statusLine, text, terminator});
    }
    if (!ok) {
        return false;
    }
    if (unterminated) {
        if (faults.unterminatedArticle == NewsFaults::Unterminated::KeepOpen) {
            DrainUntilClosed();
        }
        return false;
    }
    return true;
}

NewsServer::NewsServer(NewsServerOptions options)
    : m_options(std::move(options)),
      m_store(std::make_unique<ArticleStore>()),
      m_faults(std::make_shared<const NewsFaults>()) {}

NewsServer::~NewsServer() {
    Stop();
    if (m_sslContext != nullptr) {
        SSL_CTX_free(static_cast<SSL_CTX*>(m_sslContext));
    }
}

bool NewsServer::Start(std::string* error) {
    std::string ignored;
    if (error == nullptr) {
        error = &ignored;
    }
    if (m_running) {
        *error = "already started";
        return false;
    }
    if (!m_options.plain && !m_options.tls) {
        *error = "neither a plain nor a TLS listener is enabled";
        return false;
    }
    if (m_options.tls && m_sslContext == nullptr) {
        SSL_CTX* context = SSL_CTX_new(TLS_server_method());
        if (context == nullptr ||
            SSL_CTX_use_certificate_chain_file(context, m_options.certFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(context, m_options.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(context) != 1) {
            *error = "cannot load TLS certificate " + m_options.certFile + " / key " + m_options.keyFile +
                     ": " + OpenSslError();
            SSL_CTX_free(context);
            return false;
        }
        m_sslContext = context;
    }
    auto closeAll = [this] {
        for (int* fd : {&m_plainListener, &m_tlsListener, &m_wakeRead, &m_wakeWrite}) {
            if (*fd >= 0) {
                close(*fd);
                *fd = -1;
            }
        }
    };
    if (m_options.plain && (m_plainListener = OpenListener(m_options.listenAddress, m_options.plainPort,
                                                           &m_plainPort, error)) < 0) {
        closeAll();
        return false;
    }
    if (m_options.tls &&
        (m_tlsListener = OpenListener(m_options.listenAddress, m_options.tlsPort, &m_tlsPort, error)) < 0) {
        closeAll();
        return false;
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        closeAll();
        return false;
    }
    m_wakeRead = pipeFds[0];
    m_wakeWrite = pipeFds[1];
    m_stopping = false;
    m_running = true;
    m_acceptThread = std::thread([this] { AcceptLoop(); });
    return true;
}

void NewsServer::Stop() {
    if (!m_running.exchange(false)) {
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    const char byte = 0;
    [[maybe_unused]] auto written = write(m_wakeWrite, &byte, 1);
    m_acceptThread.join();
    {
        // Shutting a socket down wakes the thread blocked on it; the thread closes it.
        std::lock_guard lock(m_mutex);
        for (auto& connection : m_connections) {
            if (connection->fd >= 0) {
                shutdown(connection->fd, SHUT_RDWR);
            }
        }
    }
    ReapFinished(true);
    for (int* fd : {&m_plainListener, &m_tlsListener, &m_wakeRead, &m_wakeWrite}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

void NewsServer::AcceptLoop() {
    std::vector<pollfd> fds;
    fds.push_back({m_wakeRead, POLLIN, 0});
    if (m_plainListener >= 0) {
        fds.push_back({m_plainListener, POLLIN, 0});
    }
    if (m_tlsListener >= 0) {
        fds.push_back({m_tlsListener, POLLIN, 0});
    }
    for (;;) {
        for (auto& item : fds) {
            item.revents = 0;
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[0].revents != 0 || m_stopping) {
            return;
        }
        ReapFinished(false);
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0) {
                continue;
            }
            const int fd = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            auto record = std::make_shared<ConnectionRecord>();
            record->tls = fds[i].fd == m_tlsListener;
            const auto faults = CurrentFaults();
            std::unique_lock lock(m_mutex);
            record->id = m_nextId++;
            m_records.push_back(record);
            if (faults->refuseConnections) {
                record->refused = true;
                record->closed = true;
                close(fd);
                lock.unlock();
                m_changed.notify_all();
                continue;
            }
            auto connection = std::make_shared<Connection>();
            connection->fd = fd;
            connection->tls = record->tls;
            connection->record = record;
            connection->overLimit = m_options.maxConnections > 0 && m_active >= m_options.maxConnections;
            record->overLimit = connection->overLimit;
            if (!connection->overLimit) {
                ++m_active;
                m_peak = std::max(m_peak, m_active);
            }
            m_connections.push_back(connection);
            connection->thread = std::thread([this, connection] { RunConnection(connection); });
            lock.unlock();
            m_changed.notify_all();
        }
    }
}

void NewsServer::RunConnection(std::shared_ptr<Connection> connection) {
    // TLS writes go through write(2), which raises SIGPIPE on a closed peer; blocked here, the
    // signal stays with this thread and is dropped when it ends, and the write fails with EPIPE.
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, nullptr);
    {
        Session session(*this, *connection);
        session.Run();
    }
    {
        std::lock_guard lock(m_mutex);
        close(connection->fd);
        connection->fd = -1;
        connection->record->closed = true;
        if (!connection->overLimit) {
            --m_active;
        }
    }
    connection->finished = true;
    m_changed.notify_all();
}

void NewsServer::ReapFinished(bool all) {
    std::vector<std::shared_ptr<Connection>> done;
    {
        std::lock_guard lock(m_mutex);
        auto keep = std::partition(m_connections.begin(), m_connections.end(),
                                   [all](const auto& c) { return !all && !c->finished; });
        done.assign(keep, m_connections.end());
        m_connections.erase(keep, m_connections.end());
    }
    for (auto& connection : done) {
        connection->thread.join();
    }
}

std::shared_ptr<const NewsFaults> NewsServer::CurrentFaults() const {
    std::lock_guard lock(m_mutex);
    return m_faults;
}

bool NewsServer::SleepUnlessStopped(double seconds) const {
    std::unique_lock lock(m_mutex);
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                               std::chrono::duration<double>(seconds));
    return !m_changed.wait_until(lock, until, [this] { return m_stopping.load(); });
}

void NewsServer::AddArticle(const std::string& messageId, const std::vector<std::string>& groups,
                            const std::string& headers, const std::string& body) {
    std::string article = headers;
    if (!article.empty() && article.back() != '\n') {
        article += "\r\n";
    }
    article += "\r\n";
    article += body;
    m_store->Add(messageId, groups, std::make_shared<const WireArticle>(ConvertToWire(article)));
}

void NewsServer::AddRawArticle(const std::string& messageId, const std::vector<std::string>& groups,
                               const std::string& text) {
    m_store->Add(messageId, groups, std::make_shared<const WireArticle>(RawToWire(text)));
}

int NewsServer::LoadFolder(const std::string& folder, std::string* error) {
    std::string ignored;
    return m_store->LoadFolder(folder, error != nullptr ? error : &ignored);
}

void NewsServer::SetFaults(const NewsFaults& faults) {
    auto copy = std::make_shared<const NewsFaults>(faults);
    std::lock_guard lock(m_mutex);
    m_faults = std::move(copy);
}

NewsFaults NewsServer::Faults() const {
    return *CurrentFaults();
}

std::vector<ConnectionRecord> NewsServer::Connections() const {
    std::lock_guard lock(m_mutex);
    std::vector<ConnectionRecord> copy;
    copy.reserve(m_records.size());
    for (const auto& record : m_records) {
        copy.push_back(*record);
    }
    return copy;
}

void NewsServer::ClearRecords() {
    std::lock_guard lock(m_mutex);
    m_records.clear();
}

int NewsServer::ActiveConnections() const {
    std::lock_guard lock(m_mutex);
    return m_active;
}

int NewsServer::PeakConnections() const {
    std::lock_guard lock(m_mutex);
    return m_peak;
}

bool NewsServer::WaitForConnections(int count, int timeoutMs) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return static_cast<int>(m_records.size()) >= count; });
}

}  // namespace quivern::newsserver
