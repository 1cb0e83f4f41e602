#pragma once
// A tiny NNTP client on raw sockets (optionally TLS) that shows the bytes exactly as the server
// sent them; every read is bounded by a time-out.

#include <openssl/ssl.h>

#include <string>
#include <string_view>

namespace quivern::test {

class RawClient {
public:
    RawClient() = default;
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connect(int port);
    // Handshake without failing on verification; the outcome is in VerifyResult().
    // caFile empty: no trust anchors. host non-empty: the name is checked too.
    bool ConnectTls(int port, const std::string& caFile = {}, const std::string& host = {});
    long VerifyResult() const { return m_verifyResult; }

    bool Send(std::string_view text);
    // One line including its "\r\n"; empty on time-out or end of stream.
    std::string ReadLine(int timeoutMs = 5000);
    // Reads until the text ends with "\r\n.\r\n" (or the time-out or end of stream).
    std::string ReadMultiLine(int timeoutMs = 5000);
    // Whatever arrives within timeoutMs (stops early at end of stream).
    std::string ReadFor(int timeoutMs);
    // Waits up to timeoutMs for the next bytes and returns what has arrived by then.
    std::string ReadAvailable(int timeoutMs = 5000);
    // Everything until the server closes; false if it is still open after timeoutMs.
    bool ReadUntilClosed(std::string* text, int timeoutMs = 5000);
    // A command line and its one-line answer.
    std::string Command(std::string_view line) {
        Send(std::string(line) + "\r\n");
        return ReadLine();
    }
    bool Closed() const { return m_closed; }
    void Close();

private:
    // Appends what arrives within timeoutMs to m_pending; false on time-out or end of stream.
    bool Fill(int timeoutMs);

    int m_fd = -1;
    SSL_CTX* m_context = nullptr;
    SSL* m_ssl = nullptr;
    long m_verifyResult = -1;
    bool m_closed = false;
    std::string m_pending;
};

// Removes the dot-stuffing and the terminator of a multi-line block (after its status line).
std::string Unstuff(std::string_view block);

}  // namespace quivern::test
