#pragma once
// The engine's server list: the ordered list of configured servers every connection reads its
// entry from. The settings store fills it at start and writes it out at the end; the servers
// page edits it. All operations are thread-safe (channels read entries while connecting).

#include <cstdint>
#include <mutex>
#include <string_view>
#include <vector>

#include "nntp/server_entry.h"
#include "platform/refcounted.h"

namespace quivern {

class CNntpCallback : public CEasyRCBase {
public:
    CNntpCallback() = default;

    virtual bool IsReady() const { return true; }
    virtual std::size_t GetServerCount() const;
    // Copies entry `index`; false when out of range.
    virtual bool GetServer(std::size_t index, CServerEntry& entry) const;
    // A negative position, or one equal to the count, appends; a position below the count
    // inserts before that entry; a larger one fails.
    virtual bool InsertServer(const CServerEntry& entry, std::int64_t position);
    virtual bool RemoveServer(std::size_t index);
    // Removes every entry matching host and port (-1: any port); returns how many.
    virtual std::size_t RemoveServersByAddress(std::string_view host, int port);
    virtual bool ReplaceServers(const std::vector<CServerEntry>& entries);

protected:
    ~CNntpCallback() override = default;

private:
    mutable std::mutex m_listLock;
    std::vector<CServerEntry> m_servers;
};

}  // namespace quivern
