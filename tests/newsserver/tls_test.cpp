#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "newsserver/news_server.h"
#include "raw_client.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"

namespace quivern::newsserver {
namespace {

using test::RawClient;

// The certificates of scripts/make-test-certs.sh, made once for all tests here.
class TlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_certs = new test::TempDir();
        ASSERT_TRUE(test::MakeTestCertificates(s_certs->Path()));
    }
    static void TearDownTestSuite() {
        delete s_certs;
        s_certs = nullptr;
    }
    static std::string Cert(const std::string& name) { return s_certs->File(name + ".pem"); }
    static std::string Key(const std::string& name) { return s_certs->File(name + ".key"); }

    static std::unique_ptr<NewsServer> StartTls(const std::string& name, bool plainToo = false) {
        NewsServerOptions options;
        options.plain = plainToo;
        options.tls = true;
        options.certFile = Cert(name);
        options.keyFile = Key(name);
        auto server = std::make_unique<NewsServer>(options);
        std::string error;
        EXPECT_TRUE(server->Start(&error)) << error;
        return server;
    }

    static inline test::TempDir* s_certs = nullptr;
};

TEST_F(TlsTest, ServesArticlesOverTlsWithTheValidCertificate) {
    auto server = StartTls("server", true);
    // Larger than one TLS record and one write slice of the server.
    std::string body;
    for (int i = 0; body.size() < 3u * 1024 * 1024; ++i) {
        body += (i % 7 == 0 ? "." : "") + std::string(100, static_cast<char>('a' + i % 26)) + "\r\n";
    }
    server->AddArticle("<tls@test>", {"alt.test"}, "Subject: tls\r\n", body);

    RawClient client;
    ASSERT_TRUE(client.ConnectTls(server->TlsPort(), Cert("ca"), "localhost"));
    EXPECT_EQ(client.VerifyResult(), X509_V_OK);
    EXPECT_EQ(client.ReadLine().substr(0, 4), "200 ");
    client.Send("BODY <tls@test>\r\n");
    const auto reply = client.ReadMultiLine(30000);
    ASSERT_EQ(reply.substr(0, 18), "222 0 <tls@test>\r\n");
    // Compared as a bool: a failing EXPECT_EQ would diff megabytes line by line.
    const auto received = test::Unstuff(std::string_view(reply).substr(18));
    EXPECT_EQ(received.size(), body.size());
    EXPECT_TRUE(received == body);
    EXPECT_EQ(client.Command("QUIT").substr(0, 4), "205 ");

    // The plain listener of the same server speaks plain NNTP.
    RawClient plain;
    ASSERT_TRUE(plain.Connect(server->Port()));
    EXPECT_EQ(plain.ReadLine().substr(0, 4), "200 ");

    const auto records = server->Connections();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(records[0].tls);
    EXPECT_EQ(records[0].commands, (std::vector<std::string>{"BODY <tls@test>", "QUIT"}));
    EXPECT_FALSE(records[1].tls);
}

TEST_F(TlsTest, TestCertificatesFailVerificationAsNamed) {
    const std::pair<const char*, long> cases[] = {
        {"expired", X509_V_ERR_CERT_HAS_EXPIRED},
        {"selfsigned", X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
        {"wronghost", X509_V_ERR_HOSTNAME_MISMATCH},
    };
    for (const auto& [name, expected] : cases) {
        SCOPED_TRACE(name);
        auto server = StartTls(name);
        RawClient client;
        ASSERT_TRUE(client.ConnectTls(server->TlsPort(), Cert("ca"), "localhost"));
        EXPECT_EQ(client.VerifyResult(), expected);
        EXPECT_EQ(client.ReadLine().substr(0, 4), "200 ");
    }
}

TEST_F(TlsTest, PlainClientOnTheTlsPortFailsTheHandshake) {
    auto server = StartTls("server");
    RawClient client;
    ASSERT_TRUE(client.Connect(server->TlsPort()));
    client.Send("MODE READER\r\n");
    std::string text;
    EXPECT_TRUE(client.ReadUntilClosed(&text));
    EXPECT_EQ(text.find("200 "), std::string::npos);
    ASSERT_TRUE(server->WaitForConnections(1, 1000));
    for (int i = 0; i < 100 && !server->Connections()[0].closed; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(server->Connections()[0].tlsFailed);
    EXPECT_TRUE(server->Connections()[0].commands.empty());
}

TEST_F(TlsTest, OpensslClientCompletesASession) {
    auto server = StartTls("server");
    // -ign_eof keeps s_client reading until the server closes after QUIT.
    const std::string command =
        "printf 'CAPABILITIES\\nQUIT\\n' | openssl s_client -quiet -crlf -ign_eof "
        "-verify_return_error -verify_hostname localhost -CAfile " +
        Cert("ca") + " -connect 127.0.0.1:" + std::to_string(server->TlsPort()) + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) {
        output.append(buffer, n);
    }
    EXPECT_EQ(pclose(pipe), 0) << output;
    EXPECT_EQ(output.substr(0, 4), "200 ") << output;
    EXPECT_NE(output.find("\r\n101 "), std::string::npos) << output;
    EXPECT_NE(output.find("\r\n205 "), std::string::npos) << output;
}

TEST_F(TlsTest, StartFailsWithAMissingOrMismatchedKey) {
    const std::pair<std::string, std::string> cases[] = {
        {Cert("server"), s_certs->File("none.key")},
        {Cert("server"), Key("expired")},
    };
    for (const auto& [cert, key] : cases) {
        NewsServerOptions options;
        options.tls = true;
        options.certFile = cert;
        options.keyFile = key;
        NewsServer server(options);
        std::string error;
        EXPECT_FALSE(server.Start(&error)) << key;
        EXPECT_NE(error.find("cannot load TLS"), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace quivern::newsserver
