#include <gtest/gtest.h>

#include "nntp/nntp_callback.h"
#include "nntp/server_entry.h"

namespace quivern {
namespace {

CServerEntry Entry(const char* host, std::uint16_t port) {
    CServerEntry e;
    EXPECT_TRUE(e.SetServer(host, port, false, "", "")) << host;
    return e;
}

std::vector<std::string> Hosts(const CNntpCallback& list) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < list.GetServerCount(); ++i) {
        CServerEntry e;
        EXPECT_TRUE(list.GetServer(i, e));
        out.push_back(e.Host() + ":" + std::to_string(e.ServerPort()));
    }
    return out;
}

TEST(ServerEntry, ResolutionValidityAndMatching) {
    CServerEntry e;
    EXPECT_FALSE(e.SetServer("", 119, false, "", ""));
    EXPECT_FALSE(e.IsValid());
    EXPECT_FALSE(e.SetServer("unresolvable.invalid", 119, false, "", ""));
    EXPECT_FALSE(e.IsValid());
    EXPECT_FALSE(e.MatchesAddress("unresolvable.invalid", -1));  // never for an invalid entry

    ASSERT_TRUE(e.SetServer("LocalHost", 8119, true, "u", "p"));
    EXPECT_TRUE(e.IsValid());
    EXPECT_EQ(e.ServerPort(), 8119);
    EXPECT_TRUE(e.MatchesAddress("localhost", 8119));
    EXPECT_TRUE(e.MatchesAddress("LOCALHOST", -1));
    EXPECT_FALSE(e.MatchesAddress("localhost", 119));
    EXPECT_FALSE(e.MatchesAddress("otherhost", 8119));

    // A proxy that cannot be resolved makes the entry invalid; dropping it makes it valid again.
    EXPECT_FALSE(e.SetProxy(ProxySocks5, "unresolvable.invalid", 1080, "", ""));
    EXPECT_FALSE(e.IsValid());
    EXPECT_TRUE(e.SetProxy(ProxyNone, "ignored", 1, "x", "y"));
    EXPECT_TRUE(e.IsValid());
    EXPECT_EQ(e.ProxyHost(), "");

    // Copies share the resolved addresses.
    CServerEntry copy = e;
    EXPECT_EQ(copy.ServerAddress(), e.ServerAddress());
    EXPECT_EQ(copy.Password(), "p");
}

TEST(ServerList, Operations) {
    RcPtr<CNntpCallback> list(new CNntpCallback());
    EXPECT_TRUE(list->InsertServer(Entry("127.0.0.1", 1), -1));
    EXPECT_TRUE(list->InsertServer(Entry("127.0.0.1", 2), 1));  // position == count appends
    EXPECT_TRUE(list->InsertServer(Entry("127.0.0.2", 3), 0));  // before entry 0
    EXPECT_FALSE(list->InsertServer(Entry("127.0.0.2", 4), 5));
    EXPECT_EQ(Hosts(*list), (std::vector<std::string>{"127.0.0.2:3", "127.0.0.1:1", "127.0.0.1:2"}));
    CServerEntry e;
    EXPECT_FALSE(list->GetServer(3, e));
    EXPECT_FALSE(list->RemoveServer(3));

    EXPECT_EQ(list->RemoveServersByAddress("127.0.0.1", 2), 1u);
    EXPECT_TRUE(list->InsertServer(Entry("127.0.0.1", 5), -1));
    EXPECT_EQ(list->RemoveServersByAddress("127.0.0.1", -1), 2u);
    EXPECT_EQ(Hosts(*list), (std::vector<std::string>{"127.0.0.2:3"}));

    EXPECT_TRUE(list->ReplaceServers({Entry("127.0.0.3", 6), Entry("127.0.0.4", 7)}));
    EXPECT_EQ(Hosts(*list), (std::vector<std::string>{"127.0.0.3:6", "127.0.0.4:7"}));
    EXPECT_TRUE(list->RemoveServer(0));
    EXPECT_EQ(Hosts(*list), (std::vector<std::string>{"127.0.0.4:7"}));
}

}  // namespace
}  // namespace quivern
