#include "nntp/nntp_socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "nntp/tls_locks.h"
#include "nntp/watchdog.h"

namespace quivern {
namespace {

constexpr std::size_t kTlsChunk = 16384;

// First occurrence of `needle` in text[from, length), or npos.
std::size_t Find(const char* text, std::size_t length, std::size_t from, std::string_view needle) {
    if (from >= length) return std::string_view::npos;
    const void* hit = memmem(text + from, length - from, needle.data(), needle.size());
    return hit == nullptr ? std::string_view::npos
                          : static_cast<std::size_t>(static_cast<const char*>(hit) - text);
}

}  // namespace

CNntpSocket::CNntpSocket(CNntpCallback* owner) : m_owner(owner) {}

CNntpSocket::~CNntpSocket() {
    Close();
    std::free(m_buffer);
}

void CNntpSocket::MapErrno(int error) {
    MapSystemError(error, m_error, m_retryable);
}

bool CNntpSocket::EnsureBuffer(std::size_t needed) {
    if (needed <= m_capacity) return true;
    const std::size_t grown = needed * 4;
    char* buffer = static_cast<char*>(std::realloc(m_buffer, grown));
    if (buffer == nullptr) return false;
    m_buffer = buffer;
    m_capacity = grown;
    return true;
}

int CNntpSocket::WaitFor(short events) {
    pollfd p{m_socket, events, 0};
    for (;;) {
        const int n = ::poll(&p, 1, m_waitMs);
        if (n > 0) {
            // A socket that has been shut down or reset reports itself ready; the read or write
            // that follows tells what happened.
            return 1;
        }
        if (n == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

bool CNntpSocket::Open() {
    if (m_socket >= 0) {
        m_error = kNntpAlreadyOpen;
        return false;
    }
    m_connected = false;
    m_sessionReady = false;
    m_error = 0;
    m_retryable = false;
    m_early.clear();
    {
        std::lock_guard<CCriticalSection> guard(CertificateLock());
        m_cipher.clear();
        m_issuer.clear();
        m_subject.clear();
    }

    const std::size_t count = m_owner ? m_owner->GetServerCount() : 0;
    if (count == 0) {
        m_error = kNntpNoServer;
        return false;
    }
    if (m_serverIndex >= count) m_serverIndex = 0;
    if (!m_owner->GetServer(m_serverIndex, m_entry)) {
        m_error = kNntpServerUnreadable;
        return false;
    }
    if (!m_entry.IsValid()) {
        m_error = kNntpServerInvalid;
        return false;
    }
    if (m_entry.UseTls() && !CreateTlsContext()) return false;
    if (!ConnectTcp()) return false;
    if (m_entry.ProxyKind() != ProxyNone && !NegotiateProxy()) return false;
    if (m_entry.UseTls()) {
        m_early.clear();  // nothing may precede the server's TLS records
        if (!TlsHandshake()) return false;
    }
    if (!Greeting()) return false;
    m_sessionReady = ModeReaderAndLogin();
    return m_sessionReady;
}

bool CNntpSocket::ConnectTcp() {
    const CSmartAddr* list =
        m_entry.ProxyKind() != ProxyNone ? m_entry.ProxyAddress() : m_entry.ServerAddress();
    for (const addrinfo* a = list ? list->List() : nullptr; a != nullptr; a = a->ai_next) {
        socklen_t size = 0;
        if (a->ai_family == AF_INET) {
            size = sizeof(sockaddr_in);
        } else if (a->ai_family == AF_INET6) {
            size = sizeof(sockaddr_in6);
        } else {
            m_error = kNntpNothingReceived;
            continue;
        }
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            MapErrno(errno);
            continue;
        }
        if (::connect(fd, a->ai_addr, size) != 0) {
            MapErrno(errno);
            ::close(fd);
            continue;
        }
        // Commands are small and answered one at a time; do not let Nagle hold them back.
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        m_socket = fd;
        m_connected = true;
        // A successful connect is system error 0: the failure of an earlier address is overwritten.
        m_error = 0;
        return true;
    }
    if (m_error == 0) m_error = kNntpNothingReceived;
    return false;
}

const char* CNntpSocket::Receive(ReadMode mode, INntpReceiveObserver* job, std::size_t* length) {
    return ReceiveImpl(mode, job, length, nullptr);
}

const char* CNntpSocket::ReceiveImpl(ReadMode mode, INntpReceiveObserver* job, std::size_t* length,
                                     const RawComplete& complete) {
    if (length != nullptr) *length = 0;
    m_length = 0;
    if (!EnsureBuffer(1)) {
        m_error = kNntpOutOfMemory;
        return nullptr;
    }
    // Only the terminator is cleared: zeroing a buffer grown for a large article would cost
    // more than receiving a small reply into it.
    m_buffer[0] = '\0';
    if (m_socket < 0) {
        MapErrno(ENOTCONN);
        return nullptr;
    }
    const int fd = m_socket;
    CStalledReadWatchdog::NoteActivity(fd);

    bool failed = false;
    // Where the line-end search of ReadLine resumes: the new bytes plus the byte before them.
    std::size_t scanned = 0;
    auto ended = [&]() {
        switch (mode) {
            case ReadLine: {
                const std::size_t from = scanned > 0 ? scanned - 1 : 0;
                scanned = m_length;
                return Find(m_buffer, m_length, from, "\r\n") != std::string_view::npos;
            }
            case ReadMultiLine: {
                // A server sends nothing after a multi-line reply until the next command, and a
                // data line that is a lone "." is sent stuffed (".."), so a complete terminator
                // is always the last five bytes received: checking there spares a scan of every
                // byte of the article.
                return m_length >= 5 && std::memcmp(m_buffer + m_length - 5, "\r\n.\r\n", 5) == 0;
            }
            default:
                return complete && complete(std::string_view(m_buffer, m_length));
        }
    };
    auto appended = [&](std::size_t count) {
        m_length += count;
        m_buffer[m_length] = '\0';
        m_bytesReceived.fetch_add(count, std::memory_order_relaxed);
        CStalledReadWatchdog::NoteActivity(fd);
        if (job != nullptr && !job->IsAvailabilityCheck()) job->OnReceived(count);
        if (mode == ReadMultiLine && m_length >= 3 && ReplyStatus(m_buffer, m_length) >= 400) {
            mode = ReadLine;
            scanned = 0;
        }
        return ended();
    };

    bool done = false;
    if (!m_early.empty()) {
        if (!EnsureBuffer(m_early.size() + 1)) {
            m_error = kNntpOutOfMemory;
            failed = true;
        } else {
            std::memcpy(m_buffer, m_early.data(), m_early.size());
            const std::size_t count = m_early.size();
            m_early.clear();
            done = appended(count);
        }
    }

    while (!done && !failed) {
        if (m_tls == nullptr) {
            const int ready = WaitFor(POLLIN);
            if (ready == 0) break;
            if (ready < 0) {
                MapErrno(errno);
                failed = true;
                break;
            }
            int pending = 0;
            if (::ioctl(fd, FIONREAD, &pending) != 0) {
                MapErrno(errno);
                failed = true;
                break;
            }
            if (pending <= 0) break;  // the peer has closed
            if (!EnsureBuffer(m_length + static_cast<std::size_t>(pending) + 1)) {
                m_error = kNntpOutOfMemory;
                failed = true;
                break;
            }
            const ssize_t got = ::recv(fd, m_buffer + m_length, static_cast<std::size_t>(pending), 0);
            if (got < 0) {
                MapErrno(errno);
                failed = true;
                break;
            }
            if (got == 0) break;
            done = appended(static_cast<std::size_t>(got));
            continue;
        }

        // TLS: decrypted bytes or whole records read ahead may already wait inside the session,
        // which poll() cannot see.
        if (SSL_has_pending(m_tls) == 0) {
            const int ready = WaitFor(POLLIN);
            if (ready == 0) break;
            if (ready < 0) {
                MapErrno(errno);
                failed = true;
                break;
            }
        }
        if (!EnsureBuffer(m_length + kTlsChunk + 1)) {
            m_error = kNntpOutOfMemory;
            failed = true;
            break;
        }
        bool leave = false;
        for (;;) {
            ERR_clear_error();
            const int got = SSL_read(m_tls, m_buffer + m_length, static_cast<int>(kTlsChunk));
            if (got > 0) {
                done = appended(static_cast<std::size_t>(got));
                break;
            }
            if (got == 0) {
                leave = true;
                break;
            }
            const int code = SSL_get_error(m_tls, got);
            if (code == SSL_ERROR_NONE || code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
                const int ready = WaitFor(code == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN);
                if (ready == 0) {
                    leave = true;
                    break;
                }
                if (ready < 0) {
                    MapErrno(errno);
                    failed = true;
                    break;
                }
                continue;
            }
            m_error = kNntpTls;
            m_retryable = false;
            failed = true;
            break;
        }
        if (leave) break;
    }

    const bool closedByWatchdog = CStalledReadWatchdog::ForgetSocket(fd);
    if (closedByWatchdog) {
        // The read made no progress for too long; report it as the time-out it is.
        MapErrno(ETIMEDOUT);
        return nullptr;
    }
    if (failed) return nullptr;
    if (m_length == 0) {
        m_error = kNntpNothingReceived;
        return nullptr;
    }
    if (job != nullptr && job->IsAvailabilityCheck()) job->OnReceived(job->ArticleBytes());
    if (length != nullptr) *length = m_length;
    return m_buffer;
}

bool CNntpSocket::Send(const char* bytes, std::ptrdiff_t length) {
    if (m_socket < 0) {
        MapErrno(ENOTCONN);
        return false;
    }
    std::size_t left = length < 0 ? std::strlen(bytes) : static_cast<std::size_t>(length);
    if (m_tls != nullptr) {
        while (left > 0) {
            const int ready = WaitFor(POLLOUT);
            if (ready == 0) return false;
            if (ready < 0) {
                MapErrno(errno);
                return false;
            }
            for (;;) {
                ERR_clear_error();
                const int sent = SSL_write(m_tls, bytes, static_cast<int>(left));
                if (sent > 0) {
                    bytes += sent;
                    left -= static_cast<std::size_t>(sent);
                    break;
                }
                if (sent == 0) return false;
                const int code = SSL_get_error(m_tls, sent);
                if (code == SSL_ERROR_NONE || code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
                    const int again = WaitFor(code == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT);
                    if (again == 0) return false;
                    if (again < 0) {
                        MapErrno(errno);
                        return false;
                    }
                    continue;
                }
                m_error = kNntpTls;
                m_retryable = false;
                return false;
            }
        }
        return true;
    }
    while (left > 0) {
        const int ready = WaitFor(POLLOUT);
        if (ready == 0) {
            m_error = kNntpSendTimeout;
            return false;
        }
        if (ready < 0) {
            MapErrno(errno);
            return false;
        }
        const ssize_t sent = ::send(m_socket, bytes, left, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            MapErrno(errno);
            return false;
        }
        bytes += sent;
        left -= static_cast<std::size_t>(sent);
    }
    return true;
}

void CNntpSocket::Abort() {
    if (m_socket >= 0) ::shutdown(m_socket, SHUT_RDWR);
}

void CNntpSocket::Close() {
    // The QUIT exchange must not overwrite the reason of a failure the caller is about to read.
    const std::int32_t error = m_error;
    const bool retryable = m_retryable;
    m_sessionReady = false;
    if (m_connected) {
        if (Send("QUIT\r\n", -1)) {
            std::size_t ignored = 0;
            Receive(ReadRaw, nullptr, &ignored);
        }
        if (m_tls != nullptr) {
            TlsShutdown();
        } else if (m_socket >= 0) {
            ::shutdown(m_socket, SHUT_WR);
        }
        m_connected = false;
    }
    if (m_socket >= 0) {
        ::close(m_socket);
        m_socket = -1;
    }
    TlsFree();
    m_early.clear();
    m_error = error;
    m_retryable = retryable;
}

}  // namespace quivern
