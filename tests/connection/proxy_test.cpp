#include <gtest/gtest.h>

#include "connection_support.h"
#include "newsserver/news_server.h"

namespace quivern {
namespace {

using newsserver::NewsServer;
using test::MakeEntry;
using test::ScriptedPeer;

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

std::string Port(int port) {
    return Bytes({(port >> 8) & 0xFF, port & 0xFF});
}

class ProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_server.AddArticle("<p1@test>", {"alt.test"}, "Subject: proxied", "through the proxy");
        std::string error;
        ASSERT_TRUE(m_server.Start(&error)) << error;
    }
    // An entry for the news server reached through a proxy on proxyPort.
    CServerEntry Entry(std::int32_t type, int proxyPort, const std::string& host = "127.0.0.1",
                       const std::string& proxyUser = {}, const std::string& proxyPassword = {}) {
        CServerEntry entry = MakeEntry(host, m_server.Port());
        entry.SetProxy(type, "127.0.0.1", static_cast<std::uint16_t>(proxyPort), proxyUser, proxyPassword);
        return entry;
    }
    void ExpectFetchWorks(CNntpSocket& socket) {
        std::string_view article;
        ASSERT_TRUE(socket.FetchArticle("alt.test", "p1@test", nullptr, &article)) << socket.Error();
        EXPECT_EQ(article, "\r\nSubject: proxied\r\n\r\nthrough the proxy\r\n");
    }
    NewsServer m_server;
};

