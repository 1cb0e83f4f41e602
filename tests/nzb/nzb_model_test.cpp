#include <gtest/gtest.h>

#include "nzb/nzb_media.h"
#include "platform/refcounted.h"

namespace quivern {
namespace {

TEST(NzbModel, ReferenceCountingAndOwnership) {
    auto* media = new CNzbMedia();
    EXPECT_EQ(media->AddRef(), 1);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(media->QueryInterface(nullptr, &out), kENotImpl);
    EXPECT_EQ(out, nullptr);

    auto* part = new CNzbPart();
    part->AddRef();  // the document's reference
    media->m_parts.push_back(part);
    auto* article = new CNzbArticle();
    article->AddRef();
    part->AppendArticle(article);

    // A job keeps the part alive after the document is gone.
    part->AddRef();
    EXPECT_EQ(media->Release(), 0);
    ASSERT_EQ(part->m_articles.size(), 1u);
    EXPECT_EQ(part->m_articles[0], article);
    EXPECT_EQ(part->Release(), 0);
}

TEST(NzbModel, GroupListGrowthAndActiveGroup) {
    auto groups = RcPtr<CNzbGroups>(new CNzbGroups());
    EXPECT_FALSE(groups->AddGroup(""));
    EXPECT_FALSE(groups->m_valid);
    ASSERT_TRUE(groups->AddGroup("alt.binaries.a"));
    EXPECT_EQ(groups->m_groupListSize, 14u + 2u);  // the first block is exactly name + 2
    ASSERT_TRUE(groups->AddGroup("alt.binaries.b"));
    EXPECT_EQ(groups->m_groupListSize, (14u + 16u) * 4u + 8u);
    ASSERT_TRUE(groups->AddGroup("alt.binaries.a"));  // duplicates are kept
    EXPECT_TRUE(groups->m_valid);
    EXPECT_EQ(groups->Names(),
              (std::vector<std::string>{"alt.binaries.a", "alt.binaries.b", "alt.binaries.a"}));
    EXPECT_EQ(groups->ActiveGroup().value_or(""), "alt.binaries.a");
    EXPECT_TRUE(groups->SetActiveGroup(1));
    EXPECT_EQ(groups->ActiveGroup().value_or(""), "alt.binaries.b");
    EXPECT_FALSE(groups->SetActiveGroup(3));
    groups->Clear();
    EXPECT_FALSE(groups->m_valid);
    EXPECT_FALSE(groups->ActiveGroup());
}

TEST(NzbModel, GroupOfAnArticle) {
    CNzbPart part;
    auto* groups = new CNzbGroups();
    groups->AddRef();
    groups->AddGroup("alt.binaries.first");
    groups->AddGroup("alt.binaries.second");
    part.SetGroups(groups);
    auto* article = new CNzbArticle();
    article->AddRef();
    article->m_bytes = 10;
    article->m_number = 0;
    article->m_messageId = "id@x";
    article->m_valid = true;
    part.AppendArticle(article);
    part.m_poster = "p";
    part.m_subject = "s";
    part.m_date.wYear = 2020;

    EXPECT_FALSE(GroupOfArticle(part, *article));  // not validated yet: nothing
    ASSERT_TRUE(part.Validate());
    EXPECT_EQ(GroupOfArticle(part, *article).value_or(""), "alt.binaries.first");
    article->SetGroup(std::string("alt.binaries.own"));
    EXPECT_EQ(GroupOfArticle(part, *article).value_or(""), "alt.binaries.own");
    article->SetGroup(std::nullopt);
    groups->SetActiveGroup(1);
    EXPECT_EQ(GroupOfArticle(part, *article).value_or(""), "alt.binaries.second");
}

TEST(NzbModel, ToAnsiConvertsIntoAGrowingScratchBuffer) {
    CNzbArticle a;
    std::size_t len = 0;
    const char* s = a.ToAnsi("<caf\xC3\xA9\xE4\xB8\xAD@host>", &len);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "<caf\xE9?@host>");
    EXPECT_EQ(len, 12u);
    const char* again = a.ToAnsi("ab");
    EXPECT_EQ(again, s);  // small enough: the same buffer is reused
}

TEST(NzbModel, DateConversion) {
    struct Case {
        std::int64_t seconds;
        bool ok;
        SystemTime expected;
    } cases[] = {
        {0, true, {1970, 1, 4, 1, 0, 0, 0, 0}},
        {1295000000, true, {2011, 1, 5, 14, 10, 13, 20, 0}},
        {951782400, true, {2000, 2, 2, 29, 0, 0, 0, 0}},  // leap day
        {32535215999, true, {3000, 12, 3, 31, 23, 59, 59, 0}},
        {32535216000, false, {}},
        {-1, false, {}},
    };
    for (const auto& c : cases) {
        SystemTime t;
        EXPECT_EQ(UnixTimeToSystemTime(c.seconds, t), c.ok) << c.seconds;
        if (c.ok) {
            EXPECT_EQ(t, c.expected) << c.seconds;
        }
    }
}

}  // namespace
}  // namespace quivern
