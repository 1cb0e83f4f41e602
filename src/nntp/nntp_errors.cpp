#include "nntp/nntp_errors.h"

#include <netdb.h>

#include <cerrno>
#include <cstddef>

namespace quivern {

bool IsRetryableErrno(int error) {
    switch (error) {
        case ECANCELED:     // operation aborted
        case EINTR:         // interrupted
        case ENETDOWN:      // network down
        case ENETUNREACH:   // network unreachable
        case ENETRESET:     // network dropped connection on reset
        case ECONNABORTED:  // connection aborted
        case ECONNRESET:    // connection reset by peer
        case EPIPE:         // the peer has shut the connection down
        case ESHUTDOWN:     // send after shutdown
        case ETOOMANYREFS:
        case ETIMEDOUT:
        case EAGAIN:  // a blocking call that ran into its time limit
        case ECONNREFUSED:
        case EHOSTDOWN:
        case EHOSTUNREACH:
        case ENOTCONN:  // the peer disconnected before the call
            return true;
        default:
            return false;
    }
}

void MapSystemError(int error, std::int32_t& code, bool& retryable) {
    if (error == 0) return;
    if (IsRetryableErrno(error)) {
        code = kNntpNetRetryable;
        retryable = true;
    } else {
        code = kNntpNetOther;
        retryable = false;
    }
}

void MapResolverError(int eaiError, int savedErrno, std::int32_t& code, bool& retryable) {
    switch (eaiError) {
        case 0:
            return;
        case EAI_NONAME:  // host not found
        case EAI_AGAIN:   // try again
#ifdef EAI_NODATA
        case EAI_NODATA:  // no address for the name
#endif
            code = kNntpNetRetryable;
            retryable = true;
            return;
        case EAI_SYSTEM:
            if (savedErrno != 0) {
                MapSystemError(savedErrno, code, retryable);
                return;
            }
            break;
        default:
            break;
    }
    code = kNntpNetOther;
    retryable = false;
}

void MapNntpStatus(int status, std::int32_t& code, bool& retryable) {
    struct Entry {
        int status;
        std::int32_t code;
        bool retryable;
    };
    static constexpr Entry kTable[] = {
        {400, kNntpStatus400, true},  {411, kNntpStatus411, false}, {412, kNntpStatus412, true},
        {420, kNntpStatus420, true},  {423, kNntpStatus423, false}, {430, kNntpStatus430, false},
        {500, kNntpStatus500, false}, {501, kNntpStatus501, false}, {502, kNntpStatus502, true},
        {503, kNntpStatus503, true},
    };
    for (const Entry& e : kTable) {
        if (e.status == status) {
            code = e.code;
            retryable = e.retryable;
            return;
        }
    }
    if (status > 400) code = kNntpStatusOther;
    retryable = true;
}

std::int32_t Socks5ReplyError(unsigned rep) {
    switch (rep) {
        case 1:
            return kNntpSocks5GeneralFailure;
        case 2:
            return kNntpSocks5NotAllowed;
        case 3:
            return kNntpSocks5NetUnreachable;
        case 4:
            return kNntpSocks5HostUnreachable;
        case 5:
            return kNntpSocks5Refused;
        case 6:
            return kNntpSocks5TtlExpired;
        case 8:
            return kNntpSocks5AddressType;
        default:
            return kNntpSocks5Unsupported;
    }
}

int ReplyStatus(const char* text, std::size_t length) {
    if (text == nullptr || length < 3) return 0;
    int status = 0;
    for (int i = 0; i < 3; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return 0;
        status = status * 10 + (c - '0');
    }
    return status;
}

}  // namespace quivern
