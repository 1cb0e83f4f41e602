#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <cstdlib>
#include <memory>

#include "connection_support.h"
#include "newsserver/news_server.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"

namespace quivern {
namespace {

using newsserver::NewsServer;
using newsserver::NewsServerOptions;
using test::MakeEntry;

// The certificates of scripts/make-test-certs.sh, with the test CA as the only trusted root.
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
    void SetUp() override { ::setenv("QUIVERN_CA_FILE", s_certs->File("ca.pem").c_str(), 1); }
    void TearDown() override { ::unsetenv("QUIVERN_CA_FILE"); }

    std::unique_ptr<NewsServer> StartServer(const std::string& name) {
        NewsServerOptions options;
        options.plain = false;
        options.tls = true;
        options.certFile = s_certs->File(name + ".pem");
        options.keyFile = s_certs->File(name + ".key");
        auto server = std::make_unique<NewsServer>(options);
        server->AddArticle("<t1@test>", {"alt.test"}, "Subject: tls", m_body);
        std::string error;
        EXPECT_TRUE(server->Start(&error)) << error;
        return server;
    }
    static CServerEntry Entry(const std::string& host, int port, bool acceptProblems = false) {
        CServerEntry entry = MakeEntry(host, port, true);
        entry.SetAcceptCertProblems(acceptProblems);
        return entry;
    }
    static int Tally(int code) {
        const auto tally = CNntpSocket::CertificateErrorTally();
        const auto it = tally.find(code);
        return it == tally.end() ? 0 : it->second;
    }

    static inline test::TempDir* s_certs = nullptr;
    std::string m_body = [] {
        std::string body;
        for (int i = 0; body.size() < 3u * 1024 * 1024; ++i)
            body += (i % 5 == 0 ? "." : "") + std::string(100, static_cast<char>('a' + i % 26)) + "\r\n";
        return body;
    }();
};

TEST_F(TlsTest, ValidChainIsAcceptedByNameAndByAddress) {
    auto server = StartServer("server");
    for (const char* host : {"localhost", "127.0.0.1"}) {
        SCOPED_TRACE(host);
        auto socket = test::MakeSocket(Entry(host, server->TlsPort()));
        ASSERT_TRUE(socket->Open()) << socket->Error();
        const TTlsTexts texts = socket->TlsTexts();
        EXPECT_FALSE(texts.cipher.empty());
        EXPECT_NE(texts.issuer.find("/CN=Quivern Test CA"), std::string::npos) << texts.issuer;
        EXPECT_NE(texts.subject.find("/CN=localhost"), std::string::npos) << texts.subject;

        // Larger than many TLS records: the article arrives whole, dot-stuffing kept.
        std::string_view article;
        ASSERT_TRUE(socket->FetchArticle("alt.test", "t1@test", nullptr, &article)) << socket->Error();
        EXPECT_EQ(article.substr(0, 16), "\r\nSubject: tls\r\n");
        std::string text(article.substr(16));
        for (std::size_t at = text.find("\r\n.."); at != std::string::npos; at = text.find("\r\n..", at + 3))
            text.erase(at + 2, 1);
        EXPECT_TRUE(text == "\r\n" + m_body);
        socket->Close();
    }
    const auto records = server->Connections();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].commands,
              (std::vector<std::string>{"MODE READER", "GROUP alt.test", "ARTICLE <t1@test>", "QUIT"}));
}

TEST_F(TlsTest, CertificateProblemsAreRefusedUnlessTheEntryAcceptsThem) {
    struct Case {
        const char* certificate;
        int code;
    };
    const Case cases[] = {
        {"expired", X509_V_ERR_CERT_HAS_EXPIRED},
        {"selfsigned", X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
        {"wronghost", X509_V_ERR_HOSTNAME_MISMATCH},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.certificate);
        auto server = StartServer(c.certificate);
        CNntpSocket::ClearCertificateErrorTally();

        auto strict = test::MakeSocket(Entry("localhost", server->TlsPort()));
        EXPECT_FALSE(strict->Open());
        EXPECT_EQ(strict->Error(), -11);
        EXPECT_FALSE(strict->Retryable());
        EXPECT_EQ(Tally(c.code), 1);
        // The texts are taken also when the handshake fails.
        EXPECT_FALSE(strict->TlsTexts().subject.empty());
        strict->Close();

        auto tolerant = test::MakeSocket(Entry("localhost", server->TlsPort(), true));
        ASSERT_TRUE(tolerant->Open()) << tolerant->Error();
        EXPECT_EQ(Tally(c.code), 2);  // accepted, and still counted
        std::string_view article;
        EXPECT_TRUE(tolerant->FetchArticle("alt.test", "t1@test", nullptr, &article));
        tolerant->Close();
        ASSERT_TRUE(server->WaitForConnections(2, 1000));
        EXPECT_TRUE(server->Connections()[0].commands.empty());  // nothing sent over the refused one
    }
}

TEST_F(TlsTest, TestCaIsNotTrustedWithoutBeingConfigured) {
    auto server = StartServer("server");
    ::unsetenv("QUIVERN_CA_FILE");  // the system's roots do not know the test CA
    CNntpSocket::ClearCertificateErrorTally();
    auto socket = test::MakeSocket(Entry("localhost", server->TlsPort()));
    EXPECT_FALSE(socket->Open());
    EXPECT_EQ(socket->Error(), -11);
    EXPECT_EQ(Tally(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY), 1);
}

TEST_F(TlsTest, PlainServerOnATlsEntryFailsTheHandshake) {
    NewsServer plain;
    std::string error;
    ASSERT_TRUE(plain.Start(&error)) << error;
    auto socket = test::MakeSocket(Entry("127.0.0.1", plain.Port()));
    socket->SetWaitTimeoutForTest(2000);
    EXPECT_FALSE(socket->Open());
    EXPECT_EQ(socket->Error(), -11);
    EXPECT_TRUE(socket->TlsTexts().subject.empty());
}

TEST_F(TlsTest, TlsThroughASocks5Proxy) {
    auto server = StartServer("server");
    test::Microsocks proxy;
    ASSERT_TRUE(proxy.Running());
    CServerEntry entry = Entry("localhost", server->TlsPort());
    entry.SetProxy(ProxySocks5RemoteDns, "127.0.0.1", static_cast<std::uint16_t>(proxy.Port()), "", "");
    auto socket = test::MakeSocket(entry);
    ASSERT_TRUE(socket->Open()) << socket->Error();
    EXPECT_TRUE(socket->StatArticle("alt.test", "<t1@test>", nullptr)) << socket->Error();
}

}  // namespace
}  // namespace quivern
