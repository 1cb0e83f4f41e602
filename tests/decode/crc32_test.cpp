#include "nntp/decode/crc32.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace quivern {
namespace {

const Crc32Impl kAllImpls[] = {Crc32Impl::kBytewise, Crc32Impl::kSlicing16, Crc32Impl::kPclmul,
                               Crc32Impl::kVpclmul};

TEST(Crc32, KnownValuesForEveryImplementation) {
    struct Case {
        std::string text;
        std::uint32_t crc;
    };
    const Case cases[] = {
        {"", 0x00000000u},
        {"a", 0xE8B7BE43u},
        {"123456789", 0xCBF43926u},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
        {std::string(1000, '\0'), 0x060B1780u},
    };
    for (const Crc32Impl impl : kAllImpls) {
        if (!Crc32ImplAvailable(impl)) continue;
        for (const auto& c : cases) {
            EXPECT_EQ(Crc32UpdateWith(impl, 0, c.text.data(), c.text.size()), c.crc)
                << "impl " << static_cast<int>(impl) << " length " << c.text.size();
        }
    }
    EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
}

TEST(Crc32, TableIsTheReflectedZipTable) {
    const auto& t = Crc32Table();
    EXPECT_EQ(t[0], 0x00000000u);
    EXPECT_EQ(t[1], 0x77073096u);
    EXPECT_EQ(t[128], 0xEDB88320u);
    EXPECT_EQ(t[255], 0x2D02EF8Du);
}

TEST(Crc32, FastImplementationsMatchBytewiseOnRandomInputAndSplits) {
    std::mt19937 rng(12345);
    std::vector<unsigned char> buf(70000);
    for (auto& b : buf)
        b = static_cast<unsigned char>(rng());
    for (int round = 0; round < 400; ++round) {
        const std::size_t offset = rng() % 16;
        const std::size_t length = round < 300 ? rng() % 600 : rng() % (buf.size() - 16);
        const std::uint32_t expected = Crc32UpdateWith(Crc32Impl::kBytewise, 0, buf.data() + offset, length);
        const std::size_t split = length == 0 ? 0 : rng() % length;
        for (const Crc32Impl impl : kAllImpls) {
            if (!Crc32ImplAvailable(impl)) continue;
            ASSERT_EQ(Crc32UpdateWith(impl, 0, buf.data() + offset, length), expected)
                << "impl " << static_cast<int>(impl) << " offset " << offset << " length " << length;
            const std::uint32_t head = Crc32UpdateWith(impl, 0, buf.data() + offset, split);
            ASSERT_EQ(Crc32UpdateWith(impl, head, buf.data() + offset + split, length - split), expected);
        }
    }
}

TEST(Crc32, FileCrc32OfSamplesAndSpecialFiles) {
    EXPECT_EQ(FileCrc32(test::TestData("sfv/cfv/data1")), 0xB2A9E441u);
    EXPECT_EQ(FileCrc32(test::TestData("sfv/cfv/data3")), 0x841ADFA2u);
    EXPECT_EQ(FileCrc32(test::TestData("sfv/cfv/data4")), 0xFA323C6Du);

    test::TempDir dir;
    EXPECT_EQ(FileCrc32(dir.Write("empty", "")), 0xFFFFFFFFu);  // not 0, the CRC of no bytes
    EXPECT_EQ(FileCrc32(dir.File("missing")), 0xFFFFFFFFu);
    EXPECT_EQ(FileCrc32(dir.Path()), 0xFFFFFFFFu);  // a folder cannot be read

    // Larger than two read blocks, so the running CRC crosses block boundaries.
    std::string big(2500001, '\0');
    std::mt19937 rng(7);
    for (auto& c : big)
        c = static_cast<char>(rng());
    EXPECT_EQ(FileCrc32(dir.Write("big", big)),
              Crc32UpdateWith(Crc32Impl::kBytewise, 0, big.data(), big.size()));
}

}  // namespace
}  // namespace quivern
