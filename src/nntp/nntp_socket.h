#pragma once
// One NNTP connection: blocking TCP, optionally through a SOCKS4/SOCKS5 proxy and secured with
// TLS, with the NNTP dialogue on top (greeting, MODE READER, AUTHINFO, GROUP, STAT, ARTICLE,
// QUIT). Every wait on the socket is bounded (30 seconds unless a test shortens it).
//
// Threads: a connection is used by one thread at a time (its channel worker or the channel
// probe). The network monitor reads BytesReceived() and the TLS texts from another thread; the
// TLS texts and the certificate error tally live under the certificate lock.

#include <openssl/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "nntp/nntp_callback.h"
#include "nntp/nntp_errors.h"
#include "nntp/server_entry.h"
#include "platform/refcounted.h"

namespace quivern {

// What a receive reports to the article job it serves. The engine's job class implements it.
class INntpReceiveObserver {
public:
    // A download job is told every received chunk; an availability check is told the article's
    // size from the NZB once the reply is complete.
    virtual void OnReceived(std::size_t bytes) = 0;
    virtual bool IsAvailabilityCheck() const = 0;
    virtual std::uint32_t ArticleBytes() const = 0;

protected:
    ~INntpReceiveObserver() = default;
};

// The TLS details of a connection as the network monitor shows them.
struct TTlsTexts {
    std::string cipher;
    std::string issuer;
    std::string subject;
};

class CNntpSocket final : public CEasyRCBase {
public:
    enum ReadMode : int { ReadRaw = 0, ReadLine = 1, ReadMultiLine = 2 };
    static constexpr int kDefaultWaitMs = 30000;

    explicit CNntpSocket(CNntpCallback* owner);
    ~CNntpSocket() override;

    // Connect, proxy negotiation, TLS, greeting and login. On failure m_error (and possibly
    // m_retryable) say why; the connection may be left open, so Close() before the next Open().
    bool Open();
    // Sends QUIT when connected, waits for the server to close and tears the transport down.
    void Close();
    // Called from another thread to end a wait of the thread using the connection (its read or
    // write fails at once). The caller makes sure the connection is not closed meanwhile.
    void Abort();

    // Receives a reply into the I/O buffer. Null on failure; otherwise the NUL-terminated buffer
    // with its length in *length (valid until the next operation of this connection).
    const char* Receive(ReadMode mode, INntpReceiveObserver* job, std::size_t* length);
    // length -1: the bytes run up to a terminating NUL.
    bool Send(const char* bytes, std::ptrdiff_t length);

    // Session operations.
    bool SelectGroup(std::string_view group);
    bool StatArticle(std::string_view group, std::string_view messageId, INntpReceiveObserver* job);
    // On success *article is the text the decoder takes: from the CRLF that ends the status line
    // to the CRLF before the terminating dot line (dot-stuffing kept), NUL-terminated, pointing
    // into the I/O buffer.
    bool FetchArticle(std::string_view group, std::string_view messageId, INntpReceiveObserver* job,
                      std::string_view* article);

    std::int32_t Error() const { return m_error; }
    bool Retryable() const { return m_retryable; }
    bool Connected() const { return m_connected; }
    bool SessionReady() const { return m_sessionReady; }
    std::size_t ServerIndex() const { return m_serverIndex; }
    void SetServerIndex(std::size_t index) { m_serverIndex = index; }
    const std::string& Group() const { return m_group; }
    std::int64_t GroupLow() const { return m_groupLow; }
    std::int64_t GroupHigh() const { return m_groupHigh; }
    const CServerEntry& Entry() const { return m_entry; }

    // Taken by the network monitor: returns the count and restarts it at 0.
    std::uint64_t TakeBytesReceived() { return m_bytesReceived.exchange(0); }
    // A copy taken under the certificate lock.
    TTlsTexts TlsTexts() const;

    // Shortens every socket wait (tests only).
    void SetWaitTimeoutForTest(int milliseconds) { m_waitMs = milliseconds; }

    // The process-wide certificate error tally (verification error code to occurrences).
    static std::map<int, int> CertificateErrorTally();
    static void ClearCertificateErrorTally();

private:
    // Decides, for raw receives of a known protocol length (the SOCKS replies), when the reply
    // is complete; it sees everything received so far.
    using RawComplete = std::function<bool(std::string_view)>;

    const char* ReceiveImpl(ReadMode mode, INntpReceiveObserver* job, std::size_t* length,
                            const RawComplete& complete);
    // Makes room for `needed` bytes, growing to four times that (content kept).
    bool EnsureBuffer(std::size_t needed);
    // poll() for `events` within the wait limit: 1 ready, 0 time-out, -1 error (errno set).
    int WaitFor(short events);
    void MapErrno(int error);
    bool SendAll(std::string_view bytes) {
        return Send(bytes.data(), static_cast<std::ptrdiff_t>(bytes.size()));
    }
    // Sends one command and reads one line; the status of the reply, or -1 when the send or
    // the receive failed (m_error already set).
    int Command(std::string_view line);
    bool MapStatus(int status);

    bool ConnectTcp();
    bool NegotiateProxy();
    bool NegotiateSocks4();
    bool NegotiateSocks5();
    bool CreateTlsContext();
    bool TlsHandshake();
    void TlsShutdown();
    void TlsFree();
    bool Greeting();
    bool ModeReaderAndLogin();
    // The message-id in angle brackets, built in m_work.
    bool BracketMessageId(std::string_view messageId);
    // Selects `group`, sends `verb` with the message-id and reads the reply in `mode`; the reply's
    // status, or -1 (with m_error set) when the command could not be sent or answered.
    int ArticleCommand(std::string_view verb, std::string_view group, std::string_view messageId,
                       ReadMode mode, INntpReceiveObserver* job, const char** reply, std::size_t* length);

    friend int VerifyCallback(int preverified, X509_STORE_CTX* context);

    RcPtr<CNntpCallback> m_owner;
    CServerEntry m_entry;
    std::size_t m_serverIndex = 0;
    int m_socket = -1;
    SSL_CTX* m_tlsContext = nullptr;
    SSL* m_tls = nullptr;

    std::int32_t m_error = 0;
    bool m_retryable = false;
    bool m_connected = false;
    bool m_sessionReady = false;

    std::string m_group;
    std::int64_t m_groupLow = 0;
    std::int64_t m_groupHigh = 0;

    char* m_buffer = nullptr;  // always NUL-terminated
    std::size_t m_capacity = 0;
    std::size_t m_length = 0;
    std::string m_work;
    std::string m_early;  // bytes after the proxy's final reply: the start of the greeting

    std::atomic<std::uint64_t> m_bytesReceived{0};
    std::string m_cipher, m_issuer, m_subject;  // under the certificate lock
    // The server certificate's names as seen during verification, for a handshake that fails
    // before the certificate becomes the session's peer certificate.
    std::string m_verifiedIssuer, m_verifiedSubject;
    int m_waitMs = kDefaultWaitMs;
};

}  // namespace quivern
