#include "config/saved_options.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace quivern {
namespace {

constexpr std::string_view kGeneral = "General";
constexpr std::string_view kDialog = "Dialog";
constexpr std::string_view kLastOpened = "LastOpened";
constexpr std::string_view kServers = "Servers";
constexpr std::string_view kTotalCmd = "TOTALCMD";
constexpr std::string_view kRarPassword = "RARPassword";
constexpr std::string_view kBase64Prefix = "{base64}";

constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64Encode(std::string_view in) {
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                           (static_cast<unsigned char>(in[i + 1]) << 8) |
                           static_cast<unsigned char>(in[i + 2]);
        out += kB64[v >> 18];
        out += kB64[(v >> 12) & 63];
        out += kB64[(v >> 6) & 63];
        out += kB64[v & 63];
    }
    if (i < in.size()) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        out += kB64[v >> 18];
        out += kB64[(v >> 12) & 63];
        out += (i + 1 < in.size()) ? kB64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::string> Base64Decode(std::string_view in) {
    if (in.size() % 4 != 0) return std::nullopt;
    std::string out;
    unsigned acc = 0;
    int bits = 0;
    std::size_t pad = 0;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c == '=') {
            if (i + 2 < in.size()) return std::nullopt;
            ++pad;
            continue;
        }
        if (pad != 0) return std::nullopt;
        const char* p = std::char_traits<char>::find(kB64, 64, c);
        if (p == nullptr) return std::nullopt;
        acc = (acc << 6) | static_cast<unsigned>(p - kB64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return out;
}

std::string EncodeField(std::string_view v) {
    const bool needs = v.find_first_of(";\r\n") != std::string_view::npos ||
                       v.substr(0, kBase64Prefix.size()) == kBase64Prefix;
    if (!needs) return std::string(v);
    return std::string(kBase64Prefix) + Base64Encode(v);
}

std::string DecodeField(std::string_view v) {
    if (v.substr(0, kBase64Prefix.size()) == kBase64Prefix) {
        // A value that merely looks like an encoded one (written by hand) stays as written.
        if (auto d = Base64Decode(v.substr(kBase64Prefix.size()))) return *d;
    }
    return std::string(v);
}

long long ParseLong(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
        ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    long long v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > 0xFFFFFFFFLL) break;
    }
    return neg ? -v : v;
}

std::vector<std::string_view> SplitFields(std::string_view value) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (;;) {
        const auto semi = value.find(';', start);
        if (semi == std::string_view::npos) {
            out.push_back(value.substr(start));
            return out;
        }
        out.push_back(value.substr(start, semi - start));
        start = semi + 1;
    }
}

std::optional<std::string_view> LineValue(std::string_view line) {
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    return line.substr(eq + 1);
}

std::string FormatOrder(const std::int32_t* v, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        if (i != 0) out += ',';
        out += std::to_string(v[i]);
    }
    return out;
}

const char* Bool(bool b) {
    return b ? "1" : "0";
}

}  // namespace

std::vector<std::int32_t> ParseOrderList(std::string_view text, std::size_t columns) {
    std::vector<std::string_view> tokens;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ',' || text[i] == ' ' || text[i] == '\t'))
            ++i;
        const std::size_t start = i;
        while (i < text.size() && text[i] != ',' && text[i] != ' ' && text[i] != '\t')
            ++i;
        if (i > start) tokens.push_back(text.substr(start, i - start));
    }
    std::vector<std::int32_t> out(columns);
    for (std::size_t pos = 0; pos < columns; ++pos) {
        long long v = pos < tokens.size() ? ParseLong(tokens[pos]) : -1;
        if (v < 0 || v >= static_cast<long long>(columns)) v = static_cast<long long>(pos);
        out[pos] = static_cast<std::int32_t>(v);
    }
    return out;
}

