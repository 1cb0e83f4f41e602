#include "engine/engine_support.h"

#include <gtest/gtest.h>

namespace quivern::test {

RcPtr<CNzbMedia> MakeNzb(const TempDir& tmp, const std::vector<PartSpec>& parts, const std::string& name) {
    std::string xml = "<nzb>";
    for (const auto& p : parts) {
        xml += "<file poster='p' date='1700000000' subject='" + p.subject +
               "'><groups><group>alt.test</group></groups>"
               "<segments>";
        for (int i = 0; i < p.articles; ++i) {
            const int n = p.firstNumber + i;
            xml += "<segment bytes='100' number='" + std::to_string(n) + "'>" + p.subject + "-" +
                   std::to_string(n) + "@test</segment>";
        }
        xml += "</segments></file>";
    }
    xml += "</nzb>";
    CNzbMedia* media = nullptr;
    EXPECT_TRUE(OpenNzbMedia(tmp.Write(name, xml), &media));
    return RcPtr<CNzbMedia>::Adopt(media);
}

}  // namespace quivern::test
