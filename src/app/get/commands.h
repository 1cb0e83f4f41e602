#pragma once
// Commands of the headless front end. Each returns the process exit code:
// 0 success, 1 the work failed, 2 usage or settings error.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quivern::get {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

using Args = std::vector<std::string>;

int CmdInfo(const Args& args);
int CmdServers(const Args& args);
int CmdDownload(const Args& args);
int CmdCheck(const Args& args);
int CmdPostproc(const Args& args);
int CmdSfv(const Args& args);

// "host", "host:port", "[v6]" or "[v6]:port"; the port is absent when not given. Nothing when
// the text has none of these forms or the port is not 1..65535.
struct HostPort {
    std::string host;
    std::optional<std::uint16_t> port;
};
std::optional<HostPort> ParseHostPort(const std::string& text);

// Prints the short usage text to stderr and returns kExitUsage.
int Usage();
// The program's numbered message (in the selected language), with "%s" filled in when given.
std::string Message(unsigned id, const std::string& arg = {});

}  // namespace quivern::get
