#pragma once
// NZB documents and postings for the engine tests.

#include <string>
#include <vector>

#include "nzb/nzb_media.h"
#include "platform/refcounted.h"
#include "support/temp_dir.h"

namespace quivern::test {

struct PartSpec {
    std::string subject;
    int articles = 1;
    int firstNumber = 1;
};

// Writes an NZB with the given parts (message ids "<subject>-<n>@test") and opens it.
RcPtr<CNzbMedia> MakeNzb(const TempDir& tmp, const std::vector<PartSpec>& parts,
                         const std::string& name = "t.nzb");

}  // namespace quivern::test
