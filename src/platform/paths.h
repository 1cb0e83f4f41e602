#pragma once
// Where the program keeps its settings and where it finds its neighbours.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quivern {

// The program name: the file name of the program without its extension. The headless tool
// belongs to the program it is shipped with, so a trailing "-get" is dropped ("quivern-get"
// gives "quivern", a copy named "Other-get" gives "Other").
std::string ProgramNameFromPath(std::string_view programPath);

// The settings folder for a program file and the per-user settings root (pure; no I/O).
// - A POSIX program path ("/usr/bin/quivern"): <root>/<name>.
// - A drive path ("C:\Programs\Quivern.exe"): <root>\C_<name>.
// - A UNC path ("\\server\share\x\Quivern.exe"): <root>\server\share_<name>; a root of two
//   characters or fewer after the leading backslashes ("\\ab") gives nothing.
// Gives nothing when the root or the program name is empty or the path has none of these forms.
std::optional<std::string> SettingsFolderFor(std::string_view programPath, std::string_view settingsRoot);

// $XDG_CONFIG_HOME when set and absolute, else $HOME/.config; nothing without either.
std::optional<std::string> UserSettingsRoot();
// Full path of the running executable.
std::string CurrentProgramPath();
// The folder holding the running executable.
std::string CurrentProgramFolder();
// Builds the settings folder of the running program (or of `programPath`), creating the root
// (with parents) and the folder itself (mode 0700) when missing; nothing on failure.
std::optional<std::string> EnsureSettingsFolder(std::string_view programPath = {});

// The user's documents folder (XDG documents dir, else ~/Documents when it exists, else the
// home folder), without a trailing slash.
std::string DocumentsFolder();
// $TMPDIR when set, else /tmp, without a trailing slash.
std::string TempFolder();

// Folder part of a path without a trailing separator ("/a/b/c.nzb" gives "/a/b").
std::string FolderOf(std::string_view path);
// File-name part of a POSIX path: what follows the last '/' ("/a/b/c.nzb" gives "c.nzb").
std::string_view FileNamePart(std::string_view path);
// Removes trailing '/' (and '\') except for a root.
std::string StripTrailingSeparator(std::string_view path);
std::string JoinPath(std::string_view folder, std::string_view name);
bool FileExists(const std::string& path);
// Reads a whole regular file of at most `maxBytes` into `out`; false for anything else. A read
// that ends early leaves what was read.
bool ReadWholeFile(const std::string& path, std::string& out, std::uint64_t maxBytes = UINT64_MAX);
bool DirectoryExists(const std::string& path);

}  // namespace quivern
