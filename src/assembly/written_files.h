#pragma once
// Digests of the files the segment store wrote, taken while writing them, so that verification
// can tell an intact download without reading it again. A record holds only while the file is
// unchanged (same size and modification time as right after writing).

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace quivern {

struct TWrittenFile {
    std::uint64_t size = 0;
    std::array<std::uint8_t, 16> md5{};
};

// Records the file as just written (its size and time are read from the file itself).
void RecordWrittenFile(const std::string& path, const std::array<std::uint8_t, 16>& md5);
// The record of `path` if the file is still exactly as it was written.
std::optional<TWrittenFile> LookupWrittenFile(const std::string& path);
void ForgetWrittenFile(const std::string& path);

}  // namespace quivern
