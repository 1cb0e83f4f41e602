#pragma once
// Verification without reading the files again: when every data file of a PAR2 recovery set is
// still exactly as the segment store wrote it, the MD5 taken while writing is compared with the
// one the recovery set records, and the par2 engine need not run.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "postproc/progress.h"

namespace quivern {

struct TPar2FileEntry {
    std::string name;
    std::uint64_t length = 0;
    std::array<std::uint8_t, 16> md5{};
};

// The data files of the recovery set described in a PAR2 file (its main packet and file
// description packets, each checked against its own MD5). False when the file holds no intact
// main packet or lacks a description of a file of the set.
bool ReadPar2FileList(const std::string& parPath, std::vector<TPar2FileEntry>& files);

// True when every data file of the set lies in the PAR2 file's folder, was written by the
// segment store, is unchanged since, and its size and MD5 match the set. Posts what a
// verification posts (status, each file, progress); posts nothing when it returns false.
bool Par2SetIntactByWrittenDigests(const std::string& parPath, CPostProcContext& ctx);

}  // namespace quivern
