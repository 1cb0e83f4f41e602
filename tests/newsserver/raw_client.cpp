#include "raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace quivern::test {

RawClient::~RawClient() {
    Close();
}

void RawClient::Close() {
    if (m_ssl != nullptr) {
        SSL_free(m_ssl);
        m_ssl = nullptr;
    }
    if (m_context != nullptr) {
        SSL_CTX_free(m_context);
        m_context = nullptr;
    }
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

bool RawClient::Connect(int port) {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool RawClient::ConnectTls(int port, const std::string& caFile, const std::string& host) {
    if (!Connect(port)) {
        return false;
    }
    m_context = SSL_CTX_new(TLS_client_method());
    if (!caFile.empty()) {
        SSL_CTX_load_verify_locations(m_context, caFile.c_str(), nullptr);
    }
    SSL_CTX_set_verify(m_context, SSL_VERIFY_NONE, nullptr);
    m_ssl = SSL_new(m_context);
    if (!host.empty()) {
        SSL_set1_host(m_ssl, host.c_str());
    }
    SSL_set_fd(m_ssl, m_fd);
    if (SSL_connect(m_ssl) != 1) {
        return false;
    }
    m_verifyResult = SSL_get_verify_result(m_ssl);
    return true;
}

bool RawClient::Send(std::string_view text) {
    if (m_ssl != nullptr) {
        return SSL_write(m_ssl, text.data(), static_cast<int>(text.size())) == static_cast<int>(text.size());
    }
    while (!text.empty()) {
        const ssize_t n = send(m_fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool RawClient::Fill(int timeoutMs) {
    if (m_closed) {
        return false;
    }
    // Bytes TLS has already decrypted are not visible to poll.
    if (m_ssl == nullptr || SSL_pending(m_ssl) == 0) {
        pollfd item{m_fd, POLLIN, 0};
        if (poll(&item, 1, timeoutMs) <= 0) {
            return false;
        }
    }
    char buffer[65536];
    const long n =
        m_ssl != nullptr ? SSL_read(m_ssl, buffer, sizeof buffer) : recv(m_fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
        m_closed = true;
        return false;
    }
    m_pending.append(buffer, static_cast<std::size_t>(n));
    return true;
}

namespace {
int MsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    return left > 0 ? static_cast<int>(left) : 0;
}
}  // namespace

std::string RawClient::ReadLine(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto end = m_pending.find("\r\n");
        if (end != std::string::npos) {
            std::string line = m_pending.substr(0, end + 2);
            m_pending.erase(0, end + 2);
            return line;
        }
        if (!Fill(MsLeft(deadline))) {
            return {};
        }
    }
}

std::string RawClient::ReadMultiLine(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t searchFrom = 0;
    for (;;) {
        // The terminator may directly follow the status line, so search from its "\r\n".
        const auto end = m_pending.find("\r\n.\r\n", searchFrom);
        if (end != std::string::npos) {
            std::string block = m_pending.substr(0, end + 5);
            m_pending.erase(0, end + 5);
            return block;
        }
        searchFrom = m_pending.size() >= 4 ? m_pending.size() - 4 : 0;
        if (!Fill(MsLeft(deadline))) {
            std::string partial;
            partial.swap(m_pending);
            return partial;
        }
    }
}

std::string RawClient::ReadFor(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (MsLeft(deadline) > 0 && !m_closed) {
        Fill(MsLeft(deadline));
    }
    std::string text;
    text.swap(m_pending);
    return text;
}

std::string RawClient::ReadAvailable(int timeoutMs) {
    if (m_pending.empty()) {
        Fill(timeoutMs);
    }
    std::string text;
    text.swap(m_pending);
    return text;
}

bool RawClient::ReadUntilClosed(std::string* text, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!m_closed && MsLeft(deadline) > 0) {
        Fill(MsLeft(deadline));
    }
    text->swap(m_pending);
    m_pending.clear();
    return m_closed;
}

std::string Unstuff(std::string_view block) {
    std::string out;
    std::size_t pos = 0;
    while (pos < block.size()) {
        auto end = block.find("\r\n", pos);
        if (end == std::string_view::npos) {
            end = block.size();
        }
        std::string_view line = block.substr(pos, end - pos);
        if (line == ".") {
            break;
        }
        if (!line.empty() && line[0] == '.') {
            line.remove_prefix(1);
        }
        out.append(line);
        out += "\r\n";
        pos = end + 2;
    }
    return out;
}

}  // namespace quivern::test
