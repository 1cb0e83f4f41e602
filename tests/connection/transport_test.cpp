#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <chrono>

#include "connection_support.h"
#include "newsserver/news_server.h"
#include "nntp/nntp_errors.h"
#include "nntp/watchdog.h"

namespace quivern {
namespace {

using newsserver::NewsFaults;
using newsserver::NewsServer;
using test::MakeEntry;
using test::MakeSocket;
using test::ScriptedPeer;
using Clock = std::chrono::steady_clock;

TEST(NetworkErrorClasses, SystemAndResolverErrorsFallIntoTwoClasses) {
    struct Case {
        int error;
        bool resolver;
        std::int32_t code;
        bool retryable;
    };
    const Case cases[] = {
        {ECONNREFUSED, false, -23, true}, {ECONNRESET, false, -23, true},   {ETIMEDOUT, false, -23, true},
        {ENETUNREACH, false, -23, true},  {EHOSTUNREACH, false, -23, true}, {ENETDOWN, false, -23, true},
        {EINTR, false, -23, true},        {ECONNABORTED, false, -23, true}, {EADDRINUSE, false, -24, false},
        {EACCES, false, -24, false},      {EAI_NONAME, true, -23, true},    {EAI_AGAIN, true, -23, true},
        {EAI_FAIL, true, -24, false},     {EAI_MEMORY, true, -24, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        std::int32_t code = 5;
        bool retryable = !c.retryable;
        if (c.resolver)
            MapResolverError(c.error, 0, code, retryable);
        else
            MapSystemError(c.error, code, retryable);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(retryable, c.retryable);
    }
    std::int32_t code = -8;
    bool retryable = true;
    MapSystemError(0, code, retryable);
    EXPECT_EQ(code, -8);
    EXPECT_TRUE(retryable);
}

TEST(OpenFailures, ConfigurationProblemsFailBeforeTheNetwork) {
    // No server at all.
    RcPtr<CNntpSocket> none(new CNntpSocket(test::MakeOwner({}).get()));
    EXPECT_FALSE(none->Open());
    EXPECT_EQ(none->Error(), -2);

    // A host that does not resolve makes the entry invalid.
    auto invalid = MakeSocket(MakeEntry("no-such-host.invalid", 119));
    EXPECT_FALSE(invalid->Open());
    EXPECT_EQ(invalid->Error(), -4);
    EXPECT_FALSE(invalid->Connected());

    // Nothing listens: refused, which is worth another attempt.
    auto refused = MakeSocket(MakeEntry("127.0.0.1", test::UnusedPort()));
    EXPECT_FALSE(refused->Open());
    EXPECT_EQ(refused->Error(), -23);
    EXPECT_TRUE(refused->Retryable());
}

TEST(OpenFailures, ServerIndexWrapsAndOpeningTwiceFails) {
    NewsServer server;
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    auto owner =
        test::MakeOwner({MakeEntry("127.0.0.1", test::UnusedPort()), MakeEntry("127.0.0.1", server.Port())});
    RcPtr<CNntpSocket> socket(new CNntpSocket(owner.get()));
    socket->SetServerIndex(7);  // past the end: starts again at the first entry
    EXPECT_FALSE(socket->Open());
    EXPECT_EQ(socket->ServerIndex(), 0u);
    EXPECT_EQ(socket->Error(), -23);
    socket->Close();
    socket->SetServerIndex(1);
    ASSERT_TRUE(socket->Open()) << socket->Error();
    EXPECT_FALSE(socket->Open());
    EXPECT_EQ(socket->Error(), -5);
    socket->Close();
    // The same object opens again after Close.
    EXPECT_TRUE(socket->Open()) << socket->Error();
}

TEST(OpenFailures, RefusedFirstAddressFallsBackToTheNext) {
    NewsServer server;
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    // Two resolved addresses: a port nothing listens on, then the server.
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* refused = nullptr;
    addrinfo* good = nullptr;
    ASSERT_EQ(getaddrinfo("127.0.0.1", std::to_string(test::UnusedPort()).c_str(), &hints, &refused), 0);
    ASSERT_EQ(getaddrinfo("127.0.0.1", std::to_string(server.Port()).c_str(), &hints, &good), 0);
    addrinfo* last = refused;
    while (last->ai_next != nullptr)
        last = last->ai_next;
    last->ai_next = good;  // freeaddrinfo releases the joined list node by node
    CServerEntry entry = MakeEntry("127.0.0.1", server.Port());
    entry.SetServerAddressForTest(RcPtr<CSmartAddr>(new CSmartAddr(refused)));
    auto socket = MakeSocket(entry);
    ASSERT_TRUE(socket->Open());
    EXPECT_EQ(socket->Error(), 0);  // the refusal of the first address is overwritten
    EXPECT_TRUE(socket->SessionReady());
}

// A peer that greets and answers MODE READER, then runs `rest`.
ScriptedPeer::Script Greeted(ScriptedPeer*& self, std::function<void(int)> rest) {
    return [&self, rest = std::move(rest)](int fd) {
        ScriptedPeer::WriteAll(fd, "200 hello\r\n");
        self->ReadExactly(fd, 13);
        ScriptedPeer::WriteAll(fd, "200 reader\r\n");
        rest(fd);
    };
}

TEST(Receive, ModesEndWhereTheyShould) {
    ScriptedPeer* peer = nullptr;
    std::string step;
    ScriptedPeer scripted(Greeted(peer, [&](int fd) {
        // ReadLine: the line arrives in pieces.
        peer->ReadExactly(fd, 1);
        ScriptedPeer::WriteAll(fd, "211 a");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ScriptedPeer::WriteAll(fd, "bc\r");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ScriptedPeer::WriteAll(fd, "\n");
        peer->ReadExactly(fd, 1);
        // ReadMultiLine with an error status ends at the first line.
        ScriptedPeer::WriteAll(fd, "430 no such article\r\n");
        peer->ReadExactly(fd, 1);
        // ReadMultiLine with 220: the terminator is split over writes.
        ScriptedPeer::WriteAll(fd, "220 ok\r\nline\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ScriptedPeer::WriteAll(fd, "..dot\r\n.");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ScriptedPeer::WriteAll(fd, "\r\n");
        peer->ReadExactly(fd, 1);
        // ReadRaw: goes on until the peer falls silent.
        ScriptedPeer::WriteAll(fd, "raw1\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ScriptedPeer::WriteAll(fd, "raw2\r\n");
        peer->ReadExactly(fd, 1, 10000);
    }));
    peer = &scripted;

    auto socket = MakeSocket(MakeEntry("127.0.0.1", scripted.Port()));
    ASSERT_TRUE(socket->Open()) << socket->Error();
    socket->SetWaitTimeoutForTest(1500);
    std::size_t length = 0;

    ASSERT_TRUE(socket->Send("x", 1));
    const char* reply = socket->Receive(CNntpSocket::ReadLine, nullptr, &length);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(std::string(reply, length), "211 abc\r\n");
    EXPECT_EQ(reply[length], '\0');

    ASSERT_TRUE(socket->Send("x", -1));
    const auto before430 = Clock::now();
    reply = socket->Receive(CNntpSocket::ReadMultiLine, nullptr, &length);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(std::string(reply, length), "430 no such article\r\n");
    EXPECT_LT(Clock::now() - before430, std::chrono::milliseconds(1000));  // did not wait for silence

    ASSERT_TRUE(socket->Send("x", 1));
    reply = socket->Receive(CNntpSocket::ReadMultiLine, nullptr, &length);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(std::string(reply, length), "220 ok\r\nline\r\n..dot\r\n.\r\n");

    ASSERT_TRUE(socket->Send("x", 1));
    const auto beforeRaw = Clock::now();
    reply = socket->Receive(CNntpSocket::ReadRaw, nullptr, &length);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(std::string(reply, length), "raw1\r\nraw2\r\n");
    EXPECT_GE(Clock::now() - beforeRaw, std::chrono::milliseconds(1500));  // ended by silence

    // Silence alone: nothing received.
    EXPECT_EQ(socket->Receive(CNntpSocket::ReadLine, nullptr, &length), nullptr);
    EXPECT_EQ(socket->Error(), -1);
    EXPECT_EQ(length, 0u);
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(m_server.Start(&error)) << error;
    }
    RcPtr<CNntpSocket> OpenSocket() {
        auto socket = MakeSocket(MakeEntry("127.0.0.1", m_server.Port()));
        EXPECT_TRUE(socket->Open()) << socket->Error();
        return socket;
    }
    NewsServer m_server;
};

TEST_F(ServerTest, ProgressIsReportedPerChunkOrOnceForAnAvailabilityCheck) {
    std::string body;
    for (int i = 0; body.size() < 2u * 1024 * 1024; ++i)
        body += std::string(120, static_cast<char>('a' + i % 26)) + "\r\n";
    m_server.AddArticle("<big@test>", {"alt.test"}, "Subject: big\r\n", body);
    auto socket = OpenSocket();

    test::ProgressRecorder download;
    std::string_view article;
    ASSERT_TRUE(socket->FetchArticle("alt.test", "big@test", &download, &article)) << socket->Error();
    // Every byte of the reply was reported: status line, article and terminator.
    EXPECT_EQ(download.total, std::string("220 0 <big@test>").size() + article.size() + 3);
    EXPECT_GT(download.calls, 1);

    test::ProgressRecorder check(true, 777000);
    ASSERT_TRUE(socket->StatArticle("alt.test", "big@test", &check));
    EXPECT_EQ(check.calls, 1);
    EXPECT_EQ(check.total, 777000u);
    EXPECT_GT(socket->TakeBytesReceived(), body.size());
    EXPECT_EQ(socket->TakeBytesReceived(), 0u);
}

TEST_F(ServerTest, CloseSendsQuitAndReturnsWhenTheServerCloses) {
    auto socket = OpenSocket();
    const auto start = Clock::now();
    socket->Close();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));  // not the 30-second silence
    EXPECT_FALSE(socket->Connected());
    ASSERT_TRUE(m_server.WaitForConnections(1, 1000));
    EXPECT_EQ(m_server.Connections()[0].commands, (std::vector<std::string>{"MODE READER", "QUIT"}));
    // Closing again sends nothing.
    socket->Close();
    EXPECT_EQ(m_server.Connections()[0].commands.size(), 2u);
}

TEST_F(ServerTest, WatchdogReleasesAStalledReaderButNotASlowOne) {
    std::string body;
    for (int i = 0; i < 200; ++i)
        body += std::string(100, 'x') + "\r\n";
    m_server.AddArticle("<stall@test>", {"alt.test"}, "Subject: s\r\n", body);
    ASSERT_TRUE(CStalledReadWatchdog::Start(std::chrono::milliseconds(100), std::chrono::milliseconds(400)));
    EXPECT_FALSE(CStalledReadWatchdog::Start());  // already running

    auto socket = OpenSocket();
    NewsFaults faults;
    faults.stallMidArticleSeconds = 20;
    m_server.SetFaults(faults);
    const auto start = Clock::now();
    std::string_view article;
    EXPECT_FALSE(socket->FetchArticle("alt.test", "<stall@test>", nullptr, &article));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));  // well before the 30-second wait
    EXPECT_EQ(socket->Error(), -23);
    EXPECT_TRUE(socket->Retryable());
    socket->Close();

    // A reader that receives a little every 100 ms stays alive although the whole article takes
    // far longer than the limit.
    faults = {};
    faults.dripBytes = 2000;
    faults.dripIntervalMs = 100;
    m_server.SetFaults(faults);
    auto slow = OpenSocket();
    ASSERT_TRUE(slow->FetchArticle("alt.test", "<stall@test>", nullptr, &article)) << slow->Error();
    EXPECT_GT(article.size(), body.size());
    m_server.SetFaults({});
    CStalledReadWatchdog::Stop();
    EXPECT_FALSE(CStalledReadWatchdog::IsRunning());
}

}  // namespace
}  // namespace quivern
