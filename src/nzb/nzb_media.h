#pragma once
// The object model of an opened NZB file: one CNzbMedia (the document) holding its CNzbPart
// objects (one per file of the posting, a "multipart"), each holding a CNzbGroups (the
// newsgroups the file was posted to) and its CNzbArticle objects (the segments).
//
// The tree is built once by the reader and then shared read-mostly by the interface thread,
// the channel threads, the segment store and the background checks, each holding its own
// references. Only the group choice (CNzbGroups' active group and CNzbArticle's own group) is
// changed after reading, by the interface thread; those fields are guarded by one process-wide
// lock and read as copies.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quivern {

// A broken-down UTC time: year, month 1-12, day of week 0-6 (0 = Sunday), day 1-31, hour,
// minute, second, milliseconds. All zero when unset.
struct SystemTime {
    std::uint16_t wYear = 0;
    std::uint16_t wMonth = 0;
    std::uint16_t wDayOfWeek = 0;
    std::uint16_t wDay = 0;
    std::uint16_t wHour = 0;
    std::uint16_t wMinute = 0;
    std::uint16_t wSecond = 0;
    std::uint16_t wMilliseconds = 0;
    bool operator==(const SystemTime&) const = default;
};

// Seconds since 1970-01-01 UTC to a broken-down time; false when negative or after
// 3000-12-31 23:59:59.
bool UnixTimeToSystemTime(std::int64_t seconds, SystemTime& out);

class CNzbBase {
public:
    CNzbBase() = default;
    CNzbBase(const CNzbBase&) = delete;
    CNzbBase& operator=(const CNzbBase&) = delete;

    std::int32_t QueryInterface(const void* iid, void** out);
    std::int32_t AddRef() { return m_refCount.fetch_add(1, std::memory_order_relaxed) + 1; }
    std::int32_t Release();
    virtual ~CNzbBase() = default;

    // Releases all content and marks the object invalid.
    virtual void Clear() = 0;

    // Converts UTF-8 text to Windows-1252 into the object's scratch buffer (unmappable
    // characters become the default character) and returns it, NUL-terminated. The buffer is
    // replaced by one four times the converted length whenever it is too small, so repeated
    // conversions rarely allocate. Valid until the next ToAnsi on the same object.
    const char* ToAnsi(std::string_view utf8, std::size_t* length = nullptr);

    bool m_valid = false;

protected:
    std::unique_ptr<char[]> m_ansiBuffer;
    std::uint32_t m_ansiCapacity = 0;

private:
    std::atomic<std::int32_t> m_refCount{0};
};

class CNzbArticle final : public CNzbBase {
public:
    CNzbArticle() = default;
    ~CNzbArticle() override { Clear(); }
    void Clear() override;

    // The group chosen for this article alone (interface thread), or nothing: the part's
    // active group applies.
    std::optional<std::string> Group() const;
    void SetGroup(std::optional<std::string> group);

    std::int32_t m_number = -1;
    std::uint32_t m_bytes = 0;
    std::optional<std::string> m_messageId;  // Windows-1252, exactly as written

private:
    std::optional<std::string> m_group;  // guarded by the group lock
};

class CNzbGroups final : public CNzbBase {
public:
    CNzbGroups() = default;
    ~CNzbGroups() override { Clear(); }
    void Clear() override;

    // Appends a Windows-1252 name after the last stored one; an empty name is refused. The
    // active group points at the first name afterwards.
    bool AddGroup(std::string_view name);
    // The names in document order, duplicates kept.
    std::vector<std::string> Names() const;
    // The active group's name, or nothing when the list is empty.
    std::optional<std::string> ActiveGroup() const;
    // Makes the index-th name active; false when out of range.
    bool SetActiveGroup(std::size_t index);

    // Each name NUL-terminated, the list ended by an extra NUL.
    std::unique_ptr<char[]> m_groupList;
    std::uint64_t m_groupListSize = 0;  // allocated bytes

private:
    std::uint64_t m_used = 0;             // bytes of names and their NULs, without the end NUL
    const char* m_activeGroup = nullptr;  // into m_groupList; guarded by the group lock
};

class CNzbPart final : public CNzbBase {
public:
    CNzbPart() = default;
    ~CNzbPart() override { Clear(); }
    void Clear() override;

    // Takes the first reference of `article`.
    void AppendArticle(CNzbArticle* article);
    void SetGroups(CNzbGroups* groups);
    // The validity rule: at least one article, poster and subject not empty, a date, every
    // article valid; sets and returns m_valid.
    bool Validate();

    std::string m_poster;  // UTF-8, as written
    SystemTime m_date;
    std::string m_subject;                 // UTF-8, as written
    CNzbGroups* m_groups = nullptr;        // holds one reference, or null
    std::vector<CNzbArticle*> m_articles;  // each holds one reference
};

class CNzbMedia final : public CNzbBase {
public:
    // Reads the whole file (one forward pass); the result is judged by m_valid.
    explicit CNzbMedia(std::string path);
    CNzbMedia() = default;
    ~CNzbMedia() override { Clear(); }
    void Clear() override;

    std::vector<CNzbPart*> m_parts;  // each holds one reference
    std::string m_filePath;

    // Derived values.
    std::uint64_t TotalBytes() const;
    std::size_t ArticleCount() const;
};

// The group an article is fetched from: its own group when set, else the part's active group;
// nothing when the part is invalid or has no groups.
std::optional<std::string> GroupOfArticle(const CNzbPart& part, const CNzbArticle& article);

// Opens and reads an NZB file. False when the path is empty, *out is not null, the file does
// not exist, or the document is not valid. On success *out holds one reference the caller owns.
bool OpenNzbMedia(const std::string& path, CNzbMedia** out);

}  // namespace quivern
