#include "nntp/server_entry.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

#include "platform/text.h"

namespace quivern {

CSmartAddr::~CSmartAddr() {
    if (m_list != nullptr) freeaddrinfo(m_list);
}

std::uint16_t CSmartAddr::FirstPort() const {
    if (m_list == nullptr || m_list->ai_addr == nullptr) return 0;
    if (m_list->ai_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(m_list->ai_addr)->sin_port);
    }
    if (m_list->ai_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(m_list->ai_addr)->sin6_port);
    }
    return 0;
}

RcPtr<CSmartAddr> CServerEntry::Resolve(std::string_view host, std::uint16_t port, int family) {
    if (host.empty()) return {};
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    const std::string h(host);
    const std::string service = std::to_string(port);
    if (getaddrinfo(h.c_str(), service.c_str(), &hints, &list) != 0 || list == nullptr) return {};
    return RcPtr<CSmartAddr>(new CSmartAddr(list));
}

bool CServerEntry::SetServer(std::string_view host, std::uint16_t port, bool useTls, std::string_view user,
                             std::string_view password) {
    m_host = std::string(host);
    m_user = std::string(user);
    m_password = std::string(password);
    m_useTls = useTls;
    m_family = 0;
    m_port = port;
    m_serverAddr = Resolve(host, port, m_family);
    m_valid = static_cast<bool>(m_serverAddr) && (m_proxyType == ProxyNone || m_proxyAddr);
    return static_cast<bool>(m_serverAddr);
}

bool CServerEntry::SetProxy(std::int32_t type, std::string_view host, std::uint16_t port,
                            std::string_view user, std::string_view password) {
    m_proxyType = type;
    if (type == ProxyNone) {
        m_proxyHost.clear();
        m_proxyUser.clear();
        m_proxyPassword.clear();
        m_proxyAddr = {};
        m_proxyPortConfigured = 0;
        m_valid = static_cast<bool>(m_serverAddr);
        return true;
    }
    m_proxyHost = std::string(host);
    m_proxyUser = std::string(user);
    m_proxyPassword = std::string(password);
    m_proxyPortConfigured = port;
    m_proxyAddr = Resolve(host, port, m_family);
    m_valid = static_cast<bool>(m_serverAddr) && static_cast<bool>(m_proxyAddr);
    if (!m_proxyAddr) m_valid = false;
    return static_cast<bool>(m_proxyAddr);
}

bool CServerEntry::MatchesAddress(std::string_view host, int port) const {
    if (!m_valid || !EqualsIgnoreCase(m_host, host)) return false;
    if (port == -1) return true;
    const std::uint16_t p = ServerPort();
    return p != 0 && p == port;
}

std::uint16_t CServerEntry::ServerPort() const {
    return m_serverAddr ? m_serverAddr->FirstPort() : 0;
}

std::uint16_t CServerEntry::ProxyPort() const {
    return m_proxyAddr ? m_proxyAddr->FirstPort() : 0;
}

}  // namespace quivern
