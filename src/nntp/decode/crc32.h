#pragma once
// CRC-32 of ZIP, PNG and SFV lists: reflected, polynomial 0x04C11DB7, initial value and final
// complement 0xFFFFFFFF.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quivern {

// The 256-entry byte table. Built on first use; call it once at start-up so that worker threads
// only ever read it.
const std::array<std::uint32_t, 256>& Crc32Table();

// Running CRC: pass 0 for the first buffer and the previous result for each following one, so
// Crc32Update(Crc32Update(0, a), b) equals the CRC of a followed by b.
std::uint32_t Crc32Update(std::uint32_t crc, const void* data, std::size_t length);
inline std::uint32_t Crc32(const void* data, std::size_t length) {
    return Crc32Update(0, data, length);
}

// The implementations Crc32Update chooses from. All give identical results; the byte-wise one is
// the reference the others are checked against.
enum class Crc32Impl { kBytewise, kSlicing16, kPclmul, kVpclmul };
bool Crc32ImplAvailable(Crc32Impl impl);
std::uint32_t Crc32UpdateWith(Crc32Impl impl, std::uint32_t crc, const void* data, std::size_t length);
// The implementation Crc32Update uses on this processor.
Crc32Impl Crc32ActiveImpl();

// CRC of a whole file, read in blocks of 1,000,000 bytes. Returns 0xFFFFFFFF when the file cannot
// be opened, its size cannot be read or is 0, or the read buffer cannot be allocated; a read error
// part-way returns the CRC of what was read.
std::uint32_t FileCrc32(const std::string& path);

}  // namespace quivern
