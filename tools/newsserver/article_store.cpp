#include "newsserver/article_store.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace quivern::newsserver {

namespace {

bool ReadWholeFile(const std::string& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    in.seekg(0, std::ios::end);
    const auto size = in.tellg();
    if (size < 0) {
        return false;
    }
    in.seekg(0, std::ios::beg);
    out->resize(static_cast<std::size_t>(size));
    in.read(out->data(), size);
    return static_cast<bool>(in) || in.gcount() == size;
}

std::string Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

std::vector<std::string> SplitGroups(std::string_view list) {
    std::vector<std::string> groups;
    std::size_t pos = 0;
    while (pos <= list.size()) {
        auto comma = list.find(',', pos);
        if (comma == std::string_view::npos) {
            comma = list.size();
        }
        auto name = Trim(list.substr(pos, comma - pos));
        if (!name.empty()) {
            groups.push_back(std::move(name));
        }
        pos = comma + 1;
    }
    return groups;
}

bool HeaderNameIs(std::string_view line, std::string_view name) {
    if (line.size() <= name.size() || line[name.size()] != ':') {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        char c = line[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != name[i]) {
            return false;
        }
    }
    return true;
}

// Message-ID and Newsgroups from the header block of an article file.
bool ReadIdentity(const std::string& path, std::string* messageId, std::vector<std::string>* groups) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            break;
        }
        if (HeaderNameIs(line, "message-id")) {
            *messageId = Trim(std::string_view(line).substr(11));
        } else if (HeaderNameIs(line, "newsgroups")) {
            *groups = SplitGroups(std::string_view(line).substr(11));
        }
    }
    return !messageId->empty() && !groups->empty();
}

}  // namespace

WireArticle ConvertToWire(std::string_view article) {
    WireArticle wire;
    // Dot-stuffing adds at most one byte per line; lines of binaries are ~128 bytes long.
    wire.text.reserve(article.size() + article.size() / 64 + 16);
    bool inHeaders = true;
    std::size_t pos = 0;
    while (pos < article.size()) {
        const auto newline = article.find('\n', pos);
        const std::size_t next = newline == std::string_view::npos ? article.size() : newline + 1;
        std::size_t end = newline == std::string_view::npos ? article.size() : newline;
        if (end > pos && article[end - 1] == '\r') {
            --end;
        }
        if (inHeaders && end == pos) {
            inHeaders = false;
            wire.headEnd = wire.text.size();
            wire.text += "\r\n";
            wire.bodyStart = wire.text.size();
        } else {
            if (article[pos] == '.') {
                wire.text += '.';
            }
            wire.text.append(article.data() + pos, end - pos);
            wire.text += "\r\n";
        }
        pos = next;
    }
    if (inHeaders) {
        wire.headEnd = wire.bodyStart = wire.text.size();
    }
    wire.text += ".\r\n";
    return wire;
}

WireArticle RawToWire(std::string_view text) {
    WireArticle wire;
    wire.text.reserve(text.size() + 3);
    wire.text.append(text);
    if (text.substr(0, 2) == "\r\n") {
        wire.headEnd = 0;
        wire.bodyStart = 2;
    } else if (auto blank = text.find("\r\n\r\n"); blank != std::string_view::npos) {
        wire.headEnd = blank + 2;
        wire.bodyStart = blank + 4;
    } else {
        wire.headEnd = wire.bodyStart = text.size();
    }
    wire.text += ".\r\n";
    return wire;
}

void ArticleStore::Insert(std::shared_ptr<Entry> entry) {
    std::lock_guard lock(m_mutex);
    if (auto old = m_byId.find(entry->messageId); old != m_byId.end()) {
        for (const auto& group : old->second->groups) {
            auto& numbers = m_groups[group];
            std::erase_if(numbers, [&](const auto& item) { return item.second == entry->messageId; });
        }
    }
    for (const auto& group : entry->groups) {
        auto& numbers = m_groups[group];
        const std::int64_t number = numbers.empty() ? 1 : numbers.rbegin()->first + 1;
        numbers.emplace(number, entry->messageId);
    }
    m_byId[entry->messageId] = std::move(entry);
}

void ArticleStore::Add(const std::string& messageId, const std::vector<std::string>& groups,
                       std::shared_ptr<const WireArticle> wire) {
    auto entry = std::make_shared<Entry>();
    entry->messageId = messageId;
    entry->groups = groups;
    entry->wire = std::move(wire);
    Insert(std::move(entry));
}

