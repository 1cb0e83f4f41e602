#pragma once
// SFV lists: reading, decoding, parsing and checking every listed file against its CRC-32.
//
// The check runs on a worker thread and reports each file to the result window as soon as it is
// known: WM_APP+1 with wParam = (percent << 16) | code and lParam = a heap std::string* of the
// file's path that the window takes over. wParam 3 with lParam 0 means the list is unusable.

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/refcounted.h"
#include "platform/window_messages.h"

namespace quivern {

inline constexpr std::uint32_t WM_SFV_RESULT = WM_APP + 1;

enum SfvCode : std::uint32_t {
    SfvOk = 0,          // the CRC-32 matches
    SfvBadCrc = 1,      // the CRC-32 differs
    SfvMissing = 2,     // the file does not exist (or its name would leave the list's folder)
    SfvUnreadable = 3,  // the CRC came out as FFFFFFFF while another value was expected
};

struct TCRCSfv {
    std::string m_path;  // the folder joined with the name of the line
    std::uint32_t m_crc = 0;
    // False when the name is absolute or climbs out of the folder; such an entry is reported
    // as missing and never opened.
    bool m_confined = true;
};

class CSFVJob : public CEasyRCBase {
public:
    CSFVJob(std::string sfvPath, std::string folder, WindowHandle window)
        : m_sfvPath(std::move(sfvPath)), m_folder(std::move(folder)), m_window(window) {}
    std::string m_sfvPath;
    std::string m_folder;
    WindowHandle m_window;
};

// Turns the bytes of an SFV file into UTF-8 by their signature: FF FE UTF-16LE, FE FF UTF-16BE,
// EF BB BF UTF-8; without a signature valid UTF-8 stays as it is and anything else is read as
// Windows-1252. False when UTF-16 text is malformed.
bool DecodeSfvText(std::string_view bytes, std::string& utf8);

// The entries of an SFV text in file order. Parsing ends at the first line that is a single
// word, a single character, or has a one-character name.
std::vector<TCRCSfv> ParseSfv(std::string_view text, const std::string& folder);

// The listed file's result (the file is taken as named; ProcessSfvJob also matches names that
// differ only in case, as lists made on case-insensitive systems have them).
SfvCode CheckSfvEntry(const TCRCSfv& entry);

// Percent of the result message for the index-th (from 1) of count files.
std::uint32_t SfvPercent(std::size_t index, std::size_t count);

// False when the job's window is gone, else the result of posting.
bool PostResult(const CSFVJob& job, SfvCode code, const std::string& path, std::size_t index,
                std::size_t count);

// Runs one check. Stops early when a result cannot be posted or `stop` becomes true.
void ProcessSfvJob(const CSFVJob& job, const std::atomic<bool>* stop = nullptr);

}  // namespace quivern
