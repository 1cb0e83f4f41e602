#pragma once
// Pieces the connection tests share: server lists, a scripted TCP peer for the replies no real
// server or proxy gives, a progress recorder, and a real SOCKS5 proxy (microsocks).

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "nntp/nntp_callback.h"
#include "nntp/nntp_socket.h"
#include "nntp/server_entry.h"
#include "platform/refcounted.h"
#include "support/fixtures.h"

namespace quivern::test {

CServerEntry MakeEntry(const std::string& host, int port, bool tls = false, const std::string& user = {},
                       const std::string& password = {});
RcPtr<CNntpCallback> MakeOwner(const std::vector<CServerEntry>& entries);
// A connection for `entry`, its reference held by the returned pointer.
RcPtr<CNntpSocket> MakeSocket(const CServerEntry& entry);

// A loopback listener whose connections are served, one after the other, by a script.
class ScriptedPeer {
public:
    using Script = std::function<void(int fd)>;
    explicit ScriptedPeer(Script script);
    ~ScriptedPeer();
    int Port() const { return m_port; }
    // Bytes the script read with ReadExactly/ReadSome, in order, over all connections.
    std::string Received() const;

    // Helpers for scripts.
    std::string ReadExactly(int fd, std::size_t count, int timeoutMs = 5000);
    std::string ReadSome(int fd, int timeoutMs = 5000);
    // Reads until the client has sent QUIT (or closed, or the time-out).
    void ReadUntilQuit(int fd, int timeoutMs = 5000);
    static void WriteAll(int fd, const std::string& bytes);
    // Connects to 127.0.0.1:port and copies bytes both ways until one side closes.
    static void Relay(int fd, int port);

private:
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    mutable std::mutex m_lock;
    std::string m_received;
};

// Counts what a receive reports.
class ProgressRecorder final : public INntpReceiveObserver {
public:
    explicit ProgressRecorder(bool availabilityCheck = false, std::uint32_t articleBytes = 0)
        : m_check(availabilityCheck), m_articleBytes(articleBytes) {}
    void OnReceived(std::size_t bytes) override {
        ++calls;
        total += bytes;
    }
    bool IsAvailabilityCheck() const override { return m_check; }
    std::uint32_t ArticleBytes() const override { return m_articleBytes; }

    int calls = 0;
    std::size_t total = 0;

private:
    bool m_check;
    std::uint32_t m_articleBytes;
};

// microsocks on a free loopback port; stopped (by its pid) in the destructor.
class Microsocks {
public:
    Microsocks(const std::string& user = {}, const std::string& password = {});
    ~Microsocks();
    bool Running() const { return m_pid > 0 && m_port > 0; }
    int Port() const { return m_port; }

private:
    pid_t m_pid = -1;
    int m_port = 0;
};

}  // namespace quivern::test