std::string FormatServerLine(const CServerEntry& e) {
    const bool proxy = e.ProxyKind() != ProxyNone;
    // A TLS server that accepts certificate problems is written as "2": readers that only know
    // 1 and 0 still see TLS switched on.
    const char* tls = e.UseTls() ? (e.AcceptCertProblems() ? "2" : "1") : "0";
    const std::uint16_t port = e.ServerPort() != 0 ? e.ServerPort() : e.ConfiguredPort();
    const std::uint16_t proxyPort = e.ProxyPort() != 0 ? e.ProxyPort() : e.ConfiguredProxyPort();
    std::string line = EncodeField(e.Host()) + ";" + std::to_string(port) + ";" + EncodeField(e.User()) +
                       ";" + EncodeField(e.Password()) + ";" + tls + ";" + std::to_string(e.ProxyKind()) +
                       ";";
    if (proxy) {
        line += EncodeField(e.ProxyHost()) + ";" + std::to_string(proxyPort) + ";" +
                EncodeField(e.ProxyUser()) + ";" + EncodeField(e.ProxyPassword());
    } else {
        line += ";0;;";
    }
    return line;
}

ParsedServerLine ParseServerLine(std::string_view value) {
    ParsedServerLine out;
    const auto f = SplitFields(value);
    if (f.size() < 5) return out;
    out.host = DecodeField(f[0]);
    out.port = static_cast<std::uint16_t>(ParseLong(f[1]));
    const long long tls = ParseLong(f[4]);
    const bool resolved =
        out.entry.SetServer(out.host, out.port, tls != 0, DecodeField(f[2]), DecodeField(f[3]));
    out.entry.SetAcceptCertProblems(tls == 2);
    const std::int32_t type = f.size() > 5 ? static_cast<std::int32_t>(ParseLong(f[5])) : 0;
    bool proxyResolved = true;
    if (type == ProxySocks4) {
        if (f.size() < 8) return out;
        proxyResolved =
            out.entry.SetProxy(type, DecodeField(f[6]), static_cast<std::uint16_t>(ParseLong(f[7])), "", "");
    } else if (type != ProxyNone) {
        if (f.size() < 10) return out;
        proxyResolved =
            out.entry.SetProxy(type, DecodeField(f[6]), static_cast<std::uint16_t>(ParseLong(f[7])),
                               DecodeField(f[8]), DecodeField(f[9]));
    }
    out.result =
        resolved && proxyResolved ? ParsedServerLine::Result::Ok : ParsedServerLine::Result::Unresolved;
    return out;
}

CSavedOptions::CSavedOptions() = default;

CSavedOptions::~CSavedOptions() {
    if (!m_configPath.empty()) Save();
}

