#pragma once
// Small pieces several test suites need: a port nobody listens on and the test certificates.

#include <string>

namespace quivern::test {

// A loopback port that was free a moment ago: connecting to it is refused.
int UnusedPort();
// Writes the certificates of scripts/make-test-certs.sh (a test CA, server.pem/.key, ...) into
// `folder`; false when the script fails.
bool MakeTestCertificates(const std::string& folder);

}  // namespace quivern::test
