#pragma once
// Confinement of names that come from the network (file names in articles) to their folder.

#include <string>
#include <string_view>

namespace quivern {

// Longest file name written, in bytes (the usual limit of Linux file systems).
inline constexpr std::size_t kMaxFileNameBytes = 255;

// Turns a name taken from an article into a plain file name that stays inside its folder: only
// the last path component is kept (both '/' and '\' separate), control characters are removed,
// surrounding blanks are trimmed, "." and ".." are refused, and a name that is too long is
// shortened while keeping its extension. Returns an empty string when nothing usable remains.
std::string ConfineFileName(std::string_view name);

}  // namespace quivern
