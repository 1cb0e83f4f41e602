#pragma once
// The settings the engine and the segment store copy when they start. The front end (window
// program or quivern-get) sets them from the settings store before the first download; the
// engine and the store read them once, when they are created, and keep their copies.

#include <cstdint>
#include <string>

namespace quivern {

struct TEngineSettings {
    std::int32_t maxChannels = 8;
    bool useChannelLoop = true;
    std::string savePathRoot;  // empty: the user's documents folder
    std::string tempPathRoot;  // empty: the system's temporary folder
    bool createSubfolders = true;
    // Decoded segments kept in memory by the segment store, in all; beyond it, segments wait in
    // spill files in the temporary folder.
    std::uint64_t storeMemoryBudget = 512ull << 20;
};

void SetEngineSettings(const TEngineSettings& settings);
TEngineSettings GetEngineSettings();

}  // namespace quivern
