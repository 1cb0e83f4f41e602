#pragma once
// The segment store: turns downloaded article bodies into files.
//
// Every download or check job is registered before it is queued; the store groups the articles
// of one multipart into a block, keeps the decoded segments until every article of the block is
// accounted for (stored, or ended without data), and then hands the block to its writer thread,
// which writes the file into the download folder in one go and records the outcome on the jobs.
// Segments that say where they belong in the file (yEnc parts) are not kept in memory: they are
// written straight into a staging file of the block, laid out as the target, in the target folder.
// When every segment of the file arrived and they fit end to end, the writer only renames the
// staging file into place; otherwise it assembles the target from it. Other segments stay in
// memory up to the budget of TEngineSettings and beyond it go to a spill file per block in the
// temporary folder. Staging and spill files are removed when the block is written or dropped
// (and any left by a process that no longer runs, when their folder is next used).
//
// Threads and locks: channel threads store and end jobs (writing staging and spill files, one
// write at a time per block), submission registers them, the writer thread alone creates, renames
// and replaces the target files. The engine calls in while holding its queue lock, so the
// order is engine lock, then m_lock; the store never calls back into the engine under m_lock,
// apart from letting a job post its progress (which never blocks).

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "nntp/decode/article_decoder.h"
#include "nntp/engine_settings.h"
#include "nntp/job.h"
#include "platform/refcounted.h"
#include "platform/sync.h"

namespace quivern {

class CDataSwap final : public CEasyRCBase {
public:
    enum ItemState : std::uint32_t { ItemIdle = 0, ItemAssigned = 1, ItemStored = 2, ItemEnded = 3 };

    class CMultiBlock;
    class CMultiPartItem;

    explicit CDataSwap(const TEngineSettings& settings);
    // Stops the writer after the block it is writing; queued and unfinished blocks are dropped.
    ~CDataSwap() override;

    bool RegisterJob(CNNTPJobDownload* job);
    bool IsArticleRegistered(const CNzbArticle* article);
    bool StoreSegment(CNNTPJobDownload* job, const DecodedSegment& segment);
    bool EndJobWithoutData(CNNTPJobDownload* job);
    // -1 when the article has no live item or its item has no job; else the job's phase.
    std::int32_t GetArticleJobState(const CNzbArticle* article);

    // Waits until no block is queued or being written; false on time-out.
    bool WaitForWriter(std::uint32_t timeoutMs);
    std::uint64_t MemoryInUse();
    const std::string& SpillFolder() const { return m_tempPath; }

    // Removes spill and staging files of processes that no longer run from `folder`.
    static void RemoveStaleSpillFiles(const std::string& folder);

private:
    bool QueueBlock(CMultiBlock* block);  // under m_lock
    // The folder a block's file goes to; empty when it cannot be created.
    std::string TargetFolder(const CMultiBlock& block);
    // Claims [offset, offset + length) of the block's staging file, opening it on first use;
    // false when the range overlaps one already claimed or the file cannot be had.
    bool ClaimLayoutRange(CMultiBlock& block, std::uint64_t offset, std::uint64_t length,
                          std::uint64_t fileSize);  // under m_lock
    bool IsComplete(const CMultiBlock* block) const;
    void WriterLoop();
    void WriteBlock(CMultiBlock& block);
    // Writes the collected segments one after the other into a new file at `path`; returns the
    // bytes written.
    std::uint64_t WriteCollected(CMultiBlock& block, const std::vector<CMultiPartItem*>& collected,
                                 std::uint64_t total, const std::string& path,
                                 const std::function<void(std::int32_t)>& setAll);
    void RecordDigest(CMultiBlock& block, const std::string& path, bool complete);
    void ReleaseBlockData(CMultiBlock& block);
    // The file's digest advances as segments become final; see CMultiBlock.
    // `fresh` is an item just stored from `freshData`, still at hand: hashed from there rather
    // than read back from the staging or spill file.
    void AdvanceDigest(CMultiBlock& block, const CMultiPartItem* fresh = nullptr,
                       const std::uint8_t* freshData = nullptr);
    std::vector<CMultiPartItem*> TakeHashable(CMultiBlock& block);  // under m_lock
    void HashItems(CMultiBlock& block, const std::vector<CMultiPartItem*>& items,
                   const CMultiPartItem* fresh = nullptr, const std::uint8_t* freshData = nullptr);

    CCriticalSection m_lock;
    std::uint64_t m_nextBlockId = 0;
    std::vector<RcPtr<CMultiBlock>> m_blocks;
    std::unordered_map<std::uint64_t, CMultiBlock*> m_blockById;
    std::unordered_map<const CNzbArticle*, CMultiPartItem*> m_itemByArticle;
    std::unordered_map<std::uint64_t, CMultiPartItem*> m_itemByJob;
    const std::string m_savePath;
    const bool m_subfolderPerNzb;
    const std::string m_tempPath;
    const std::uint64_t m_memoryBudget;
    std::uint64_t m_memoryInUse = 0;
    CThread m_writerThread;
    std::deque<RcPtr<CMultiBlock>> m_writeQueue;
    bool m_writing = false;
    CEvent m_stopEvent{false, false};
    CEvent m_workEvent{false, false};
    CEvent m_idleEvent{true, true};
    std::vector<std::string> m_cleanedFolders;  // under m_lock: folders already swept for stale files
    std::condition_variable_any m_hashIdle;     // a block's m_hashBusy was cleared
    RcPtr<CNzbMedia> m_par2Media;               // under m_lock: whether this document has a PAR2 set
    bool m_par2Result = false;
};

// The process-wide store, created on first use with the current engine settings; the caller
// gets a reference of its own.
bool GetDataSwap(RcPtr<CDataSwap>& out);
// Drops the process's reference (end of the process, or a test that wants a fresh store).
void ReleaseDataSwap();

}  // namespace quivern
