#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace quivern::test {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "quivern-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    m_path = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string TempDir::File(std::string_view name) const {
    return m_path + "/" + std::string(name);
}

std::string TempDir::Write(std::string_view name, std::string_view content) const {
    const std::string path = File(name);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return path;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string TestData(std::string_view relative) {
    return std::string(QUIVERN_TESTDATA) + "/" + std::string(relative);
}

}  // namespace quivern::test
