#pragma once
// Helpers shared by the resource tests: running the built respack and making small resource sets.

#include <string>
#include <string_view>

#include "support/temp_dir.h"

namespace quivern::test {

struct ToolResult {
    int exitCode = -1;
    std::string output;  // stdout and stderr together
};

// Runs the built respack with the given arguments (each quoted for the shell).
ToolResult RunRespack(std::initializer_list<std::string_view> args);

// Writes a set folder below `dir` with language.txt and strings.txt (and any further files given
// as name/content pairs) and returns its path.
std::string WriteSet(const TempDir& dir, std::string_view folder, int language, std::string_view strings,
                     std::initializer_list<std::pair<std::string_view, std::string_view>> more = {});

// The built English language library and the source folders of the real sets.
std::string EnglishLibraryPath();
std::string ResourceSetDir(std::string_view language);

}  // namespace quivern::test
