#pragma once
// The numbers of the texts that post-processing shows (resource strings).

#include <cstdint>

namespace quivern {

inline constexpr std::uint32_t kStrVerify = 144;
inline constexpr std::uint32_t kStrRepair = 145;
inline constexpr std::uint32_t kStrUnpack = 146;
inline constexpr std::uint32_t kStrArchiveFile = 147;
inline constexpr std::uint32_t kStrQueueCount = 150;
inline constexpr std::uint32_t kStrQueueEmpty = 151;
inline constexpr std::uint32_t kStrAllDone = 152;
inline constexpr std::uint32_t kStrErrorCount = 153;
inline constexpr std::uint32_t kStrCheckForJoin = 164;
inline constexpr std::uint32_t kStrJoining = 165;
inline constexpr std::uint32_t kStrNoUsefulFiles = 30036;
inline constexpr std::uint32_t kStrNoError = 30037;
inline constexpr std::uint32_t kStrNeedBlocks = 30038;
inline constexpr std::uint32_t kStrRepairImpossible = 30039;
inline constexpr std::uint32_t kStrParCannotOpen = 30040;
inline constexpr std::uint32_t kStrInternalError = 30041;
inline constexpr std::uint32_t kStrSuccess = 30042;
inline constexpr std::uint32_t kStrRarCannotOpen = 30043;
inline constexpr std::uint32_t kStrDamaged = 30044;
inline constexpr std::uint32_t kStrUnpacked = 30045;
inline constexpr std::uint32_t kStrMissingParts = 30048;

}  // namespace quivern
