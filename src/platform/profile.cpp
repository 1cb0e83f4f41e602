#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/text.h"

namespace quivern {
namespace {

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// Key of a "key=value" line, or nothing for a line without "=".
std::optional<std::string_view> LineKey(std::string_view line) {
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    return TrimBlanks(line.substr(0, eq));
}

bool IsComment(std::string_view line) {
    const auto t = TrimBlanks(line);
    return !t.empty() && t.front() == ';';
}

std::optional<std::string_view> HeaderName(std::string_view line) {
    const auto t = TrimBlanks(line);
    if (t.size() < 2 || t.front() != '[') return std::nullopt;
    const auto close = t.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return TrimBlanks(t.substr(1, close - 1));
}

}  // namespace

bool CProfileFile::Load() {
    m_sections.clear();
    m_existed = false;
    std::ifstream in(m_path, std::ios::binary);
    if (!in) {
        struct stat st {};
        return ::stat(m_path.c_str(), &st) != 0 && errno == ENOENT;
    }
    m_existed = true;
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) return false;
    std::string data = ss.str();
    // A UTF-8 byte-order mark is accepted and dropped.
    if (data.size() >= 3 && data.compare(0, 3, "\xEF\xBB\xBF") == 0) data.erase(0, 3);

    m_sections.push_back(Section{});
    std::size_t pos = 0;
    while (pos < data.size()) {
        auto nl = data.find('\n', pos);
        if (nl == std::string::npos) nl = data.size();
        std::string line = data.substr(pos, nl - pos);
        pos = nl + 1;
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (auto name = HeaderName(line)) {
            Section s;
            s.header = line;
            s.name = std::string(*name);
            m_sections.push_back(std::move(s));
        } else {
            m_sections.back().lines.push_back(std::move(line));
        }
    }
    return true;
}

CProfileFile::Section* CProfileFile::Find(std::string_view name) {
    for (auto& s : m_sections) {
        if (!s.header.empty() && EqualsIgnoreAsciiCase(s.name, name)) return &s;
    }
    return nullptr;
}

const CProfileFile::Section* CProfileFile::Find(std::string_view name) const {
    return const_cast<CProfileFile*>(this)->Find(name);
}

std::optional<std::string> CProfileFile::Get(std::string_view section, std::string_view key) const {
    const Section* s = Find(section);
    if (s == nullptr) return std::nullopt;
    for (const auto& line : s->lines) {
        if (IsComment(line)) continue;
        auto k = LineKey(line);
        if (k && EqualsIgnoreAsciiCase(*k, key)) return line.substr(line.find('=') + 1);
    }
    return std::nullopt;
}

std::string CProfileFile::GetString(std::string_view section, std::string_view key, std::string_view def,
                                    std::size_t maxUnits) const {
    auto v = Get(section, key);
    std::string_view s = v ? std::string_view(*v) : def;
    if (maxUnits != 0) s = TruncateUtf16(s, maxUnits);
    return std::string(s);
}

long long CProfileFile::GetInt(std::string_view section, std::string_view key, long long def) const {
    auto v = Get(section, key);
    if (!v) return def;
    std::string_view s = *v;
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
        ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    long long value = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        if (value > (LLONG_MAX - (s[i] - '0')) / 10) {
            value = LLONG_MAX;
            break;
        }
        value = value * 10 + (s[i] - '0');
    }
    return neg ? -value : value;
}

std::vector<std::string> CProfileFile::GetSectionLines(std::string_view section) const {
    std::vector<std::string> out;
    const Section* s = Find(section);
    if (s == nullptr) return out;
    for (const auto& line : s->lines) {
        if (!TrimBlanks(line).empty()) out.push_back(line);
    }
    return out;
}

bool CProfileFile::HasSection(std::string_view section) const {
    return Find(section) != nullptr;
}

void CProfileFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    Section* s = Find(section);
    if (s == nullptr) {
        Section n;
        n.name = std::string(section);
        n.header = "[" + n.name + "]";
        m_sections.push_back(std::move(n));
        s = &m_sections.back();
    }
    std::string line = std::string(key) + "=" + std::string(value);
    for (auto& l : s->lines) {
        if (IsComment(l)) continue;
        auto k = LineKey(l);
        if (k && EqualsIgnoreAsciiCase(*k, key)) {
            l = std::move(line);
            return;
        }
    }
    // Append after the last non-empty line so blank separator lines stay at the end.
    auto it = s->lines.end();
    while (it != s->lines.begin() && TrimBlanks(*(it - 1)).empty())
        --it;
    s->lines.insert(it, std::move(line));
}

void CProfileFile::DeleteKey(std::string_view section, std::string_view key) {
    Section* s = Find(section);
    if (s == nullptr) return;
    for (auto it = s->lines.begin(); it != s->lines.end(); ++it) {
        if (IsComment(*it)) continue;
        auto k = LineKey(*it);
        if (k && EqualsIgnoreAsciiCase(*k, key)) {
            s->lines.erase(it);
            return;
        }
    }
}

void CProfileFile::DeleteSection(std::string_view section) {
    for (auto it = m_sections.begin(); it != m_sections.end(); ++it) {
        if (!it->header.empty() && EqualsIgnoreAsciiCase(it->name, section)) {
            m_sections.erase(it);
            return;
        }
    }
}

std::string CProfileFile::ToText() const {
    std::string out;
    for (const auto& s : m_sections) {
        if (!s.header.empty()) {
            out += s.header;
            out += '\n';
        }
        for (const auto& l : s.lines) {
            out += l;
            out += '\n';
        }
    }
    return out;
}

bool CProfileFile::Flush() {
    if (!WriteFileAtomically(m_path, ToText(), 0600)) return false;
    m_existed = true;
    return true;
}

bool WriteFileAtomically(const std::string& path, std::string_view data, unsigned mode) {
    std::string tmpl = path + ".tmp-XXXXXX";
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, static_cast<mode_t>(mode)) == 0;
    const char* p = data.data();
    std::size_t left = data.size();
    while (ok && left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(tmpl.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(tmpl.c_str());
        return false;
    }
    // Make the rename itself durable.
    std::string dir =
        path.substr(0, path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/'));
    if (dir.empty()) dir = ".";
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

std::string GetPrivateProfileString(std::string_view section, std::string_view key, std::string_view def,
                                    std::size_t maxUnits, const std::string& path) {
    CProfileFile f(path);
    f.Load();
    return f.GetString(section, key, def, maxUnits);
}

long long GetPrivateProfileInt(std::string_view section, std::string_view key, long long def,
                               const std::string& path) {
    CProfileFile f(path);
    f.Load();
    return f.GetInt(section, key, def);
}

std::vector<std::string> GetPrivateProfileSection(std::string_view section, const std::string& path) {
    CProfileFile f(path);
    f.Load();
    return f.GetSectionLines(section);
}

bool WritePrivateProfileString(std::string_view section, const char* key, const char* value,
                               const std::string& path) {
    CProfileFile f(path);
    if (!f.Load()) return false;
    if (key == nullptr) {
        f.DeleteSection(section);
    } else if (value == nullptr) {
        f.DeleteKey(section, key);
    } else {
        f.WriteString(section, key, value);
    }
    return f.Flush();
}

}  // namespace quivern
