#include "nntp/nntp_callback.h"

namespace quivern {

std::size_t CNntpCallback::GetServerCount() const {
    std::lock_guard g(m_listLock);
    return m_servers.size();
}

bool CNntpCallback::GetServer(std::size_t index, CServerEntry& entry) const {
    std::lock_guard g(m_listLock);
    if (index >= m_servers.size()) return false;
    entry = m_servers[index];
    return true;
}

bool CNntpCallback::InsertServer(const CServerEntry& entry, std::int64_t position) {
    std::lock_guard g(m_listLock);
    const auto count = static_cast<std::int64_t>(m_servers.size());
    if (position < 0 || position == count) {
        m_servers.push_back(entry);
        return true;
    }
    if (position > count) return false;
    m_servers.insert(m_servers.begin() + position, entry);
    return true;
}

bool CNntpCallback::RemoveServer(std::size_t index) {
    std::lock_guard g(m_listLock);
    if (index >= m_servers.size()) return false;
    m_servers.erase(m_servers.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
}

std::size_t CNntpCallback::RemoveServersByAddress(std::string_view host, int port) {
    std::lock_guard g(m_listLock);
    const std::size_t before = m_servers.size();
    std::erase_if(m_servers, [&](const CServerEntry& e) { return e.MatchesAddress(host, port); });
    return before - m_servers.size();
}

bool CNntpCallback::ReplaceServers(const std::vector<CServerEntry>& entries) {
    std::lock_guard g(m_listLock);
    m_servers = entries;
    return true;
}

}  // namespace quivern
