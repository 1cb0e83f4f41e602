#pragma once
// Which downloaded files the automatic pipeline works on: the download folder of an NZB file,
// its main recovery file and the first volume of its archive.
//
// A "stored file" is a regular file of the download folder. With an NZB document the stored
// files are those named in a subject of the document, in document order (the order of the list
// page); without one, every regular file of the folder in name order.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/paths.h"

namespace quivern {

class CNzbMedia;
class CSavedOptions;

struct TStoredFile {
    std::string m_name;  // file name inside the download folder
    std::uint64_t m_size = 0;
};

// SavePathRoot, joined with the NZB file's name without extension when subfolders are on.
std::string DownloadFolder(std::string_view savePathRoot, bool createSubfolders, std::string_view nzbPath);
std::string DownloadFolder(const CSavedOptions& options, std::string_view nzbPath);

// The stored files of `folder` as described above; `nzb` may be null.
std::vector<TStoredFile> ListStoredFiles(const std::string& folder, const CNzbMedia* nzb);

struct TFileChoice {
    std::string m_path;    // full path, empty when nothing qualifies
    std::string m_folder;  // the download folder, empty when nothing qualifies
};

// The smallest ".par2" file, or without any the smallest ".par" file; on equal sizes the first.
TFileChoice FindMainParFile(const std::string& folder, const std::vector<TStoredFile>& files);
// The first ".rar" file that is not a later volume of a numbered ".partN" set.
TFileChoice FindFirstRarVolume(const std::string& folder, const std::vector<TStoredFile>& files);

// Extension from the last dot of the file-name part, dot included; empty when there is none.
std::string_view FileExtension(std::string_view path);
// True when `name` is a first RAR volume (name.rar, name.part1.rar, name.part01.rar, x.vol.rar).
bool IsFirstRarVolumeName(std::string_view name);

}  // namespace quivern
