// TLS over the direct or tunnelled connection: context, handshake with certificate checks,
// shutdown, and the texts and error tally the network monitor shows.

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "nntp/nntp_socket.h"
#include "nntp/tls_locks.h"
#include "platform/sync.h"

namespace quivern {

namespace {

constexpr std::size_t kTlsReadBuffer = 64 * 1024;
// Trusted roots are read again after this long, so a program running for days sees updated ones.
constexpr std::uint64_t kRootsLifetimeMs = 10 * 60 * 1000;

// The trusted roots, read once and shared by every connection's context: reading the system's
// bundle costs some 15 ms of CPU, and handshakes run one at a time. Under TlsLock; the caller
// gets no reference of its own. QUIVERN_CA_FILE replaces the system's roots with one PEM file
// (test authorities).
X509_STORE* SharedTrustedRoots() {
    static X509_STORE* roots = nullptr;
    static std::string source;
    static std::uint64_t loadedAt = 0;
    const char* caFile = std::getenv("QUIVERN_CA_FILE");
    const std::string wanted = caFile != nullptr ? caFile : "";
    const std::uint64_t now = MonotonicMs();
    if (roots != nullptr && wanted == source && now - loadedAt < kRootsLifetimeMs) return roots;
    X509_STORE* fresh = X509_STORE_new();
    if (fresh == nullptr) return roots;
    const bool loaded = wanted.empty() ? X509_STORE_set_default_paths(fresh) == 1
                                       : X509_STORE_load_file(fresh, wanted.c_str()) == 1;
    if (!loaded) {
        // Without trusted roots every chain fails verification; that is reported (and counted)
        // per handshake rather than refusing the context.
        ERR_clear_error();
    }
    X509_STORE_free(roots);  // contexts still using the old roots hold their own references
    roots = fresh;
    source = wanted;
    loadedAt = now;
    return roots;
}

}  // namespace

CCriticalSection& TlsLock() {
    static CCriticalSection* lock = new CCriticalSection();
    return *lock;
}

CCriticalSection& CertificateLock() {
    static CCriticalSection* lock = new CCriticalSection();
    return *lock;
}

namespace {

std::map<int, int>& Tally() {
    static std::map<int, int>* tally = new std::map<int, int>();
    return *tally;
}

// Verification problems a server entry marked "accept certificate problems" lets through:
// not yet valid, expired, self-signed (leaf or in the chain), an issuer that is not trusted or
// not present, and a name that does not match the host.
bool IsAcceptableProblem(int code) {
    switch (code) {
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return true;
        default:
            return false;
    }
}

bool IsIpLiteral(const std::string& host) {
    unsigned char address[16];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

std::string OneLine(X509_NAME* name) {
    if (name == nullptr) return {};
    char* text = X509_NAME_oneline(name, nullptr, 0);
    if (text == nullptr) return {};
    std::string result(text);
    OPENSSL_free(text);
    return result;
}

}  // namespace

// Runs inside the handshake, so the TLS lock is held when it takes the certificate lock.
int VerifyCallback(int preverified, X509_STORE_CTX* context) {
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(context, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* socket = ssl ? static_cast<CNntpSocket*>(SSL_get_ex_data(ssl, 0)) : nullptr;
    if (socket != nullptr && X509_STORE_CTX_get_error_depth(context) == 0) {
        if (X509* certificate = X509_STORE_CTX_get_current_cert(context)) {
            socket->m_verifiedIssuer = OneLine(X509_get_issuer_name(certificate));
            socket->m_verifiedSubject = OneLine(X509_get_subject_name(certificate));
        }
    }
    if (preverified == 1) return 1;
    const int code = X509_STORE_CTX_get_error(context);
    {
        std::lock_guard<CCriticalSection> guard(CertificateLock());
        ++Tally()[code];
    }
    if (socket != nullptr && socket->m_entry.AcceptCertProblems() && IsAcceptableProblem(code)) return 1;
    return 0;
}

std::map<int, int> CNntpSocket::CertificateErrorTally() {
    std::lock_guard<CCriticalSection> guard(CertificateLock());
    return Tally();
}

void CNntpSocket::ClearCertificateErrorTally() {
    std::lock_guard<CCriticalSection> guard(CertificateLock());
    Tally().clear();
}

TTlsTexts CNntpSocket::TlsTexts() const {
    std::lock_guard<CCriticalSection> guard(CertificateLock());
    return TTlsTexts{m_cipher, m_issuer, m_subject};
}

bool CNntpSocket::CreateTlsContext() {
    std::lock_guard<CCriticalSection> guard(TlsLock());
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        m_error = kNntpTls;
        m_retryable = false;
        return false;
    }
    SSL_CTX_set_mode(context, SSL_MODE_AUTO_RETRY);
    // Reading ahead into a buffer of several records takes one read() for many records instead of
    // two per record (header, then body); the receive loop asks SSL_has_pending() before it waits.
    SSL_CTX_set_read_ahead(context, 1);
    SSL_CTX_set_default_read_buffer_len(context, kTlsReadBuffer);
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    if (X509_STORE* roots = SharedTrustedRoots()) SSL_CTX_set1_cert_store(context, roots);
    m_tlsContext = context;
    return true;
}

bool CNntpSocket::TlsHandshake() {
    bool ok = false;
    {
        std::lock_guard<CCriticalSection> guard(TlsLock());
        SSL_CTX_set_verify(m_tlsContext, SSL_VERIFY_PEER, VerifyCallback);
        m_tls = SSL_new(m_tlsContext);
        if (m_tls == nullptr || SSL_set_fd(m_tls, m_socket) != 1) {
            m_error = kNntpTls;
            m_retryable = false;
            return false;
        }
        SSL_set_ex_data(m_tls, 0, this);
        m_verifiedIssuer.clear();
        m_verifiedSubject.clear();
        const std::string& host = m_entry.Host();
        if (IsIpLiteral(host)) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_tls), host.c_str());
        } else {
            SSL_ctrl(m_tls, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                     const_cast<char*>(host.c_str()));
            SSL_set1_host(m_tls, host.c_str());
        }
        // The handshake runs on the blocking socket under the process-wide TLS lock; a server
        // that stops answering must not hold every other handshake for longer than one wait.
        timeval limit{m_waitMs / 1000, (m_waitMs % 1000) * 1000};
        setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        setsockopt(m_socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
        ERR_clear_error();
        const int result = SSL_connect(m_tls);
        if (result > 0) {
            ok = true;
        } else {
            const int code = SSL_get_error(m_tls, result);
            m_error = code != SSL_ERROR_NONE ? kNntpTls : 0;
            m_retryable = false;
        }
        timeval none{0, 0};
        setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof(none));
        setsockopt(m_socket, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof(none));