TEST_F(ProxyTest, RealSocks5ProxyCarriesTheSession) {
    test::Microsocks open;
    test::Microsocks withLogin("proxyuser", "proxypass");
    ASSERT_TRUE(open.Running() && withLogin.Running()) << "microsocks did not start";
    struct Case {
        const char* name;
        std::int32_t type;
        int port;
        std::string user, password;
    };
    const Case cases[] = {
        {"local address", ProxySocks5, open.Port(), "", ""},
        {"remote name", ProxySocks5RemoteDns, open.Port(), "", ""},
        {"user and password", ProxySocks5, withLogin.Port(), "proxyuser", "proxypass"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto socket = test::MakeSocket(Entry(c.type, c.port, "127.0.0.1", c.user, c.password));
        ASSERT_TRUE(socket->Open()) << socket->Error();
        ExpectFetchWorks(*socket);
        socket->Close();
    }
    // The proxy wants a login that is not configured.
    auto socket = test::MakeSocket(Entry(ProxySocks5, withLogin.Port()));
    EXPECT_FALSE(socket->Open());
    EXPECT_EQ(socket->Error(), -14);
}

// The client's SOCKS5 requests, byte for byte, and the greeting that arrives with the reply.
TEST_F(ProxyTest, Socks5RequestsAndEarlyGreeting) {
    const int serverPort = m_server.Port();
    struct Case {
        const char* name;
        std::int32_t type;
        std::string host;
        bool greetingWithReply;
        std::string expectedConnect;
    };
    const Case cases[] = {
        {"IPv4, greeting in the reply", ProxySocks5, "127.0.0.1", true,
         Bytes({5, 1, 0, 1, 127, 0, 0, 1}) + Port(serverPort)},
        {"IPv4, reply alone", ProxySocks5, "127.0.0.1", false,
         Bytes({5, 1, 0, 1, 127, 0, 0, 1}) + Port(serverPort)},
        {"IPv6", ProxySocks5, "::1", false,
         Bytes({5, 1, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}) + Port(serverPort)},
        {"remote name", ProxySocks5RemoteDns, "localhost", true,
         Bytes({5, 1, 0, 3, 9}) + "localhost" + Port(serverPort)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string connectRequest;
        ScriptedPeer* self = nullptr;
        ScriptedPeer proxy([&](int fd) {
            if (self->ReadExactly(fd, 4) != Bytes({5, 2, 0, 2})) return;
            ScriptedPeer::WriteAll(fd, Bytes({5, 0}));
            connectRequest = self->ReadExactly(fd, c.expectedConnect.size());
            // A reply carrying a domain-name address: its length comes from its fifth byte.
            std::string reply = Bytes({5, 0, 0, 3, 4}) + "host" + Bytes({0, 119});
            if (c.greetingWithReply) {
                ScriptedPeer::WriteAll(fd, reply + "200 greeting in the reply\r\n");
            } else {
                ScriptedPeer::WriteAll(fd, reply);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                ScriptedPeer::WriteAll(fd, "200 greeting later\r\n");
            }
            if (self->ReadExactly(fd, 13) == "MODE READER\r\n") ScriptedPeer::WriteAll(fd, "200 reader\r\n");
            self->ReadSome(fd, 2000);
        });
        self = &proxy;
        CServerEntry entry = MakeEntry(c.host, serverPort);
        ASSERT_TRUE(entry.IsValid());
        entry.SetProxy(c.type, "127.0.0.1", static_cast<std::uint16_t>(proxy.Port()), "", "");
        auto socket = test::MakeSocket(entry);
        EXPECT_TRUE(socket->Open()) << socket->Error();
        EXPECT_EQ(connectRequest, c.expectedConnect);
        socket->Close();
    }
}

TEST_F(ProxyTest, Socks5Failures) {
    struct Case {
        const char* name;
        std::string methodReply;
        std::string authReply;  // after the user/password request
        std::string connectReply;
        std::string user, password;
        std::int32_t error;
        std::size_t bytesSent;  // everything the client sent to the proxy
    };
    const std::string ok = Bytes({5, 0});
    const auto rep = [](int code) { return Bytes({5, code, 0, 1, 0, 0, 0, 0, 0, 0}); };
    const Case cases[] = {
        {"no acceptable method", Bytes({5, 255}), "", "", "", "", -13, 4},
        {"login wanted, none configured", Bytes({5, 2}), "", "", "", "", -14, 4},
        {"login answer cut short", Bytes({5, 2}), Bytes({1}), "", "ab", "cd", -15, 4 + 7},
        {"wrong version", Bytes({4, 0}), "", "", "", "", -12, 4},
        {"short method reply", Bytes({5}), "", "", "", "", -12, 4},
        {"no CONNECT reply", ok, "", "", "", "", -12, 4 + 10},
        {"REP 1", ok, "", rep(1), "", "", -36, 14},
        {"REP 2", ok, "", rep(2), "", "", -37, 14},
        {"REP 3", ok, "", rep(3), "", "", -38, 14},
        {"REP 4", ok, "", rep(4), "", "", -39, 14},
        {"REP 5", ok, "", rep(5), "", "", -40, 14},
        {"REP 6", ok, "", rep(6), "", "", -41, 14},
        {"REP 7", ok, "", rep(7), "", "", -43, 14},
        {"REP 8", ok, "", rep(8), "", "", -42, 14},
        {"REP 9", ok, "", rep(9), "", "", -43, 14},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer* self = nullptr;
        ScriptedPeer proxy([&](int fd) {
            self->ReadExactly(fd, 4);
            ScriptedPeer::WriteAll(fd, c.methodReply);
            if (!c.authReply.empty()) {
                self->ReadExactly(fd, 3 + c.user.size() + c.password.size());
                ScriptedPeer::WriteAll(fd, c.authReply);
                return;  // and close
            }
            self->ReadExactly(fd, 10, 1000);
            if (!c.connectReply.empty()) ScriptedPeer::WriteAll(fd, c.connectReply);
        });
        self = &proxy;
        auto socket = test::MakeSocket(Entry(ProxySocks5, proxy.Port(), "127.0.0.1", c.user, c.password));
        socket->SetWaitTimeoutForTest(1000);
        EXPECT_FALSE(socket->Open());
        EXPECT_EQ(socket->Error(), c.error);
        EXPECT_FALSE(socket->Retryable());
        socket->Close();
        // What went to the proxy, apart from the QUIT of Close when the proxy kept the line open.
        std::string sent = proxy.Received();
        if (sent.size() >= 6 && sent.compare(sent.size() - 6, 6, "QUIT\r\n") == 0)
            sent.resize(sent.size() - 6);
        EXPECT_EQ(sent.size(), c.bytesSent);
        if (!c.authReply.empty()) {
            EXPECT_EQ(sent.substr(4), Bytes({1, 2}) + "ab" + Bytes({2}) + "cd");
        }
    }
}

TEST_F(ProxyTest, Socks4RequestRelayAndRejection) {
    const int serverPort = m_server.Port();
    std::string request;
    ScriptedPeer* self = nullptr;
    ScriptedPeer relay([&](int fd) {
        request = self->ReadExactly(fd, 8 + 7);  // "pxuser" and its NUL
        ScriptedPeer::WriteAll(fd, Bytes({0, 90, 0, 0, 0, 0, 0, 0}));
        ScriptedPeer::Relay(fd, serverPort);
    });
    self = &relay;
    auto socket = test::MakeSocket(Entry(ProxySocks4, relay.Port(), "127.0.0.1", "pxuser"));
    ASSERT_TRUE(socket->Open()) << socket->Error();
    EXPECT_EQ(request, Bytes({4, 1}) + Port(serverPort) + Bytes({127, 0, 0, 1}) + "pxuser" + Bytes({0}));
    ExpectFetchWorks(*socket);
    socket->Close();
    EXPECT_EQ(m_server.Connections().back().commands,
              (std::vector<std::string>{"MODE READER", "GROUP alt.test", "ARTICLE <p1@test>", "QUIT"}));

    struct Case {
        const char* name;
        std::string reply;
        std::int32_t error;
    };
    const Case cases[] = {
        {"rejected", Bytes({0, 91, 0, 0, 0, 0, 0, 0}), -12},
        {"wrong first byte", Bytes({4, 90, 0, 0, 0, 0, 0, 0}), -12},
        {"no reply", "", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer* peerSelf = nullptr;
        ScriptedPeer peer([&](int fd) {
            peerSelf->ReadExactly(fd, 9);
            ScriptedPeer::WriteAll(fd, c.reply);
        });
        peerSelf = &peer;
        auto failing = test::MakeSocket(Entry(ProxySocks4, peer.Port()));
        failing->SetWaitTimeoutForTest(1000);
        EXPECT_FALSE(failing->Open());
        EXPECT_EQ(failing->Error(), c.error);
    }

    // SOCKS4 carries IPv4 destinations only; no request is sent for another one.
    ScriptedPeer* silentSelf = nullptr;
    ScriptedPeer silent([&](int fd) { silentSelf->ReadUntilQuit(fd); });
    silentSelf = &silent;
    auto v6 = test::MakeSocket(Entry(ProxySocks4, silent.Port(), "::1"));
    EXPECT_FALSE(v6->Open());
    EXPECT_EQ(v6->Error(), -12);
    v6->Close();
    EXPECT_EQ(silent.Received(), "QUIT\r\n");
}

}  // namespace
}  // namespace quivern