void ArticleStore::AddFile(const std::string& messageId, const std::vector<std::string>& groups,
                           std::string path) {
    auto entry = std::make_shared<Entry>();
    entry->messageId = messageId;
    entry->groups = groups;
    entry->path = std::move(path);
    Insert(std::move(entry));
}

int ArticleStore::LoadFolder(const std::string& folder, std::string* error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        *error = "not a folder: " + folder;
        return -1;
    }
    const fs::path base(folder);
    int added = 0;
    const auto indexPath = base / "index";
    if (fs::exists(indexPath, ec)) {
        std::ifstream index(indexPath);
        std::string line;
        int lineNumber = 0;
        while (std::getline(index, line)) {
            ++lineNumber;
            const auto trimmed = Trim(line);
            if (trimmed.empty() || trimmed[0] == '#') {
                continue;
            }
            std::istringstream fields(trimmed);
            std::string messageId, file, groupList;
            fields >> messageId >> file >> groupList;
            auto groups = SplitGroups(groupList);
            if (messageId.empty() || file.empty() || groups.empty()) {
                *error = indexPath.string() + ":" + std::to_string(lineNumber) +
                         ": expected \"<message-id> file group[,group...]\"";
                return -1;
            }
            // Only names inside the folder: the index must not reach elsewhere.
            const fs::path relative(file);
            if (relative.is_absolute() || file.find("..") != std::string::npos) {
                *error = indexPath.string() + ":" + std::to_string(lineNumber) + ": file outside the folder";
                return -1;
            }
            if (!fs::is_regular_file(base / relative, ec)) {
                *error = "missing article file: " + (base / relative).string();
                return -1;
            }
            AddFile(messageId, groups, (base / relative).string());
            ++added;
        }
        return added;
    }
    for (const auto& item : fs::directory_iterator(base, ec)) {
        if (!item.is_regular_file()) {
            continue;
        }
        std::string messageId;
        std::vector<std::string> groups;
        if (ReadIdentity(item.path().string(), &messageId, &groups)) {
            AddFile(messageId, groups, item.path().string());
            ++added;
        }
    }
    if (ec) {
        *error = "cannot list " + folder + ": " + ec.message();
        return -1;
    }
    return added;
}

std::shared_ptr<ArticleStore::Entry> ArticleStore::Find(const std::string& messageId) const {
    std::lock_guard lock(m_mutex);
    auto it = m_byId.find(messageId);
    return it == m_byId.end() ? nullptr : it->second;
}

std::shared_ptr<ArticleStore::Entry> ArticleStore::FindByNumber(const std::string& group,
                                                                std::int64_t number) const {
    std::lock_guard lock(m_mutex);
    auto g = m_groups.find(group);
    if (g == m_groups.end()) {
        return nullptr;
    }
    auto n = g->second.find(number);
    if (n == g->second.end()) {
        return nullptr;
    }
    auto it = m_byId.find(n->second);
    return it == m_byId.end() ? nullptr : it->second;
}

bool ArticleStore::Group(const std::string& name, GroupInfo* info) const {
    std::lock_guard lock(m_mutex);
    auto g = m_groups.find(name);
    if (g == m_groups.end()) {
        return false;
    }
    const auto& numbers = g->second;
    info->count = static_cast<std::int64_t>(numbers.size());
    if (numbers.empty()) {
        // RFC 3977 6.1.1.2: an empty group reports high = low - 1.
        info->low = 1;
        info->high = 0;
    } else {
        info->low = numbers.begin()->first;
        info->high = numbers.rbegin()->first;
    }
    return true;
}

std::vector<std::pair<std::string, ArticleStore::GroupInfo>> ArticleStore::Groups() const {
    std::vector<std::string> names;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [name, numbers] : m_groups) {
            names.push_back(name);
        }
    }
    std::vector<std::pair<std::string, GroupInfo>> result;
    for (const auto& name : names) {
        GroupInfo info;
        if (Group(name, &info)) {
            result.emplace_back(name, info);
        }
    }
    return result;
}

std::shared_ptr<const WireArticle> ArticleStore::Wire(Entry& entry) {
    std::lock_guard lock(entry.loadMutex);
    if (!entry.wire && !entry.path.empty()) {
        std::string content;
        if (!ReadWholeFile(entry.path, &content)) {
            return nullptr;
        }
        entry.wire = std::make_shared<const WireArticle>(ConvertToWire(content));
    }
    return entry.wire;
}

}  // namespace quivern::newsserver
