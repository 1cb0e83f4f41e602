#pragma once
// The program's one settings object. Filled from Config.ini once at start-up and written back
// once at the end; in between every setting lives here and its users read and change the fields
// directly. It also carries the recent files, the archive passwords given per NZB file and the
// unfinished jobs, which are saved with the settings. The server list is not held here: it lives
// in the engine, and the store reads it into the engine at load and out of it at save.
//
// Threads: Load and Save run on the interface thread while no worker exists. The archive
// password map is also used by the post-processing worker and is guarded by m_rarLock.

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nntp/nntp_callback.h"
#include "platform/refcounted.h"

namespace quivern {

class CProfileFile;

class CSavedOptions {
public:
    static constexpr std::size_t kMaxRecentFiles = 15;
    static constexpr std::size_t kNzbListColumns = 7;
    static constexpr std::size_t kArticleListColumns = 4;
    static constexpr std::size_t kUnfinishedLinesPerSection = 8;

    CSavedOptions();
    // Writes the file when a settings path is known (see Save).
    ~CSavedOptions();
    CSavedOptions(const CSavedOptions&) = delete;
    CSavedOptions& operator=(const CSavedOptions&) = delete;

    // Finds or creates the settings folder of the program at `programPath` (the running
    // program when empty), reads Config.ini and fills `engine`'s server list. Returns false
    // when no settings folder could be had: every field then keeps its initial value and
    // nothing is saved.
    bool Load(CNntpCallback& engine, std::string_view programPath = {});
    // Writes every setting, the engine's server list and the collections, in one atomic
    // replacement of Config.ini. Nothing happens without a settings path.
    bool Save();
    // "Reset program settings": deletes the file and forgets its path, so nothing is written
    // at the end.
    void ResetSettings();

    void SetLastBrowseDir(std::string_view nzbPath);
    void AddRecentFile(std::string_view path);
    void SetWorkingPaths(std::string_view savePath, std::string_view tempPath, bool createSubfolders);

    // Unfinished jobs: NZB path (any case) -> subjects of the multiparts that were cut off.
    void AddUnfinishedItem(std::string_view nzbPath, std::string_view item);
    std::optional<std::vector<std::string>> TakeUnfinishedJob(std::string_view nzbPath);
    std::vector<std::string> UnfinishedJobKeys() const;

    // Archive passwords per NZB file, keyed by the lower-cased path; thread-safe.
    std::optional<std::string> LookupArchivePassword(std::string_view nzbPath) const;
    void StoreArchivePassword(std::string_view nzbPath, std::string_view password);
    void RemoveArchivePassword(std::string_view nzbPath);

    // Server lines that could not be given to the engine because a host did not resolve at
    // load. They are written back unchanged after the engine's entries until the user removes
    // them, so a server that is unreachable for a day is not forgotten.
    std::vector<std::string> m_unresolvedServerLines;

    std::string m_configPath;
    std::string m_lastBrowseDir;
    std::vector<std::string> m_recentFiles;
    std::array<std::int32_t, 2> m_mainWndSize{0, 0};
    std::array<std::int32_t, 2> m_articleDlgSize{0, 0};
    std::array<std::int32_t, kArticleListColumns> m_articleListOrder{0, 1, 2, 3};
    std::array<std::int32_t, kNzbListColumns> m_nzbListOrder{0, 1, 2, 3, 4, 5, 6};
    std::int32_t m_maxChannels = 8;
    bool m_useChannelLoop = true;
    std::string m_savePathRoot;
    std::string m_tempPathRoot;
    bool m_createSubfolders = true;
    bool m_firstStart = true;
    std::map<std::string, std::vector<std::string>> m_unfinishedJobs;
    std::string m_tcPath;
    bool m_tcUse = false;
    bool m_tcNewTab = true;
    std::int32_t m_tcSide = 0;
    bool m_contextHelp = false;
    bool m_ctxHelpTurn = true;
    bool m_autoDelete = true;
    // Decoded segments the segment store keeps in memory before it spills to the temporary
    // folder, in MiB (key StoreMemoryLimitMB).
    std::int32_t m_storeMemoryLimitMB = 512;

private:
    void LoadServers(const CProfileFile& ini, CNntpCallback& engine);
    void SaveServers(CProfileFile& ini) const;
    bool LoadUnfinishedJobs(CProfileFile& ini);
    void SaveUnfinishedJobs(CProfileFile& ini) const;

    RcPtr<CNntpCallback> m_engine;
    mutable std::mutex m_rarLock;
    std::map<std::string, std::string> m_rarPasswords;
};

// The ten-field server line of an entry ("host;port;user;password;tls;proxytype;proxyhost;
// proxyport;proxyuser;proxypassword"). A field holding ";" or a line break is stored as
// "{base64}" followed by its base64 form, so it survives a save and a load; every other field
// is written as it is.
std::string FormatServerLine(const CServerEntry& entry);

struct ParsedServerLine {
    enum class Result { Ok, Incomplete, Unresolved };
    Result result = Result::Incomplete;
    CServerEntry entry;
    std::string host;  // for display of unresolved lines
    std::uint16_t port = 0;
};
ParsedServerLine ParseServerLine(std::string_view value);

// Order-list rule for column orders: tokens split at commas and blanks; a missing, negative or
// too large number gives the position's own index.
std::vector<std::int32_t> ParseOrderList(std::string_view text, std::size_t columns);

}  // namespace quivern
