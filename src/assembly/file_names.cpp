#include "assembly/file_names.h"

namespace quivern {
namespace {

// Cuts UTF-8 text to at most `bytes` bytes without splitting a character.
std::string_view CutUtf8(std::string_view s, std::size_t bytes) {
    if (s.size() <= bytes) return s;
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80)
        --end;
    return s.substr(0, end);
}

}  // namespace

std::string ConfineFileName(std::string_view name) {
    const auto sep = name.find_last_of("/\\");
    if (sep != std::string_view::npos) name.remove_prefix(sep + 1);
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) continue;
        out += c;
    }
    const auto first = out.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    out = out.substr(first, out.find_last_not_of(' ') - first + 1);
    if (out == "." || out == "..") return {};
    if (out.size() > kMaxFileNameBytes) {
        const auto dot = out.find_last_of('.');
        std::string ext;
        // An extension is kept when it is short enough to leave room for a stem.
        if (dot != std::string::npos && dot > 0 && out.size() - dot <= 32) ext = out.substr(dot);
        const std::string_view stem =
            CutUtf8(std::string_view(out).substr(0, out.size() - ext.size()), kMaxFileNameBytes - ext.size());
        out = std::string(stem) + ext;
    }
    return out;
}

}  // namespace quivern
