#include <cstdlib>

#include "app/get/commands.h"

namespace quivern::get {

std::optional<HostPort> ParseHostPort(const std::string& text) {
    HostPort hp;
    std::string rest;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos) return std::nullopt;
        hp.host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') return std::nullopt;
        if (!rest.empty()) rest.erase(0, 1);
    } else {
        const auto colon = text.rfind(':');
        if (colon != std::string::npos && text.find(':') == colon) {
            hp.host = text.substr(0, colon);
            rest = text.substr(colon + 1);
            if (rest.empty()) return std::nullopt;
        } else {
            hp.host = text;
        }
    }
    if (hp.host.empty()) return std::nullopt;
    if (!rest.empty()) {
        char* end = nullptr;
        const long p = std::strtol(rest.c_str(), &end, 10);
        if (*end != '\0' || p <= 0 || p > 65535) return std::nullopt;
        hp.port = static_cast<std::uint16_t>(p);
    }
    return hp;
}

}  // namespace quivern::get
