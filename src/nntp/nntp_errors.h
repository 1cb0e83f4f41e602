#pragma once
// The failure codes a connection keeps in m_error, and the mapping of system, resolver and NNTP
// status codes onto them. Every code is negative; 0 means no failure.

#include <cstdint>

namespace quivern {

enum NntpError : std::int32_t {
    kNntpOk = 0,
    kNntpNothingReceived = -1,  // also: unknown address family, missing SOCKS4 reply, unknown proxy
    kNntpNoServer = -2,
    kNntpServerUnreadable = -3,
    kNntpServerInvalid = -4,
    kNntpAlreadyOpen = -5,
    kNntpSendTimeout = -6,
    kNntpOutOfMemory = -7,  // also: text not convertible to Windows-1252
    kNntpBadReply = -8,
    kNntpAuthRequired = -9,
    kNntpTls = -11,
    kNntpSocks = -12,
    kNntpSocksNoMethod = -13,
    kNntpSocksNoCredentials = -14,
    kNntpSocksAuthReply = -15,
    kNntpGroupFailed = -16,
    kNntpNetRetryable = -23,
    kNntpNetOther = -24,
    kNntpStatus400 = -25,
    kNntpStatus500 = -26,
    kNntpStatus501 = -27,
    kNntpStatus502 = -28,
    kNntpStatus503 = -29,
    kNntpStatus412 = -30,
    kNntpStatus420 = -31,
    kNntpStatus423 = -32,
    kNntpStatus430 = -33,
    kNntpStatus411 = -34,
    kNntpStatusOther = -35,
    kNntpSocks5GeneralFailure = -36,
    kNntpSocks5NotAllowed = -37,
    kNntpSocks5NetUnreachable = -38,
    kNntpSocks5HostUnreachable = -39,
    kNntpSocks5Refused = -40,
    kNntpSocks5TtlExpired = -41,
    kNntpSocks5AddressType = -42,
    kNntpSocks5Unsupported = -43,
};

// True for the errno values that say another attempt may succeed (refused, reset, timed out,
// unreachable, network down, interrupted, ...).
bool IsRetryableErrno(int error);

// Applies a failed system call's errno: 0 leaves both outputs alone; a retryable error gives
// -23 with retryable set; any other -24 with it cleared.
void MapSystemError(int error, std::int32_t& code, bool& retryable);

// The same for a getaddrinfo() result (EAI_*): host not found, try again and no data are
// retryable; EAI_SYSTEM takes errno into account.
void MapResolverError(int eaiError, int savedErrno, std::int32_t& code, bool& retryable);

// The NNTP status mapping. A status of 400 or below that has no entry (0, 2xx, 3xx) leaves the
// code as it is and sets retryable.
void MapNntpStatus(int status, std::int32_t& code, bool& retryable);

// REP byte of a failed SOCKS5 CONNECT reply.
std::int32_t Socks5ReplyError(unsigned rep);

// The status of a reply: its first three characters when all are digits, else 0.
int ReplyStatus(const char* text, std::size_t length);

}  // namespace quivern
