#pragma once
// Joining a file that was posted in numbered parts (name.001, name.002, ...), the first step of
// an automatic job. Runs on the pipeline's worker thread and reports only through `ctx`.

#include <cstdint>
#include <string>
#include <vector>

#include "postproc/progress.h"

namespace quivern {

class CSavedOptions;

// What a join did, so the pipeline can join again when repair later mends one of the parts.
struct TJoinResult {
    bool m_joined = false;             // this call wrote m_target
    std::string m_target;              // the whole file (empty when the folder holds no part set)
    std::vector<std::string> m_parts;  // the parts that went into m_target, in order
};

// The part number of a file name ("movie.avi.001" gives 1), or -1 when the name is not a part.
int SplitPartNumber(const std::string& name);

// Finds a part set in the download folder (see DownloadFolder with the options' subfolder rule,
// or the PAR file's folder) and joins it beside its parts. Never overwrites an existing whole
// file. When the whole file is a RAR archive, `rarPath` is set to it. Returns false only when
// the job was cancelled; every other outcome lets the job go on. `options` may be null (the PAR
// file's folder is used then).
bool JoinSplitFiles(const std::string& nzbPath, const std::string& parPath, std::string& rarPath,
                    CPostProcContext& ctx, const CSavedOptions* options, TJoinResult* result = nullptr);

// Writes `joined.m_target` again from the parts now in its folder (after a repair restored or
// mended some of them), replacing the earlier result. Same return rule as JoinSplitFiles.
bool RejoinSplitFiles(TJoinResult& joined, std::string& rarPath, CPostProcContext& ctx);

}  // namespace quivern
