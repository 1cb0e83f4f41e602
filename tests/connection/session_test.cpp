#include <gtest/gtest.h>

#include "connection_support.h"
#include "newsserver/news_server.h"

namespace quivern {
namespace {

using newsserver::NewsFaults;
using newsserver::NewsServer;
using newsserver::NewsServerOptions;
using test::MakeEntry;
using test::MakeSocket;
using test::ScriptedPeer;

class SessionTest : public ::testing::Test {
protected:
    void Start(NewsServerOptions options = {}) {
        m_server = std::make_unique<NewsServer>(options);
        m_server->AddArticle("<a1@test>", {"alt.test"}, "Subject: one\r\nFrom: x@y",
                             "first\r\n.dotted\r\nlast");
        m_server->AddArticle("<a2@test>", {"alt.test"}, "Subject: two", "two");
        m_server->AddArticle("<b1@test>", {"alt.other"}, "Subject: b", "b");
        std::string error;
        ASSERT_TRUE(m_server->Start(&error)) << error;
    }
    RcPtr<CNntpSocket> Socket(const std::string& user = {}, const std::string& password = {}) {
        return MakeSocket(MakeEntry("127.0.0.1", m_server->Port(), false, user, password));
    }
    std::vector<std::string> Commands(std::size_t connection = 0) {
        const auto records = m_server->Connections();
        return connection < records.size() ? records[connection].commands : std::vector<std::string>{};
    }
    std::unique_ptr<NewsServer> m_server;
};

TEST_F(SessionTest, LoginIsSentWheneverCredentialsAreConfigured) {
    Start();
    auto anonymous = Socket();
    ASSERT_TRUE(anonymous->Open()) << anonymous->Error();
    EXPECT_TRUE(anonymous->SessionReady());
    anonymous->Close();

    // The server does not ask for a login; it is sent anyway, in Windows-1252.
    auto login = Socket("Jürgen", "pa ss");
    ASSERT_TRUE(login->Open()) << login->Error();
    login->Close();
    EXPECT_EQ(Commands(0), (std::vector<std::string>{"MODE READER", "QUIT"}));
    EXPECT_EQ(Commands(1), (std::vector<std::string>{"MODE READER", "AUTHINFO USER J\xFCrgen",
                                                     "AUTHINFO PASS pa ss", "QUIT"}));
}

TEST_F(SessionTest, LoginFailuresGiveTheirCodes) {
    struct Case {
        const char* name;
        const char* command;  // fault key, or null
        int status;
        std::string user, password;
        std::int32_t error;
        bool retryable;
    };
    const Case cases[] = {
        {"480 without credentials", "MODE READER", 480, "", "", -9, false},
        {"480 with credentials", "MODE READER", 480, "u", "p", 0, false},
        {"MODE READER refused", "MODE READER", 502, "", "", -28, true},
        {"MODE READER unknown", "MODE READER", 500, "", "", -26, false},
        {"USER answered 281", "AUTHINFO USER", 281, "u", "p", 0, true},
        {"PASS rejected", "AUTHINFO PASS", 481, "u", "p", -35, true},
        {"PASS 502", "AUTHINFO PASS", 502, "u", "p", -28, true},
    };
    Start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NewsFaults faults;
        faults.statusForCommand[c.command] = c.status;
        m_server->SetFaults(faults);
        auto socket = Socket(c.user, c.password);
        const bool opened = socket->Open();
        EXPECT_EQ(opened, c.error == 0 && !c.retryable);
        EXPECT_EQ(socket->SessionReady(), opened);
        EXPECT_EQ(socket->Error(), c.error);
        EXPECT_EQ(socket->Retryable(), c.retryable);
        socket->Close();
        // Close keeps the reason of the failure.
        EXPECT_EQ(socket->Error(), c.error);
    }
}

TEST_F(SessionTest, ServerRequiringLoginAcceptsTheRightPasswordOnly) {
    NewsServerOptions options;
    options.user = "user";
    options.password = "secret";
    Start(options);
    auto good = Socket("user", "secret");
    ASSERT_TRUE(good->Open()) << good->Error();
    std::string_view article;
    EXPECT_TRUE(good->FetchArticle("alt.test", "a2@test", nullptr, &article)) << good->Error();

    auto bad = Socket("user", "wrong");
    EXPECT_FALSE(bad->Open());
    EXPECT_EQ(bad->Error(), -35);
}

TEST_F(SessionTest, GreetingProblems) {
    struct Case {
        const char* greeting;
        std::int32_t error;
        bool retryable;
    };
    const Case cases[] = {
        {"400 busy\r\n", -25, true},
        {"502 go away\r\n", -28, true},
        {"hello there\r\n", -8, true},
        {"201 no posting\r\n", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.greeting);
        ScriptedPeer* self = nullptr;
        ScriptedPeer peer([&](int fd) {
            ScriptedPeer::WriteAll(fd, c.greeting);
            if (self->ReadSome(fd, 2000) == "MODE READER\r\n") {
                ScriptedPeer::WriteAll(fd, "200 ok\r\n");
                self->ReadUntilQuit(fd);
            }
        });
        self = &peer;
        auto socket = MakeSocket(MakeEntry("127.0.0.1", peer.Port()));
        EXPECT_EQ(socket->Open(), c.error == 0);
        EXPECT_EQ(socket->Error(), c.error);
        EXPECT_EQ(socket->Retryable(), c.retryable);
        socket->Close();
    }
}

TEST_F(SessionTest, GroupIsSelectedOncePerNameIgnoringCase) {
    Start();
    auto socket = Socket();
    ASSERT_TRUE(socket->Open());
    std::string_view article;
    ASSERT_TRUE(socket->FetchArticle("alt.test", "a1@test", nullptr, &article)) << socket->Error();
    ASSERT_TRUE(socket->FetchArticle("alt.test", "a2@test", nullptr, &article)) << socket->Error();
    ASSERT_TRUE(socket->StatArticle("ALT.TEST", "a1@test", nullptr)) << socket->Error();
    EXPECT_EQ(socket->GroupLow(), 1);
    EXPECT_EQ(socket->GroupHigh(), 2);
    ASSERT_TRUE(socket->StatArticle("alt.other", "b1@test", nullptr));
    EXPECT_EQ(socket->Group(), "alt.other");

    // An unknown group fails with -16 but is remembered as selected.
    EXPECT_FALSE(socket->StatArticle("alt.missing", "b1@test", nullptr));
    EXPECT_EQ(socket->Error(), -16);
    EXPECT_EQ(socket->Group(), "alt.missing");
    socket->Close();
    EXPECT_EQ(Commands(), (std::vector<std::string>{"MODE READER", "GROUP alt.test", "ARTICLE <a1@test>",
                                                    "ARTICLE <a2@test>", "STAT <a1@test>", "GROUP alt.other",
                                                    "STAT <b1@test>", "GROUP alt.missing", "QUIT"}));
}

TEST_F(SessionTest, MalformedGroupReplies) {
    for (const char* reply : {"211 3 x 9 alt.test\r\n", "211 3\r\n", "211 3 1 9- alt.test\r\n"}) {
        SCOPED_TRACE(reply);
        ScriptedPeer* self = nullptr;
        ScriptedPeer peer([&](int fd) {
            ScriptedPeer::WriteAll(fd, "200 hi\r\n");
            self->ReadExactly(fd, 13);
            ScriptedPeer::WriteAll(fd, "200 ok\r\n");
            self->ReadExactly(fd, 16);  // "GROUP alt.test\r\n"
            ScriptedPeer::WriteAll(fd, reply);
            self->ReadUntilQuit(fd);
        });
        self = &peer;
        auto socket = MakeSocket(MakeEntry("127.0.0.1", peer.Port()));
        ASSERT_TRUE(socket->Open());
        EXPECT_FALSE(socket->SelectGroup("alt.test"));
        EXPECT_EQ(socket->Error(), -8);
        socket->Close();
    }
    // Negative numbers are taken as they are.
    ScriptedPeer* self = nullptr;
    ScriptedPeer peer([&](int fd) {
        ScriptedPeer::WriteAll(fd, "200 hi\r\n");
        self->ReadExactly(fd, 13);
        ScriptedPeer::WriteAll(fd, "200 ok\r\n");
        self->ReadExactly(fd, 16);
        ScriptedPeer::WriteAll(fd, "211 0 -5 12 alt.test extra words\r\n");
        self->ReadUntilQuit(fd);
    });
    self = &peer;
    auto socket = MakeSocket(MakeEntry("127.0.0.1", peer.Port()));
    ASSERT_TRUE(socket->Open());
    EXPECT_TRUE(socket->SelectGroup("alt.test"));
    EXPECT_EQ(socket->GroupLow(), -5);
    EXPECT_EQ(socket->GroupHigh(), 12);
}

TEST_F(SessionTest, MessageIdsAreBracketedOnce) {
    Start();
    auto socket = Socket();
    ASSERT_TRUE(socket->Open());
    const std::pair<const char*, const char*> cases[] = {
        {"a1@test", "STAT <a1@test>"},
        {"<a1@test>", "STAT <a1@test>"},
        {"<a1@test", "STAT <<a1@test>"},
    };
    for (const auto& [id, expected] : cases)
        socket->StatArticle("alt.test", id, nullptr);
    socket->Close();
    const auto commands = Commands();
    ASSERT_EQ(commands.size(), 6u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(commands[2 + i], cases[i].second);
}

TEST_F(SessionTest, FetchedArticleIsTheTextTheDecoderTakes) {
    Start();
    auto socket = Socket();
    ASSERT_TRUE(socket->Open());
    std::string_view article;
    ASSERT_TRUE(socket->FetchArticle("alt.test", "<a1@test>", nullptr, &article));
    // From the status line's CRLF to the CRLF before the dot line; dot-stuffing kept.
    EXPECT_EQ(article, "\r\nSubject: one\r\nFrom: x@y\r\n\r\nfirst\r\n..dotted\r\nlast\r\n");
    EXPECT_EQ(article.data()[article.size()], '\0');

    // Not connected or not ready: false without a code.
    auto closed = Socket();
    EXPECT_FALSE(closed->FetchArticle("alt.test", "a1@test", nullptr, &article));
    EXPECT_EQ(closed->Error(), 0);
}

TEST_F(SessionTest, ArticleStatusesMapOntoCodes) {
    struct Case {
        int status;
        std::int32_t error;
        bool retryable;
    };
    const Case cases[] = {{400, -25, true},  {411, -34, false}, {412, -30, true},  {420, -31, true},
                          {423, -32, false}, {430, -33, false}, {500, -26, false}, {501, -27, false},
                          {502, -28, true},  {503, -29, true},  {481, -35, true},  {221, 0, true}};
    Start();
    auto socket = Socket();
    ASSERT_TRUE(socket->Open());
    socket->SetWaitTimeoutForTest(1000);  // a 221 answer has no terminator: it ends by silence
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        NewsFaults faults;
        faults.statusForMessageId["<a1@test>"] = c.status;
        m_server->SetFaults(faults);
        std::string_view article;
        EXPECT_FALSE(socket->FetchArticle("alt.test", "a1@test", nullptr, &article));
        EXPECT_EQ(socket->Error(), c.error);
        EXPECT_EQ(socket->Retryable(), c.retryable);
        EXPECT_FALSE(socket->StatArticle("alt.test", "a1@test", nullptr));
        EXPECT_EQ(socket->Error(), c.error);
    }
    // The connection stays in step after every failure.
    m_server->SetFaults({});
    std::string_view article;
    EXPECT_TRUE(socket->FetchArticle("alt.test", "a2@test", nullptr, &article));
    EXPECT_EQ(article, "\r\nSubject: two\r\n\r\ntwo\r\n");
    EXPECT_FALSE(socket->StatArticle("alt.test", "missing@test", nullptr));
    EXPECT_EQ(socket->Error(), -33);
}

TEST_F(SessionTest, UnterminatedArticleEndsAfterSilenceWithMinus8) {
    Start();
    NewsFaults faults;
    faults.unterminatedArticle = NewsFaults::Unterminated::KeepOpen;
    m_server->SetFaults(faults);
    auto socket = Socket();
    ASSERT_TRUE(socket->Open());
    socket->SetWaitTimeoutForTest(500);
    std::string_view article;
    EXPECT_FALSE(socket->FetchArticle("alt.test", "a1@test", nullptr, &article));
    EXPECT_EQ(socket->Error(), -8);

    faults.unterminatedArticle = NewsFaults::Unterminated::Close;
    m_server->SetFaults(faults);
    auto closing = Socket();
    ASSERT_TRUE(closing->Open());
    EXPECT_FALSE(closing->FetchArticle("alt.test", "a1@test", nullptr, &article));
    EXPECT_EQ(closing->Error(), -8);
}

}  // namespace
}  // namespace quivern
