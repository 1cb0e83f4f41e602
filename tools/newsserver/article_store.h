#pragma once
// The articles of the news server, by message-id and by group and number, each kept in its wire
// form so that serving one is a single large write.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace quivern::newsserver {

// An article as it goes on the wire: CRLF lines, dot-stuffed, ending with ".\r\n".
struct WireArticle {
    std::string text;
    std::size_t headEnd = 0;    // end of the header lines (the blank line starts here)
    std::size_t bodyStart = 0;  // first byte after the blank line
};

// Converts an article (headers, blank line, body; lines ending in "\n" or "\r\n") to wire form.
WireArticle ConvertToWire(std::string_view article);
// Takes text that is already in wire form (without terminator) as it stands.
WireArticle RawToWire(std::string_view text);

class ArticleStore {
public:
    struct Entry {
        std::string messageId;
        std::vector<std::string> groups;
        std::string path;  // set for articles of a folder until they are first read
        std::mutex loadMutex;
        std::shared_ptr<const WireArticle> wire;
    };
    struct GroupInfo {
        std::int64_t count = 0;
        std::int64_t low = 0;
        std::int64_t high = 0;
    };

    void Add(const std::string& messageId, const std::vector<std::string>& groups,
             std::shared_ptr<const WireArticle> wire);
    void AddFile(const std::string& messageId, const std::vector<std::string>& groups, std::string path);
    int LoadFolder(const std::string& folder, std::string* error);

    std::shared_ptr<Entry> Find(const std::string& messageId) const;
    std::shared_ptr<Entry> FindByNumber(const std::string& group, std::int64_t number) const;
    bool Group(const std::string& name, GroupInfo* info) const;
    std::vector<std::pair<std::string, GroupInfo>> Groups() const;
    // The wire form of an entry, reading its file on first use; null when the file is unreadable.
    static std::shared_ptr<const WireArticle> Wire(Entry& entry);

private:
    void Insert(std::shared_ptr<Entry> entry);

    mutable std::mutex m_mutex;
    std::map<std::string, std::shared_ptr<Entry>> m_byId;
    // group → (number → message-id); numbers start at 1 and only grow.
    std::map<std::string, std::map<std::int64_t, std::string>> m_groups;
};

}  // namespace quivern::newsserver
