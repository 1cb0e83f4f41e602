#pragma once
// The process-wide TLS locks. Order: the TLS lock before the certificate lock, and the network
// monitor's connection-list lock before the certificate lock; never the reverse.

#include "platform/sync.h"

namespace quivern {

// Context creation, handshakes, TLS shutdown and freeing.
CCriticalSection& TlsLock();
// The certificate error tally and the cipher, issuer and subject texts of every connection.
CCriticalSection& CertificateLock();

}  // namespace quivern
