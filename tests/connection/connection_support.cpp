#include "connection_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>

namespace quivern::test {
namespace {

int ListenLoopback(int* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd, 8) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t size = sizeof(address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    *port = ntohs(address.sin_port);
    return fd;
}

bool Readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

}  // namespace

CServerEntry MakeEntry(const std::string& host, int port, bool tls, const std::string& user,
                       const std::string& password) {
    CServerEntry entry;
    entry.SetServer(host, static_cast<std::uint16_t>(port), tls, user, password);
    return entry;
}

RcPtr<CNntpCallback> MakeOwner(const std::vector<CServerEntry>& entries) {
    RcPtr<CNntpCallback> owner(new CNntpCallback());
    owner->ReplaceServers(entries);
    return owner;
}

RcPtr<CNntpSocket> MakeSocket(const CServerEntry& entry) {
    const RcPtr<CNntpCallback> owner = MakeOwner({entry});
    return RcPtr<CNntpSocket>(new CNntpSocket(owner.get()));
}

ScriptedPeer::ScriptedPeer(Script script) {
    m_listener = ListenLoopback(&m_port);
    m_thread = std::thread([this, script = std::move(script)] {
        while (!m_stop.load()) {
            if (!Readable(m_listener, 50)) continue;
            const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            script(fd);
            ::close(fd);
        }
    });
}

ScriptedPeer::~ScriptedPeer() {
    m_stop = true;
    m_thread.join();
    ::close(m_listener);
}

std::string ScriptedPeer::Received() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_received;
}

std::string ScriptedPeer::ReadExactly(int fd, std::size_t count, int timeoutMs) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (data.size() < count && std::chrono::steady_clock::now() < deadline) {
        if (!Readable(fd, 50)) continue;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof(buffer), count - data.size()), 0);
        if (n <= 0) break;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_received += data;
    return data;
}

std::string ScriptedPeer::ReadSome(int fd, int timeoutMs) {
    std::string data;
    if (Readable(fd, timeoutMs)) {
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n > 0) data.assign(buffer, static_cast<std::size_t>(n));
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_received += data;
    return data;
}

void ScriptedPeer::ReadUntilQuit(int fd, int timeoutMs) {
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (seen.find("QUIT\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        if (!Readable(fd, 50)) continue;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        seen.append(buffer, static_cast<std::size_t>(n));
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_received += seen;
}

void ScriptedPeer::WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

void ScriptedPeer::Relay(int fd, int port) {
    const int out = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(out, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(out);
        return;
    }
    pollfd p[2] = {{fd, POLLIN, 0}, {out, POLLIN, 0}};
    char buffer[65536];
    for (;;) {
        if (::poll(p, 2, 10000) <= 0) break;
        bool closed = false;
        for (int i = 0; i < 2; ++i) {
            if ((p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            const ssize_t n = ::recv(p[i].fd, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                closed = true;
                break;
            }
            WriteAll(p[1 - i].fd, std::string(buffer, static_cast<std::size_t>(n)));
        }
        if (closed) break;
    }
    ::close(out);
}

Microsocks::Microsocks(const std::string& user, const std::string& password) {
    const int port = UnusedPort();
    const std::string portText = std::to_string(port);
    m_pid = ::fork();
    if (m_pid == 0) {
        if (user.empty()) {
            ::execlp("microsocks", "microsocks", "-i", "127.0.0.1", "-p", portText.c_str(), nullptr);
        } else {
            ::execlp("microsocks", "microsocks", "-i", "127.0.0.1", "-p", portText.c_str(), "-u",
                     user.c_str(), "-P", password.c_str(), nullptr);
        }
        ::_exit(127);
    }
    // Ready once it accepts a connection.
    for (int i = 0; i < 200 && m_pid > 0; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        ::close(fd);
        if (up) {
            m_port = port;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Microsocks::~Microsocks() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
}

}  // namespace quivern::test
