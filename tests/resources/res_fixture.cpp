#include "res_fixture.h"

#include <sys/wait.h>

#include <cstdlib>

namespace quivern::test {

namespace {
std::string ShellQuote(std::string_view s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out.push_back(c);
    }
    return out + "'";
}
}  // namespace

ToolResult RunRespack(std::initializer_list<std::string_view> args) {
    TempDir tmp;
    const std::string log = tmp.File("respack.log");
    std::string cmd = ShellQuote(std::string(QUIVERN_BIN_DIR) + "/respack");
    for (auto a : args)
        cmd += " " + ShellQuote(a);
    cmd += " >" + ShellQuote(log) + " 2>&1";
    const int status = std::system(cmd.c_str());
    ToolResult r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.output = ReadFile(log);
    return r;
}

std::string WriteSet(const TempDir& dir, std::string_view folder, int language, std::string_view strings,
                     std::initializer_list<std::pair<std::string_view, std::string_view>> more) {
    const std::string base = std::string(folder) + "/";
    dir.Write(base + "language.txt", "language " + std::to_string(language) + "\n");
    dir.Write(base + "strings.txt", strings);
    for (const auto& [name, content] : more)
        dir.Write(base + std::string(name), content);
    return dir.File(folder);
}

std::string EnglishLibraryPath() {
    return std::string(QUIVERN_BIN_DIR) + "/quivern_enu.so";
}

std::string ResourceSetDir(std::string_view language) {
    return std::string(QUIVERN_RESOURCES_DIR) + "/" + std::string(language);
}

}  // namespace quivern::test