bool CSavedOptions::Load(CNntpCallback& engine, std::string_view programPath) {
    m_engine = RcPtr<CNntpCallback>(&engine);
    const auto folder = EnsureSettingsFolder(programPath);
    if (!folder) return false;
    m_configPath = JoinPath(*folder, "Config.ini");
    CProfileFile ini(m_configPath);
    if (!ini.Load()) return false;
    if (ini.Exists()) m_firstStart = false;

    m_lastBrowseDir = ini.GetString(kGeneral, "LastBrowseDir", "", 2047);
    for (const auto& line : ini.GetSectionLines(kLastOpened)) {
        const auto v = LineValue(line);
        if (!v || v->empty()) break;
        m_recentFiles.emplace_back(*v);
    }
    m_autoDelete = ini.GetInt(kGeneral, "AutoDelete", 1) != 0;
    m_mainWndSize[0] = static_cast<std::int32_t>(ini.GetInt(kDialog, "LastSizeX", 0));
    m_mainWndSize[1] = static_cast<std::int32_t>(ini.GetInt(kDialog, "LastSizeY", 0));
    m_articleDlgSize[0] = static_cast<std::int32_t>(ini.GetInt(kDialog, "LastArtDlgSizeX", 0));
    m_articleDlgSize[1] = static_cast<std::int32_t>(ini.GetInt(kDialog, "LastArtDlgSizeY", 0));
    const auto nzbOrder =
        ParseOrderList(ini.GetString(kDialog, "NzbListOrder", "0,1,2,3,4,5,6", 1023), kNzbListColumns);
    std::copy(nzbOrder.begin(), nzbOrder.end(), m_nzbListOrder.begin());
    const auto artOrder =
        ParseOrderList(ini.GetString(kDialog, "ArticleListOrder", "0,1,2,3", 1023), kArticleListColumns);
    std::copy(artOrder.begin(), artOrder.end(), m_articleListOrder.begin());
    LoadServers(ini, engine);
    m_maxChannels = static_cast<std::int32_t>(ini.GetInt(kGeneral, "MaxChannels", 8));
    m_useChannelLoop = ini.GetInt(kGeneral, "UseChannelLoop", 1) != 0;
    m_savePathRoot =
        StripTrailingSeparator(ini.GetString(kGeneral, "SavePathRoot", DocumentsFolder(), 65535));
    m_tempPathRoot = StripTrailingSeparator(ini.GetString(kGeneral, "TempPathRoot", TempFolder(), 65535));
    m_createSubfolders = ini.GetInt(kGeneral, "CreateSubfolders", 1) != 0;
    m_storeMemoryLimitMB = static_cast<std::int32_t>(ini.GetInt(kGeneral, "StoreMemoryLimitMB", 512));
    // The sections of the unfinished jobs leave the file as soon as they are read: while the
    // program runs the jobs live only here, and the save writes them again.
    if (LoadUnfinishedJobs(ini)) ini.Flush();
    m_tcUse = ini.GetInt(kTotalCmd, "Use", 0) != 0;
    m_tcNewTab = ini.GetInt(kTotalCmd, "NewTab", 1) != 0;
    const long long side = ini.GetInt(kTotalCmd, "Side", 0);
    m_tcSide = (side == 0 || side == 1) ? static_cast<std::int32_t>(side) : 0;
    m_tcPath = ini.GetString(kTotalCmd, "Path", "", 259);
    {
        std::lock_guard g(m_rarLock);
        for (const auto& line : ini.GetSectionLines(kRarPassword)) {
            const auto eq = line.find('=');
            if (eq == std::string::npos) break;
            m_rarPasswords[AsciiLower(std::string_view(line).substr(0, eq))] = line.substr(eq + 1);
        }
    }
    m_contextHelp = ini.GetInt(kGeneral, "ContextHelp", 0) != 0;
    m_ctxHelpTurn = ini.GetInt(kGeneral, "CtxHelpTurn", 1) != 0;
    return true;
}

void CSavedOptions::LoadServers(const CProfileFile& ini, CNntpCallback& engine) {
    for (const auto& line : ini.GetSectionLines(kServers)) {
        const auto value = LineValue(line);
        if (!value) continue;  // not a key=value line
        auto parsed = ParseServerLine(*value);
        switch (parsed.result) {
            case ParsedServerLine::Result::Ok:
                engine.InsertServer(parsed.entry, -1);
                break;
            case ParsedServerLine::Result::Unresolved:
                m_unresolvedServerLines.emplace_back(*value);
                break;
            case ParsedServerLine::Result::Incomplete:
                break;
        }
    }
}

void CSavedOptions::SaveServers(CProfileFile& ini) const {
    ini.DeleteSection(kServers);
    std::size_t n = 0;
    if (m_engine) {
        const std::size_t count = m_engine->GetServerCount();
        for (std::size_t i = 0; i < count; ++i) {
            CServerEntry e;
            if (m_engine->GetServer(i, e))
                ini.WriteString(kServers, std::to_string(n++), FormatServerLine(e));
        }
    }
    for (const auto& line : m_unresolvedServerLines)
        ini.WriteString(kServers, std::to_string(n++), line);
}

