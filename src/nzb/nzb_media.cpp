#include "nzb/nzb_media.h"

#include <sys/stat.h>

#include <cstring>
#include <mutex>

#include "platform/refcounted.h"
#include "platform/text.h"

namespace quivern {
namespace {

// Guards the two fields the interface thread changes after reading: CNzbGroups' active group
// and CNzbArticle's own group. Changes are rare; one lock keeps the objects small.
std::mutex& GroupLock() {
    static std::mutex m;
    return m;
}

constexpr std::int64_t kLastAcceptedSecond = 32535215999;  // 3000-12-31 23:59:59 UTC

}  // namespace

bool UnixTimeToSystemTime(std::int64_t seconds, SystemTime& out) {
    if (seconds < 0 || seconds > kLastAcceptedSecond) return false;
    // Days to civil date (proleptic Gregorian), valid for the whole accepted range.
    const std::int64_t days = seconds / 86400;
    const std::int64_t rem = seconds % 86400;
    const std::int64_t z = days + 719468;
    const std::int64_t era = z / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    out.wYear = static_cast<std::uint16_t>(y);
    out.wMonth = static_cast<std::uint16_t>(m);
    out.wDay = static_cast<std::uint16_t>(d);
    out.wDayOfWeek = static_cast<std::uint16_t>((days + 4) % 7);  // 1970-01-01 was a Thursday
    out.wHour = static_cast<std::uint16_t>(rem / 3600);
    out.wMinute = static_cast<std::uint16_t>(rem / 60 % 60);
    out.wSecond = static_cast<std::uint16_t>(rem % 60);
    out.wMilliseconds = 0;
    return true;
}

std::int32_t CNzbBase::QueryInterface(const void* /*iid*/, void** out) {
    if (out != nullptr) *out = nullptr;
    return kENotImpl;
}

std::int32_t CNzbBase::Release() {
    const std::int32_t left = m_refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
}

const char* CNzbBase::ToAnsi(std::string_view utf8, std::size_t* length) {
    // Windows-1252 never needs more bytes than the UTF-8 it comes from.
    const std::size_t needed = utf8.size() + 1;
    if (!m_ansiBuffer || m_ansiCapacity < needed) {
        const std::size_t cap = needed * 4;
        m_ansiBuffer.reset(new (std::nothrow) char[cap]);
        m_ansiCapacity = m_ansiBuffer ? static_cast<std::uint32_t>(cap) : 0;
        if (!m_ansiBuffer) return nullptr;
    }
    std::string converted = Utf8ToCp1252(utf8);
    std::memcpy(m_ansiBuffer.get(), converted.data(), converted.size());
    m_ansiBuffer[converted.size()] = '\0';
    if (length != nullptr) *length = converted.size();
    return m_ansiBuffer.get();
}

void CNzbArticle::Clear() {
    m_messageId.reset();
    {
        std::lock_guard g(GroupLock());
        m_group.reset();
    }
    m_bytes = 0;
    m_number = -1;
    m_valid = false;
}

std::optional<std::string> CNzbArticle::Group() const {
    std::lock_guard g(GroupLock());
    return m_group;
}

void CNzbArticle::SetGroup(std::optional<std::string> group) {
    std::lock_guard g(GroupLock());
    m_group = std::move(group);
}

void CNzbGroups::Clear() {
    {
        std::lock_guard g(GroupLock());
        m_activeGroup = nullptr;
    }
    m_groupList.reset();
    m_groupListSize = 0;
    m_used = 0;
    m_valid = false;
}

bool CNzbGroups::AddGroup(std::string_view name) {
    if (name.empty()) return false;
    std::lock_guard g(GroupLock());
    const std::uint64_t len = name.size();
    if (!m_groupList) {
        m_groupListSize = len + 2;
        m_groupList.reset(new (std::nothrow) char[m_groupListSize]);
        if (!m_groupList) {
            m_groupListSize = 0;
            return false;
        }
    } else if (m_groupListSize - m_used < len + 2) {
        const std::uint64_t size = (len + m_groupListSize) * 4 + 8;
        std::unique_ptr<char[]> grown(new (std::nothrow) char[size]);
        if (!grown) return false;
        std::memcpy(grown.get(), m_groupList.get(), m_used);
        m_groupList = std::move(grown);
        m_groupListSize = size;
    }
    std::memcpy(m_groupList.get() + m_used, name.data(), len);
    m_used += len;
    m_groupList[m_used++] = '\0';
    m_groupList[m_used] = '\0';
    m_activeGroup = m_groupList.get();
    m_valid = true;
    return true;
}

std::vector<std::string> CNzbGroups::Names() const {
    std::vector<std::string> out;
    std::lock_guard g(GroupLock());
    for (std::uint64_t pos = 0; pos < m_used;) {
        const char* p = m_groupList.get() + pos;
        const std::size_t n = std::strlen(p);
        out.emplace_back(p, n);
        pos += n + 1;
    }
    return out;
}

std::optional<std::string> CNzbGroups::ActiveGroup() const {
    std::lock_guard g(GroupLock());
    if (m_activeGroup == nullptr || *m_activeGroup == '\0') return std::nullopt;
    return std::string(m_activeGroup);
}

bool CNzbGroups::SetActiveGroup(std::size_t index) {
    std::lock_guard g(GroupLock());
    std::size_t i = 0;
    for (std::uint64_t pos = 0; pos < m_used; ++i) {
        const char* p = m_groupList.get() + pos;
        if (i == index) {
            m_activeGroup = p;
            return true;
        }
        pos += std::strlen(p) + 1;
    }
    return false;
}

void CNzbPart::Clear() {
    if (m_groups != nullptr) {
        m_groups->Release();
        m_groups = nullptr;
    }
    m_poster.clear();
    m_subject.clear();
    m_date = SystemTime{};
    for (CNzbArticle* a : m_articles)
        a->Release();
    m_articles.clear();
    m_valid = false;
}

void CNzbPart::AppendArticle(CNzbArticle* article) {
    m_articles.push_back(article);
}

void CNzbPart::SetGroups(CNzbGroups* groups) {
    if (m_groups != nullptr) m_groups->Release();
    m_groups = groups;
}

bool CNzbPart::Validate() {
    bool ok = !m_articles.empty() && !m_poster.empty() && !m_subject.empty() && m_date.wYear != 0;
    for (const CNzbArticle* a : m_articles)
        ok = ok && a->m_valid;
    if (m_groups != nullptr) ok = ok && m_groups->m_valid;
    m_valid = ok;
    return ok;
}

void CNzbMedia::Clear() {
    for (CNzbPart* p : m_parts)
        p->Release();
    m_parts.clear();
    m_valid = false;
}

std::uint64_t CNzbMedia::TotalBytes() const {
    std::uint64_t total = 0;
    for (const CNzbPart* p : m_parts) {
        for (const CNzbArticle* a : p->m_articles)
            total += a->m_bytes;
    }
    return total;
}

std::size_t CNzbMedia::ArticleCount() const {
    std::size_t n = 0;
    for (const CNzbPart* p : m_parts)
        n += p->m_articles.size();
    return n;
}

std::optional<std::string> GroupOfArticle(const CNzbPart& part, const CNzbArticle& article) {
    if (auto own = article.Group()) return own;
    if (!part.m_valid || part.m_groups == nullptr) return std::nullopt;
    return part.m_groups->ActiveGroup();
}

bool OpenNzbMedia(const std::string& path, CNzbMedia** out) {
    if (path.empty() || out == nullptr || *out != nullptr) return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    auto* media = new CNzbMedia(path);
    media->AddRef();
    if (!media->m_valid) {
        media->Release();
        return false;
    }
    *out = media;
    return true;
}

}  // namespace quivern
