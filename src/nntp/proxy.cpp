// SOCKS4 and SOCKS5 negotiation on the freshly connected plain socket.

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <string>

#include "nntp/nntp_socket.h"
#include "platform/text.h"

namespace quivern {
namespace {

void AppendPort(std::string& out, std::uint16_t port) {
    out.push_back(static_cast<char>(port >> 8));
    out.push_back(static_cast<char>(port & 0xFF));
}

// Length of a complete SOCKS5 CONNECT reply, once its first five bytes are known.
std::size_t Socks5ReplyLength(std::string_view reply) {
    switch (static_cast<unsigned char>(reply[3])) {
        case 1:
            return 10;
        case 4:
            return 22;
        default:
            return static_cast<unsigned char>(reply[4]) + 7u;
    }
}

}  // namespace

// Every reply is read until the length the protocol gives for it is complete (or the peer closes
// or falls silent for the wait limit); bytes beyond the final reply are the start of the server's
// greeting and are kept for it.
bool CNntpSocket::NegotiateProxy() {
    switch (m_entry.ProxyKind()) {
        case ProxySocks4:
            return NegotiateSocks4();
        case ProxySocks5RemoteDns:
        case ProxySocks5:
            return NegotiateSocks5();
        default:
            m_error = kNntpNothingReceived;
            return false;
    }
}

bool CNntpSocket::NegotiateSocks4() {
    const CSmartAddr* server = m_entry.ServerAddress();
    const addrinfo* first = server ? server->List() : nullptr;
    if (first == nullptr || first->ai_family != AF_INET) {
        m_error = kNntpSocks;
        return false;
    }
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(first->ai_addr);
    std::string request;
    request.push_back(4);
    request.push_back(1);
    AppendPort(request, m_entry.ServerPort());
    request.append(reinterpret_cast<const char*>(&v4->sin_addr.s_addr), 4);
    AppendUtf8AsCp1252(m_entry.ProxyUser(), request);
    request.push_back('\0');
    if (!SendAll(request)) return false;

    std::size_t length = 0;
    const char* reply =
        ReceiveImpl(ReadRaw, nullptr, &length, [](std::string_view r) { return r.size() >= 8; });
    if (reply == nullptr) {
        if (m_error == kNntpNothingReceived || m_error == 0) m_error = kNntpNothingReceived;
        return false;
    }
    // Bytes past the reply are NUL-terminated, so a short reply fails the second check.
    if (reply[0] != 0 || static_cast<unsigned char>(reply[1]) != 90) {
        m_error = kNntpSocks;
        return false;
    }
    if (length > 8) m_early.assign(reply + 8, length - 8);
    return true;
}

bool CNntpSocket::NegotiateSocks5() {
    static const char kGreeting[] = {5, 2, 0, 2};
    if (!Send(kGreeting, sizeof(kGreeting))) return false;
    std::size_t length = 0;
    const char* reply =
        ReceiveImpl(ReadRaw, nullptr, &length, [](std::string_view r) { return r.size() >= 2; });
    if (reply == nullptr || length < 2 || reply[0] != 5) {
        m_error = kNntpSocks;
        return false;
    }
    const unsigned method = static_cast<unsigned char>(reply[1]);
    if (method == 255) {
        m_error = kNntpSocksNoMethod;
        return false;
    }
    if (method == 2) {
        if (m_entry.ProxyUser().empty() || m_entry.ProxyPassword().empty()) {
            m_error = kNntpSocksNoCredentials;
            return false;
        }
        const std::string user = Utf8ToCp1252(m_entry.ProxyUser());
        const std::string password = Utf8ToCp1252(m_entry.ProxyPassword());
        if (user.size() > 255 || password.size() > 255) {
            m_error = kNntpOutOfMemory;
            return false;
        }
        std::string request;
        request.push_back(1);
        request.push_back(static_cast<char>(user.size()));
        request += user;
        request.push_back(static_cast<char>(password.size()));
        request += password;
        if (!SendAll(request)) return false;
        reply = ReceiveImpl(ReadRaw, nullptr, &length, [](std::string_view r) { return r.size() >= 2; });
        if (reply == nullptr || length < 2) {
            m_error = kNntpSocksAuthReply;
            return false;
        }
        // The status byte of this reply is not examined: a proxy that refuses the login closes
        // the connection or fails the CONNECT that follows.
    }

    std::string request = {5, 1, 0};
    if (m_entry.ProxyKind() == ProxySocks5RemoteDns) {
        const std::string host = Utf8ToCp1252(m_entry.Host());
        if (host.size() > 255) {
            m_error = kNntpOutOfMemory;
            return false;
        }
        request.push_back(3);
        request.push_back(static_cast<char>(host.size()));
        request += host;
    } else {
        const CSmartAddr* server = m_entry.ServerAddress();
        const addrinfo* first = server ? server->List() : nullptr;
        if (first != nullptr && first->ai_family == AF_INET) {
            request.push_back(1);
            request.append(reinterpret_cast<const char*>(
                               &reinterpret_cast<const sockaddr_in*>(first->ai_addr)->sin_addr),
                           4);
        } else if (first != nullptr && first->ai_family == AF_INET6) {
            request.push_back(4);
            request.append(reinterpret_cast<const char*>(
                               &reinterpret_cast<const sockaddr_in6*>(first->ai_addr)->sin6_addr),
                           16);
        } else {
            m_error = kNntpNothingReceived;
            return false;
        }
    }
    AppendPort(request, m_entry.ServerPort());
    if (!SendAll(request)) return false;

    reply = ReceiveImpl(ReadRaw, nullptr, &length,
                        [](std::string_view r) { return r.size() >= 5 && r.size() >= Socks5ReplyLength(r); });
    if (reply == nullptr) {
        m_error = kNntpSocks;
        return false;
    }
    if (reply[1] != 0) {
        m_error = Socks5ReplyError(static_cast<unsigned char>(reply[1]));
        m_retryable = false;
        return false;
    }
    const std::size_t replyLength = length >= 5 ? Socks5ReplyLength(std::string_view(reply, length)) : length;
    if (length > replyLength) m_early.assign(reply + replyLength, length - replyLength);
    return true;
}

}  // namespace quivern