bool CSavedOptions::Save() {
    if (m_configPath.empty()) return false;
    CProfileFile ini(m_configPath);
    ini.Load();  // keys of other owners (e.g. Language) are kept

    ini.WriteString(kGeneral, "LastBrowseDir", m_lastBrowseDir);
    for (std::size_t i = 0; i < m_recentFiles.size(); ++i) {
        ini.WriteString(kLastOpened, std::to_string(i), m_recentFiles[i]);
    }
    ini.WriteString(kDialog, "LastSizeX", std::to_string(m_mainWndSize[0]));
    ini.WriteString(kDialog, "LastSizeY", std::to_string(m_mainWndSize[1]));
    ini.WriteString(kDialog, "LastArtDlgSizeX", std::to_string(m_articleDlgSize[0]));
    ini.WriteString(kDialog, "LastArtDlgSizeY", std::to_string(m_articleDlgSize[1]));
    ini.WriteString(kDialog, "NzbListOrder", FormatOrder(m_nzbListOrder.data(), m_nzbListOrder.size()));
    ini.WriteString(kDialog, "ArticleListOrder",
                    FormatOrder(m_articleListOrder.data(), m_articleListOrder.size()));
    SaveServers(ini);
    ini.WriteString(kGeneral, "MaxChannels", std::to_string(m_maxChannels));
    ini.WriteString(kGeneral, "UseChannelLoop", Bool(m_useChannelLoop));
    ini.WriteString(kGeneral, "SavePathRoot", m_savePathRoot);
    ini.WriteString(kGeneral, "TempPathRoot", m_tempPathRoot);
    ini.WriteString(kGeneral, "AutoDelete", Bool(m_autoDelete));
    ini.WriteString(kGeneral, "CreateSubfolders", Bool(m_createSubfolders));
    ini.WriteString(kGeneral, "StoreMemoryLimitMB", std::to_string(m_storeMemoryLimitMB));
    SaveUnfinishedJobs(ini);
    ini.WriteString(kTotalCmd, "Use", Bool(m_tcUse));
    ini.WriteString(kTotalCmd, "NewTab", Bool(m_tcNewTab));
    ini.WriteString(kTotalCmd, "Side", Bool(m_tcSide != 0));
    ini.WriteString(kTotalCmd, "Path", m_tcPath);
    ini.DeleteSection(kRarPassword);
    {
        std::lock_guard g(m_rarLock);
        for (const auto& [key, pw] : m_rarPasswords)
            ini.WriteString(kRarPassword, AsciiLower(key), pw);
    }
    ini.WriteString(kGeneral, "ContextHelp", Bool(m_contextHelp));
    ini.WriteString(kGeneral, "CtxHelpTurn", Bool(m_ctxHelpTurn));
    return ini.Flush();
}

void CSavedOptions::ResetSettings() {
    if (!m_configPath.empty()) ::unlink(m_configPath.c_str());
    m_configPath.clear();
}

void CSavedOptions::SetLastBrowseDir(std::string_view nzbPath) {
    m_lastBrowseDir = FolderOf(nzbPath);
}

void CSavedOptions::AddRecentFile(std::string_view path) {
    std::erase_if(m_recentFiles, [&](const std::string& e) { return EqualsIgnoreCase(e, path); });
    m_recentFiles.insert(m_recentFiles.begin(), std::string(path));
    while (m_recentFiles.size() > kMaxRecentFiles)
        m_recentFiles.pop_back();
}

void CSavedOptions::SetWorkingPaths(std::string_view savePath, std::string_view tempPath,
                                    bool createSubfolders) {
    m_savePathRoot = StripTrailingSeparator(savePath);
    m_tempPathRoot = StripTrailingSeparator(tempPath);
    m_createSubfolders = createSubfolders;
}

std::optional<std::string> CSavedOptions::LookupArchivePassword(std::string_view nzbPath) const {
    std::lock_guard g(m_rarLock);
    auto it = m_rarPasswords.find(AsciiLower(nzbPath));
    if (it == m_rarPasswords.end()) return std::nullopt;
    return it->second;
}

void CSavedOptions::StoreArchivePassword(std::string_view nzbPath, std::string_view password) {
    std::lock_guard g(m_rarLock);
    m_rarPasswords[AsciiLower(nzbPath)] = std::string(password);
}

void CSavedOptions::RemoveArchivePassword(std::string_view nzbPath) {
    std::lock_guard g(m_rarLock);
    m_rarPasswords.erase(AsciiLower(nzbPath));
}

}  // namespace quivern