        std::lock_guard<CCriticalSection> certGuard(CertificateLock());
        const char* cipher = SSL_CIPHER_get_name(SSL_get_current_cipher(m_tls));
        m_cipher = cipher != nullptr && std::string_view(cipher) != "(NONE)" ? cipher : "";
        if (X509* certificate = SSL_get1_peer_certificate(m_tls)) {
            m_issuer = OneLine(X509_get_issuer_name(certificate));
            m_subject = OneLine(X509_get_subject_name(certificate));
            X509_free(certificate);
        } else {
            m_issuer = m_verifiedIssuer;
            m_subject = m_verifiedSubject;
        }
    }
    return ok;
}

void CNntpSocket::TlsShutdown() {
    std::lock_guard<CCriticalSection> guard(TlsLock());
    if (m_tls != nullptr) SSL_shutdown(m_tls);
}

void CNntpSocket::TlsFree() {
    if (m_tls == nullptr && m_tlsContext == nullptr) return;
    std::lock_guard<CCriticalSection> guard(TlsLock());
    if (m_tls != nullptr) {
        SSL_free(m_tls);
        m_tls = nullptr;
    }
    if (m_tlsContext != nullptr) {
        SSL_CTX_free(m_tlsContext);
        m_tlsContext = nullptr;
    }
}

}  // namespace quivern
