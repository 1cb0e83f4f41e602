#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "newsserver/news_server.h"
#include "raw_client.h"

namespace quivern::newsserver {
namespace {

using test::RawClient;

const char kGreeting[] = "200 Quivern test news server ready\r\n";
const char kArticle[] = "220 0 <a1@test>\r\nSubject: one\r\n\r\nabcdefghijklmnopqrstuvwxyz\r\n.\r\n";

class FaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_server.AddArticle("<a1@test>", {"alt.test"}, "Subject: one\r\n", "abcdefghijklmnopqrstuvwxyz\r\n");
        m_server.AddArticle("<a2@test>", {"alt.test"}, "Subject: two\r\n", "two\r\n");
        std::string error;
        ASSERT_TRUE(m_server.Start(&error)) << error;
    }
    void Set(const NewsFaults& faults) { m_server.SetFaults(faults); }
    void Connect(RawClient& client) { ASSERT_TRUE(client.Connect(m_server.Port())); }

    NewsServer m_server;
};

TEST_F(FaultsTest, RefusedConnectionIsClosedBeforeAnyByte) {
    NewsFaults faults;
    faults.refuseConnections = true;
    Set(faults);
    RawClient client;
    Connect(client);
    std::string text;
    EXPECT_TRUE(client.ReadUntilClosed(&text));
    EXPECT_EQ(text, "");
    ASSERT_EQ(m_server.Connections().size(), 1u);
    EXPECT_TRUE(m_server.Connections()[0].refused);

    // Switched off again, the next connection is served.
    Set(NewsFaults{});
    RawClient next;
    Connect(next);
    EXPECT_EQ(next.ReadLine(), kGreeting);
}

TEST_F(FaultsTest, ClosesAfterTheGivenNumberOfBytes) {
    const std::string greeting = kGreeting;
    for (const std::int64_t limit :
         {std::int64_t{0}, std::int64_t{10}, static_cast<std::int64_t>(greeting.size() + 25)}) {
        SCOPED_TRACE(limit);
        NewsFaults faults;
        faults.closeAfterBytes = limit;
        Set(faults);
        RawClient client;
        Connect(client);
        client.Send("ARTICLE <a1@test>\r\n");
        std::string text;
        EXPECT_TRUE(client.ReadUntilClosed(&text));
        EXPECT_EQ(text, (greeting + kArticle).substr(0, static_cast<std::size_t>(limit)));
    }
}

TEST_F(FaultsTest, StallsBeforeTheGreetingAndInsideAnArticle) {
    NewsFaults faults;
    faults.stallBeforeGreetingSeconds = 0.6;
    Set(faults);
    RawClient client;
    Connect(client);
    EXPECT_EQ(client.ReadFor(300), "");
    EXPECT_EQ(client.ReadLine(3000), kGreeting);

    faults = {};
    faults.stallMidArticleSeconds = 0.6;
    Set(faults);
    client.Send("ARTICLE <a1@test>\r\n");
    const std::string whole = kArticle;
    const std::string before = client.ReadAvailable();
    EXPECT_FALSE(before.empty());
    EXPECT_LT(before.size(), whole.size());
    EXPECT_EQ(before, whole.substr(0, before.size()));
    EXPECT_EQ(client.ReadFor(300), "");
    EXPECT_EQ(before + client.ReadMultiLine(3000), whole);
}

TEST_F(FaultsTest, AnswersChosenStatusesForMessageIdsAndCommands) {
    RawClient client;
    Connect(client);
    client.ReadLine();
    // Changed while the connection is open: the next command sees the new setting.
    NewsFaults faults;
    faults.statusForMessageId = {{"<a1@test>", 430}, {"<a2@test>", 503}, {"<gone@test>", 480}};
    faults.statusForCommand = {{"MODE READER", 480}, {"group", 502}, {"AUTHINFO USER", 281}};
    Set(faults);
    const std::pair<const char*, const char*> cases[] = {
        {"ARTICLE <a1@test>", "430 "},
        {"STAT <a1@test>", "430 "},
        {"BODY <a2@test>", "503 "},
        {"HEAD <gone@test>", "480 "},
        {"MODE READER", "480 "},
        {"GROUP alt.test", "502 "},
        {"AUTHINFO USER x", "281 "},
        {"AUTHINFO PASS y", "482 "},  // the USER step never happened
        {"MODE", "501 "},
        {"GROUPS", "500 "},  // a key matches whole words only
    };
    for (const auto& [command, reply] : cases) {
        EXPECT_EQ(client.Command(command).substr(0, 4), reply) << command;
    }
    Set(NewsFaults{});
    client.Send("ARTICLE <a1@test>\r\n");
    EXPECT_EQ(client.ReadMultiLine(), kArticle);
}

TEST_F(FaultsTest, GreetsWithoutAStatusCode) {
    NewsFaults faults;
    faults.greetingWithoutStatus = true;
    Set(faults);
    RawClient client;
    Connect(client);
    const auto greeting = client.ReadLine();
    ASSERT_FALSE(greeting.empty());
    EXPECT_EQ(greeting.find_first_of("0123456789"), std::string::npos) << greeting;
    EXPECT_EQ(client.Command("MODE READER").substr(0, 4), "200 ");
}

TEST_F(FaultsTest, SendsArticlesWithoutTerminator) {
    const std::string unterminated = std::string(kArticle).substr(0, sizeof kArticle - 1 - 3);
    {
        NewsFaults faults;
        faults.unterminatedArticle = NewsFaults::Unterminated::KeepOpen;
        Set(faults);
        RawClient client;
        Connect(client);
        client.ReadLine();
        client.Send("ARTICLE <a1@test>\r\n");
        EXPECT_EQ(client.ReadAvailable(), unterminated);
        EXPECT_EQ(client.ReadFor(300), "");
        EXPECT_FALSE(client.Closed());
        // Further commands are taken in and recorded, but never answered.
        client.Send("DATE\r\n");
        EXPECT_EQ(client.ReadFor(300), "");
        EXPECT_FALSE(client.Closed());
        client.Close();
        ASSERT_TRUE(m_server.WaitForConnections(1, 1000));
        EXPECT_NE(m_server.Connections()[0].received.find("DATE\r\n"), std::string::npos);
    }
    {
        NewsFaults faults;
        faults.unterminatedArticle = NewsFaults::Unterminated::Close;
        Set(faults);
        RawClient client;
        Connect(client);
        client.ReadLine();
        client.Send("ARTICLE <a1@test>\r\n");
        std::string text;
        EXPECT_TRUE(client.ReadUntilClosed(&text));
        EXPECT_EQ(text, unterminated);
    }
}

TEST_F(FaultsTest, DripsOutputSlowly) {
    NewsFaults faults;
    faults.dripBytes = 5;
    faults.dripIntervalMs = 400;
    Set(faults);
    RawClient client;
    Connect(client);
    // The first 5 bytes go at once, the next ones 400 ms later.
    EXPECT_EQ(client.ReadAvailable(), "200 Q");
    const auto first = std::chrono::steady_clock::now();
    EXPECT_EQ(client.ReadAvailable(), "uiver");
    EXPECT_GE(std::chrono::steady_clock::now() - first, std::chrono::milliseconds(300));
    // Sped up while under way, the rest arrives at once.
    faults.dripIntervalMs = 1;
    Set(faults);
    EXPECT_EQ(client.ReadLine(), "n test news server ready\r\n");
    client.Send("ARTICLE <a1@test>\r\n");
    EXPECT_EQ(client.ReadMultiLine(), kArticle);
}

}  // namespace
}  // namespace quivern::newsserver
