#pragma once
// One configured news server, with its addresses resolved once when the entry is made.

#include <netdb.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/refcounted.h"

namespace quivern {

// A shared, reference-counted resolver result (order kept as the resolver returned it).
class CSmartAddr final : public CEasyRCBase {
public:
    explicit CSmartAddr(addrinfo* list) : m_list(list) {}
    ~CSmartAddr() override;
    const addrinfo* List() const { return m_list; }
    // Port of the first address when it is IPv4 or IPv6, else 0.
    std::uint16_t FirstPort() const;

private:
    addrinfo* m_list;
};

enum ProxyType : std::int32_t {
    ProxyNone = 0,
    ProxySocks5RemoteDns = 1,  // SOCKS v5; the proxy resolves the server name
    ProxySocks5 = 2,           // SOCKS v5; the server address is resolved here
    ProxySocks4 = 3,
};

// A value type: copying copies the strings and shares the resolved addresses.
class CServerEntry {
public:
    CServerEntry() = default;

    // Stores the strings and resolves host and port. False (and the entry invalid) when the
    // host is empty or cannot be resolved.
    bool SetServer(std::string_view host, std::uint16_t port, bool useTls, std::string_view user,
                   std::string_view password);
    // Type 0 drops the proxy; any other type stores the strings and resolves the proxy.
    bool SetProxy(std::int32_t type, std::string_view host, std::uint16_t port, std::string_view user,
                  std::string_view password);
    // Host equal ignoring case, and port -1 or equal to the first resolved address's port.
    bool MatchesAddress(std::string_view host, int port) const;

    const std::string& Host() const { return m_host; }
    const std::string& User() const { return m_user; }
    const std::string& Password() const { return m_password; }
    const std::string& ProxyHost() const { return m_proxyHost; }
    const std::string& ProxyUser() const { return m_proxyUser; }
    const std::string& ProxyPassword() const { return m_proxyPassword; }
    std::int32_t ProxyKind() const { return m_proxyType; }
    bool UseTls() const { return m_useTls; }
    bool IsValid() const { return m_valid; }
    // Port of the first resolved server (or proxy) address, 0 when none.
    std::uint16_t ServerPort() const;
    std::uint16_t ProxyPort() const;
    const CSmartAddr* ServerAddress() const { return m_serverAddr.get(); }
    const CSmartAddr* ProxyAddress() const { return m_proxyAddr.get(); }

    // Accept certificate problems (expired, self-signed, untrusted, wrong host) for this
    // server; off unless the user asks for it.
    bool AcceptCertProblems() const { return m_acceptCertProblems; }
    void SetAcceptCertProblems(bool accept) { m_acceptCertProblems = accept; }

    // The port the entry was configured with, kept for entries whose host did not resolve.
    std::uint16_t ConfiguredPort() const { return m_port; }
    std::uint16_t ConfiguredProxyPort() const { return m_proxyPortConfigured; }

    // Asks the system resolver for host:port (stream socket, TCP, the given family).
    static RcPtr<CSmartAddr> Resolve(std::string_view host, std::uint16_t port, int family);

    // Tests: replaces the resolved server addresses (for example with a list of several).
    void SetServerAddressForTest(RcPtr<CSmartAddr> addresses) {
        m_serverAddr = std::move(addresses);
        m_valid = static_cast<bool>(m_serverAddr);
    }

private:
    std::string m_host, m_user, m_password;
    std::string m_proxyHost, m_proxyUser, m_proxyPassword;
    RcPtr<CSmartAddr> m_serverAddr;
    RcPtr<CSmartAddr> m_proxyAddr;
    std::int32_t m_proxyType = ProxyNone;
    std::int32_t m_family = 0;  // AF_UNSPEC: any family
    std::uint16_t m_port = 0;
    std::uint16_t m_proxyPortConfigured = 0;
    bool m_useTls = false;
    bool m_valid = false;
    bool m_acceptCertProblems = false;
};

}  // namespace quivern
