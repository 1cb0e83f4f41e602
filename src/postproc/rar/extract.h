#pragma once
// The unpack step of the post-processing pipeline: extracts the RAR archive of a download into
// the folder that holds it, across all its volumes, with exact byte progress and the archive
// password (stored per NZB file for one use, or asked for once per step).
//
// libarchive is the extraction engine. It runs in a child process so that a reader that stops
// making progress on a malformed archive costs one failed step, not a hung worker: the parent
// watches the child's progress reports and ends it when they stop. Encrypted RAR 4 and RAR 5
// volumes are decrypted on the fly into plain streams that libarchive reads (rar_stream.h).

#include <chrono>
#include <string>
#include <vector>

#include "postproc/progress.h"
#include "postproc/rar/rar_stream.h"

namespace quivern {

class CSavedOptions;

struct ExtractResult {
    bool ok = false;
    rar::Failure failure = rar::Failure::None;
    std::string detail;  // a readable reason, also shown as the current-file text on failure
    std::vector<std::string> refusedNames;
};

struct ExtractSettings {
    // The reader is ended when it reports no progress for this long (the password prompt does
    // not count: the reader waits for nothing while it runs).
    std::chrono::milliseconds stallLimit{20000};
};

bool ExtractArchive(const std::string& rarPath, const std::string& nzbPath, CPostProcContext& ctx,
                    CSavedOptions* options);
ExtractResult ExtractArchiveEx(const std::string& rarPath, const std::string& nzbPath, CPostProcContext& ctx,
                               CSavedOptions* options, const ExtractSettings& settings = {});

// The volumes of the archive whose first volume is `firstVolume`, in order, as far as they
// exist: "name.partNN.rar" counts up keeping the number's width, "name.rar" goes on with
// "name.r00", "name.r01", ... A file that is not marked as a volume stands alone.
std::vector<std::string> RarVolumeList(const std::string& firstVolume);

// An entry name is written only when it stays inside the destination folder.
bool IsSafeEntryName(const std::string& name);
// A symbolic link `linkName` -> `target` is created only when the target stays inside too.
bool IsSafeLinkTarget(const std::string& linkName, const std::string& target);

}  // namespace quivern
