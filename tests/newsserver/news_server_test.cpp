#include "newsserver/news_server.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "raw_client.h"
#include "support/temp_dir.h"

namespace quivern::newsserver {
namespace {

using test::RawClient;

std::unique_ptr<NewsServer> StartServer(NewsServerOptions options = {}) {
    auto server = std::make_unique<NewsServer>(options);
    server->AddArticle("<a1@test>", {"alt.test", "alt.other"}, "Subject: first\r\nFrom: x@y\r\n",
                       "line one\r\n");
    server->AddArticle("<a2@test>", {"alt.test"}, "Subject: second\n", "second body\n");
    std::string error;
    EXPECT_TRUE(server->Start(&error)) << error;
    return server;
}

TEST(NewsServer, AnswersEachCommandOfAReaderSession) {
    auto server = StartServer();
    RawClient client;
    ASSERT_TRUE(client.Connect(server->Port()));
    EXPECT_EQ(client.ReadLine().substr(0, 4), "200 ");

    struct Case {
        const char* command;
        const char* reply;  // expected start of the status line
    };
    const Case cases[] = {
        {"MODE READER", "200 "},
        {"STAT 1", "412 "},  // no group selected yet
        {"ARTICLE", "412 "},
        {"GROUP alt.nothing", "411 "},
        {"GROUP alt.test", "211 2 1 2 alt.test\r\n"},
        {"GROUP alt.other", "211 1 1 1 alt.other\r\n"},
        {"group alt.test", "211 2 1 2 alt.test\r\n"},  // keywords ignore case
        {"STAT", "223 1 <a1@test>\r\n"},               // GROUP selects the first article
        {"STAT 2", "223 2 <a2@test>\r\n"},
        {"STAT", "223 2 <a2@test>\r\n"},  // and STAT n moves the current article
        {"STAT 3", "423 "},
        {"STAT <a1@test>", "223 0 <a1@test>\r\n"},
        {"STAT <missing@test>", "430 "},
        {"ARTICLE <missing@test>", "430 "},
        {"STAT a1@test", "501 "},
        {"AUTHINFO", "501 "},
        {"MODE WRITER", "501 "},
        {"POST", "500 "},
        {"XYZZY", "500 "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(client.Command(c.command).substr(0, std::string_view(c.reply).size()), c.reply)
            << c.command;
    }

    EXPECT_EQ(client.Command("DATE").size(), std::string("111 20260101000000\r\n").size());
    client.Send("CAPABILITIES\r\n");
    const auto capabilities = client.ReadMultiLine();
    EXPECT_EQ(capabilities.substr(0, 4), "101 ");
    EXPECT_NE(capabilities.find("\r\nVERSION 2\r\n"), std::string::npos);
    EXPECT_NE(capabilities.find("\r\nREADER\r\n"), std::string::npos);

    client.Send("ARTICLE <a1@test>\r\n");
    EXPECT_EQ(client.ReadMultiLine(),
              "220 0 <a1@test>\r\nSubject: first\r\nFrom: x@y\r\n\r\nline one\r\n.\r\n");
    client.Send("HEAD <a2@test>\r\n");
    EXPECT_EQ(client.ReadMultiLine(), "221 0 <a2@test>\r\nSubject: second\r\n.\r\n");
    client.Send("BODY 2\r\n");
    EXPECT_EQ(client.ReadMultiLine(), "222 2 <a2@test>\r\nsecond body\r\n.\r\n");

    EXPECT_EQ(client.Command("QUIT").substr(0, 4), "205 ");
    std::string rest;
    EXPECT_TRUE(client.ReadUntilClosed(&rest));
    EXPECT_EQ(rest, "");
}

TEST(NewsServer, DotStuffsArticlesAndSendsRawOnesAsGiven) {
    NewsServer server;
    // Lines that begin with a dot, a lone dot, a bare LF line end and a missing final line end.
    const std::string body = ".\r\n..two\n.hidden\r\nplain\r\n\r\n. space\r\nlast";
    server.AddArticle("<dots@test>", {"alt.test"}, ".Header: dotted", body);
    server.AddRawArticle("<raw@test>", {"alt.test"}, "X: 1\r\n\r\n..kept\nbare\r\n");
    server.AddArticle("<headless@test>", {"alt.test"}, "", "only body\r\n");
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    RawClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    client.ReadLine();

    client.Send("ARTICLE <dots@test>\r\n");
    const auto article = client.ReadMultiLine();
    EXPECT_EQ(article,
              "220 0 <dots@test>\r\n"
              "..Header: dotted\r\n\r\n"
              "..\r\n...two\r\n..hidden\r\nplain\r\n\r\n.. space\r\nlast\r\n.\r\n");
    const auto statusEnd = article.find("\r\n") + 2;
    EXPECT_EQ(test::Unstuff(article.substr(statusEnd)),
              ".Header: dotted\r\n\r\n.\r\n..two\r\n.hidden\r\nplain\r\n\r\n. space\r\nlast\r\n");

    client.Send("BODY <dots@test>\r\n");
    EXPECT_EQ(client.ReadMultiLine(),
              "222 0 <dots@test>\r\n..\r\n...two\r\n..hidden\r\nplain\r\n\r\n.. space\r\nlast\r\n.\r\n");
    client.Send("HEAD <dots@test>\r\n");
    EXPECT_EQ(client.ReadMultiLine(), "221 0 <dots@test>\r\n..Header: dotted\r\n.\r\n");

    client.Send("ARTICLE <raw@test>\r\n");
    EXPECT_EQ(client.ReadMultiLine(), "220 0 <raw@test>\r\nX: 1\r\n\r\n..kept\nbare\r\n.\r\n");
    client.Send("BODY <raw@test>\r\n");
    EXPECT_EQ(client.ReadMultiLine(), "222 0 <raw@test>\r\n..kept\nbare\r\n.\r\n");

    client.Send("HEAD <headless@test>\r\n");
    EXPECT_EQ(client.ReadMultiLine(), "221 0 <headless@test>\r\n.\r\n");
    client.Send("BODY <headless@test>\r\n");
    EXPECT_EQ(client.ReadMultiLine(), "222 0 <headless@test>\r\nonly body\r\n.\r\n");
}

TEST(NewsServer, ServesALargeArticleIntact) {
    NewsServer server;
    // 8 MiB of yEnc-like lines with every byte value but NUL, CR and LF, some starting with a dot.
    std::string body;
    std::uint32_t seed = 12345;
    while (body.size() < 8u * 1024 * 1024) {
        for (int i = 0; i < 128; ++i) {
            seed = seed * 1103515245u + 12345u;
            char c = static_cast<char>((seed >> 16) & 0xFF);
            if (c == '\0' || c == '\r' || c == '\n') {
                c = '.';
            }
            body += c;
        }
        body += "\r\n";
    }
    server.AddArticle("<big@test>", {"alt.test"}, "Subject: big\r\n", body);
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    RawClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    client.ReadLine();
    client.Send("BODY <big@test>\r\n");
    const auto reply = client.ReadMultiLine(30000);
    ASSERT_EQ(reply.substr(0, 18), "222 0 <big@test>\r\n");
    // Compared as a bool: a failing EXPECT_EQ would diff megabytes line by line.
    const auto received = test::Unstuff(std::string_view(reply).substr(18));
    EXPECT_EQ(received.size(), body.size());
    EXPECT_TRUE(received == body);
}

TEST(NewsServer, RequiresAuthenticationWhenConfigured) {
    NewsServerOptions options;
    options.user = "reader";
    options.password = "secret";
    auto server = StartServer(options);

    RawClient client;
    ASSERT_TRUE(client.Connect(server->Port()));
    client.ReadLine();
    const std::pair<const char*, const char*> steps[] = {
        {"MODE READER", "200 "},
        {"GROUP alt.test", "480 "},
        {"ARTICLE <a1@test>", "480 "},
        {"AUTHINFO PASS secret", "482 "},  // PASS before USER
        {"AUTHINFO USER reader", "381 "},
        {"AUTHINFO PASS wrong", "481 "},
        {"AUTHINFO USER intruder", "381 "},
        {"AUTHINFO PASS secret", "481 "},
        {"STAT <a1@test>", "480 "},
        {"AUTHINFO USER reader", "381 "},
        {"AUTHINFO PASS secret", "281 "},
        {"GROUP alt.test", "211 "},
        {"AUTHINFO USER reader", "502 "},  // already authenticated
    };
    for (const auto& [command, reply] : steps) {
        EXPECT_EQ(client.Command(command).substr(0, 4), reply) << command;
    }

    // Without configured credentials any login is accepted, so a client that always logs in works.
    auto open = StartServer();
    RawClient other;
    ASSERT_TRUE(other.Connect(open->Port()));
    other.ReadLine();
    EXPECT_EQ(other.Command("AUTHINFO USER anyone").substr(0, 4), "381 ");
    EXPECT_EQ(other.Command("AUTHINFO PASS anything").substr(0, 4), "281 ");
    EXPECT_EQ(other.Command("STAT <a1@test>").substr(0, 4), "223 ");
}

TEST(NewsServer, LimitsSimultaneousConnections) {
    for (const int overLimitStatus : {502, 0}) {
        SCOPED_TRACE(overLimitStatus);
        NewsServerOptions options;
        options.maxConnections = 2;
        options.overLimitStatus = overLimitStatus;
        auto server = StartServer(options);

        RawClient first, second, third;
        ASSERT_TRUE(first.Connect(server->Port()));
        ASSERT_TRUE(second.Connect(server->Port()));
        EXPECT_EQ(first.ReadLine().substr(0, 4), "200 ");
        EXPECT_EQ(second.ReadLine().substr(0, 4), "200 ");
        ASSERT_TRUE(third.Connect(server->Port()));
        std::string rejected;
        EXPECT_TRUE(third.ReadUntilClosed(&rejected));
        EXPECT_EQ(rejected, overLimitStatus == 0 ? "" : "502 Too many connections\r\n");

        // A place that becomes free is given to the next connection.
        first.Command("QUIT");
        std::string ignored;
        first.ReadUntilClosed(&ignored);
        for (int i = 0; i < 100 && server->ActiveConnections() != 1; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        RawClient fourth;
        ASSERT_TRUE(fourth.Connect(server->Port()));
        EXPECT_EQ(fourth.ReadLine().substr(0, 4), "200 ");
        EXPECT_EQ(server->PeakConnections(), 2);

        const auto records = server->Connections();
        ASSERT_EQ(records.size(), 4u);
        EXPECT_FALSE(records[0].overLimit);
        EXPECT_FALSE(records[1].overLimit);
        EXPECT_TRUE(records[2].overLimit);
        EXPECT_FALSE(records[3].overLimit);
    }
}

TEST(NewsServer, RecordsWhatEachConnectionSent) {
    auto server = StartServer();
    RawClient one, two;
    ASSERT_TRUE(one.Connect(server->Port()));
    const auto greetingSize = one.ReadLine().size();
    ASSERT_TRUE(two.Connect(server->Port()));
    two.ReadLine();
    // Line ends as clients might send them: CRLF, bare LF, and a command split over two writes.
    std::size_t repliesSize = 0;
    one.Send("MODE READER\r\n");
    repliesSize += one.ReadLine().size();
    one.Send("GROUP alt.test\n");
    repliesSize += one.ReadLine().size();
    one.Send("STAT <a1");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    one.Send("@test>\r\n");
    const auto stat = one.ReadLine();
    EXPECT_EQ(stat.substr(0, 4), "223 ");
    repliesSize += stat.size();
    EXPECT_EQ(two.Command("AUTHINFO USER \xe4rger").substr(0, 4), "381 ");

    const auto records = server->Connections();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].commands,
              (std::vector<std::string>{"MODE READER", "GROUP alt.test", "STAT <a1@test>"}));
    EXPECT_EQ(records[0].received, "MODE READER\r\nGROUP alt.test\nSTAT <a1@test>\r\n");
    EXPECT_EQ(records[1].commands, (std::vector<std::string>{"AUTHINFO USER \xe4rger"}));
    EXPECT_EQ(records[0].bytesSent, greetingSize + repliesSize);
    server->ClearRecords();
    EXPECT_TRUE(server->Connections().empty());
}

TEST(NewsServer, LoadsArticlesFromAFolder) {
    for (const bool withIndex : {true, false}) {
        SCOPED_TRACE(withIndex);
        test::TempDir dir;
        dir.Write("one.txt",
                  "Message-ID: <f1@test>\nNewsgroups: alt.files, alt.more\nSubject: one\n\n.dot\nbody\n");
        dir.Write("two.txt", "Message-ID: <f2@test>\r\nNewsgroups: alt.files\r\n\r\nsecond\r\n");
        if (withIndex) {
            dir.Write("index",
                      "# message-id file groups\n<f1@test> one.txt alt.files,alt.more\n"
                      "<f2@test>  two.txt  alt.files\n");
        }
        NewsServer server;
        std::string error;
        ASSERT_EQ(server.LoadFolder(dir.Path(), &error), 2) << error;
        ASSERT_TRUE(server.Start(&error)) << error;
        RawClient client;
        ASSERT_TRUE(client.Connect(server.Port()));
        client.ReadLine();
        EXPECT_EQ(client.Command("GROUP alt.files"), "211 2 1 2 alt.files\r\n");
        EXPECT_EQ(client.Command("GROUP alt.more"), "211 1 1 1 alt.more\r\n");
        client.Send("BODY <f1@test>\r\n");
        EXPECT_EQ(client.ReadMultiLine(), "222 0 <f1@test>\r\n..dot\r\nbody\r\n.\r\n");
        client.Send("BODY <f2@test>\r\n");
        EXPECT_EQ(client.ReadMultiLine(), "222 0 <f2@test>\r\nsecond\r\n.\r\n");
    }

    const std::pair<const char*, const char*> badIndexes[] = {
        {"<x@test> missing.txt alt.files\n", "missing article file"},
        {"<x@test> ../escape alt.files\n", "outside the folder"},
        {"<x@test> one.txt\n", "expected"},
    };
    for (const auto& [index, reason] : badIndexes) {
        test::TempDir dir;
        dir.Write("one.txt", "Subject: x\n\nbody\n");
        dir.Write("index", index);
        NewsServer server;
        std::string error;
        EXPECT_EQ(server.LoadFolder(dir.Path(), &error), -1) << index;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
}

TEST(NewsServer, RefusesNonLoopbackAddressesAndStopsWithClientsAttached) {
    NewsServerOptions options;
    options.listenAddress = "0.0.0.0";
    NewsServer wide(options);
    std::string error;
    EXPECT_FALSE(wide.Start(&error));
    EXPECT_NE(error.find("loopback"), std::string::npos) << error;

    // Stop must not wait for clients: one mid-greeting stall, one idle after the greeting.
    auto server = StartServer();
    RawClient idle;
    ASSERT_TRUE(idle.Connect(server->Port()));
    idle.ReadLine();
    NewsFaults faults;
    faults.stallBeforeGreetingSeconds = 60;
    server->SetFaults(faults);
    RawClient stalled;
    ASSERT_TRUE(stalled.Connect(server->Port()));
    ASSERT_TRUE(server->WaitForConnections(2, 5000));
    server->Stop();
    std::string rest;
    EXPECT_TRUE(idle.ReadUntilClosed(&rest, 2000));
    EXPECT_TRUE(stalled.ReadUntilClosed(&rest, 2000));
    EXPECT_EQ(rest, "");
}

TEST(NewsServerProgram, ServesAFolderAndWritesItsPort) {
    test::TempDir dir;
    dir.Write("articles/a.txt", "Message-ID: <p1@test>\nNewsgroups: alt.demo\n\nhello\n");
    const std::string portFile = dir.File("ports");
    const std::string program = std::string(QUIVERN_BIN_DIR) + "/quivern-newsd";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl(program.c_str(), program.c_str(), "--articles", dir.File("articles").c_str(), "--port-file",
              portFile.c_str(), "--status-for-command", "DATE=503", static_cast<char*>(nullptr));
        _exit(127);
    }
    int port = 0;
    for (int i = 0; i < 500 && port == 0; ++i) {
        const auto text = test::ReadFile(portFile);
        if (text.rfind("plain=", 0) == 0) {
            port = std::stoi(text.substr(6));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ASSERT_GT(port, 0);
    {
        RawClient client;
        ASSERT_TRUE(client.Connect(port));
        EXPECT_EQ(client.ReadLine().substr(0, 4), "200 ");
        EXPECT_EQ(client.Command("DATE").substr(0, 4), "503 ");
        client.Send("ARTICLE <p1@test>\r\n");
        EXPECT_EQ(client.ReadMultiLine(),
                  "220 0 <p1@test>\r\nMessage-ID: <p1@test>\r\nNewsgroups: alt.demo\r\n\r\nhello\r\n.\r\n");
    }
    kill(child, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace quivern::newsserver
