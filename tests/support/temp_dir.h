#pragma once
// A fresh temporary folder per test, removed with everything in it afterwards.

#include <string>
#include <string_view>

namespace quivern::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string File(std::string_view name) const;
    // Writes a file below the folder and returns its path.
    std::string Write(std::string_view name, std::string_view content) const;

private:
    std::string m_path;
};

std::string ReadFile(const std::string& path);
std::string TestData(std::string_view relative);

}  // namespace quivern::test
