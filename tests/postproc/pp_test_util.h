#pragma once
// Shared pieces of the post-processing tests: the messages a step posted, and copies of the
// shared recovery sets in a writable folder.

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/window_messages.h"
#include "postproc/progress.h"
#include "support/temp_dir.h"

namespace quivern::test {

struct TMsg {
    WParam code = 0;
    LParam value = 0;  // the number, or 0 for a text message
    std::string text;  // ProgFile, and ProgJob at a job's start
    bool hasText = false;
};

// Takes every queued progress message, freeing the heap strings.
inline std::vector<TMsg> DrainProgress(CTestReceiver& receiver) {
    std::vector<TMsg> out;
    while (auto m = receiver.TryTake()) {
        TMsg msg;
        msg.code = m->wParam;
        const bool text = m->wParam == ProgFile || (m->wParam == ProgJob && m->lParam != 0 && m->lParam != 1);
        if (text) {
            std::unique_ptr<std::string> s(reinterpret_cast<std::string*>(m->lParam));
            msg.text = *s;
            msg.hasText = true;
        } else {
            msg.value = m->lParam;
        }
        out.push_back(std::move(msg));
    }
    return out;
}

inline std::vector<LParam> Values(const std::vector<TMsg>& msgs, WParam code) {
    std::vector<LParam> out;
    for (const TMsg& m : msgs)
        if (m.code == code && !m.hasText) out.push_back(m.value);
    return out;
}

inline std::vector<std::string> Texts(const std::vector<TMsg>& msgs, WParam code) {
    std::vector<std::string> out;
    for (const TMsg& m : msgs)
        if (m.code == code && m.hasText) out.push_back(m.text);
    return out;
}

// Copies a shared sample folder (read-only files) into `dir`, writable.
inline void CopySample(const std::string& sample, const std::string& dir) {
    namespace fs = std::filesystem;
    for (const auto& e : fs::directory_iterator(TestData(sample))) {
        if (!e.is_regular_file()) continue;
        const fs::path to = fs::path(dir) / e.path().filename();
        fs::copy_file(e.path(), to, fs::copy_options::overwrite_existing);
        fs::permissions(to, fs::perms::owner_read | fs::perms::owner_write);
    }
}

// Runs a shell command in `dir`; true when it exited with 0.
inline bool RunIn(const std::string& dir, const std::string& command) {
    const std::string line = "cd '" + dir + "' && " + command + " >/dev/null 2>&1";
    return std::system(line.c_str()) == 0;
}

inline std::string WriteScript(const TempDir& dir, const std::string& name, const std::string& body) {
    const std::string path = dir.Write(name, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
    return path;
}

// Deterministic bytes that do not repeat within a recovery block.
inline std::string PatternBytes(std::size_t size, unsigned seed) {
    std::string s(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& c : s) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

}  // namespace quivern::test
