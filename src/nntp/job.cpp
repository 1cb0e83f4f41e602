#include "nntp/job.h"

#include <algorithm>
#include <map>
#include <memory>
#include <unordered_map>

#include "platform/paths.h"
#include "platform/sync.h"

namespace quivern {
namespace {

// ---- progress record pool -------------------------------------------------------------------
// Blocks of 1000 records; the current block's free records are used first; when it has none,
// the blocks are searched in map order and one other entirely free block is returned to the
// system; when no record is free a new block is added.

constexpr std::size_t kRecordsPerBlock = 1000;

struct RecordPool {
    std::mutex lock;
    std::map<TConnectionResponseJobItem*, std::size_t> blocks;  // block -> record count
    TConnectionResponseJobItem* current = nullptr;
};

RecordPool& Pool() {
    static auto* pool = new RecordPool();  // lives until process exit; receivers may run late
    return *pool;
}

TConnectionResponseJobItem* FirstFree(TConnectionResponseJobItem* block) {
    for (std::size_t i = 0; i < kRecordsPerBlock; ++i) {
        if (block[i].free != 0) return &block[i];
    }
    return nullptr;
}

bool AllFree(const TConnectionResponseJobItem* block) {
    for (std::size_t i = 0; i < kRecordsPerBlock; ++i) {
        if (block[i].free == 0) return false;
    }
    return true;
}

TConnectionResponseJobItem* AllocateRecord(RecordPool& p) {
    if (p.current != nullptr) {
        if (auto* r = FirstFree(p.current)) return r;
    }
    p.current = nullptr;
    TConnectionResponseJobItem* found = nullptr;
    for (auto& [block, count] : p.blocks) {
        if (auto* r = FirstFree(block)) {
            found = r;
            p.current = block;
            break;
        }
    }
    if (found != nullptr) {
        if (p.blocks.size() > 1) {
            for (auto it = p.blocks.begin(); it != p.blocks.end(); ++it) {
                if (it->first != p.current && AllFree(it->first)) {
                    delete[] it->first;
                    p.blocks.erase(it);
                    break;
                }
            }
        }
        return found;
    }
    auto* block = new (std::nothrow) TConnectionResponseJobItem[kRecordsPerBlock];
    if (block == nullptr) return nullptr;
    p.blocks.emplace(block, kRecordsPerBlock);
    return &block[0];
}

// ---- error pool -----------------------------------------------------------------------------

struct ErrorEntry {
    std::uint64_t lastMs = 0;  // 0 forces delivery
    std::int32_t error = 0;
    std::int32_t count = 0;
};

struct ErrorPool {
    std::mutex lock;
    std::unordered_map<WindowHandle, ErrorEntry> entries;
    std::uint64_t delayMs = 500;
};

ErrorPool& Errors() {
    static auto* pool = new ErrorPool();
    return *pool;
}

void FlushLocked(ErrorPool& e) {
    const std::uint64_t now = MonotonicMs();
    for (auto it = e.entries.begin(); it != e.entries.end();) {
        if (now - it->second.lastMs > e.delayMs) {
            PostMessageTo(it->first, WM_JOB_ERRORS,
                          static_cast<WParam>(static_cast<LParam>(it->second.error)), it->second.count);
            it = e.entries.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

std::uint32_t ConnectionErrorMessageId(std::int32_t code) {
    if (code == -9) return 30024;
    if (code == -11) return 30025;
    if ((code <= -12 && code >= -15) || (code <= -36 && code >= -43)) return 30026;
    if (code == -16 || (code <= -25 && code >= -35)) return 30027;
    if ((code <= -2 && code >= -6) || code == -8 || code == -23) return 30023;
    return 30028;
}

std::uint64_t PackEventWord(std::uint32_t bytes, std::int32_t state, std::int32_t phase, std::int32_t result,
                            std::uint8_t mode) {
    return static_cast<std::uint64_t>(bytes) | (static_cast<std::uint64_t>(state & 3) << 32) |
           (static_cast<std::uint64_t>(phase & 3) << 34) |
           (static_cast<std::uint64_t>((result + 9) & 15) << 36) |
           (static_cast<std::uint64_t>(mode & 1) << 40);
}

TEventWord UnpackEventWord(std::uint64_t w) {
    return TEventWord{static_cast<std::uint32_t>(w & 0xFFFFFFFFu), static_cast<std::int32_t>((w >> 32) & 3),
                      static_cast<std::int32_t>((w >> 34) & 3), static_cast<std::int32_t>((w >> 36) & 15) - 9,
                      static_cast<std::uint8_t>((w >> 40) & 1)};
}

TProgress TakeProgressRecord(LParam record) {
    auto* r = reinterpret_cast<TConnectionResponseJobItem*>(record);
    std::lock_guard g(Pool().lock);
    TProgress out{r->listItem, r->article, r->eventWord};
    r->free = 1;
    return out;
}

std::size_t ProgressPoolBlockCount() {
    std::lock_guard g(Pool().lock);
    return Pool().blocks.size();
}

void FreeFileWrittenMessage(WParam wParam, LParam lParam) {
    auto* record = reinterpret_cast<TFileWrittenRecord*>(wParam);
    if (record != nullptr) {
        if (record->media != nullptr) record->media->Release();
        delete record;
    }
    if (auto* part = reinterpret_cast<CNzbPart*>(lParam)) part->Release();
}

CNNTPJobDownload::CNNTPJobDownload(CNzbMedia* media, CNzbPart* part, CNzbArticle* article,
                                   std::uint64_t jobId, WindowHandle notifyWindow, void* listItem,
                                   std::uint8_t mode)
    : m_jobId(jobId),
      m_media(media),
      m_part(part),
      m_article(article),
      m_notifyWindow(notifyWindow),
      m_listItem(listItem),
      m_mode(mode) {
    m_media->AddRef();
    m_part->AddRef();
    m_article->AddRef();
    m_valid = true;
}

CNNTPJobDownload::~CNNTPJobDownload() {
    if (m_valid && m_notifyWindow != 0 && m_listItem != nullptr) {
        m_phase = PhaseEnded;
        PostProgress(0);
        CErrorNotifyPool::ForceDelivery(m_notifyWindow);
        const std::string path = ResultPath();
        const std::uint64_t size = ResultSize();
        if (!path.empty() && size != 0) {
            auto* record = new TFileWrittenRecord;
            record->media = m_media;
            m_media->AddRef();
            record->fileName = std::string(FileNamePart(path));
            record->size = size;
            m_part->AddRef();
            if (!PostMessageTo(m_notifyWindow, WM_JOB_FILE_WRITTEN, reinterpret_cast<WParam>(record),
                               reinterpret_cast<LParam>(m_part))) {
                FreeFileWrittenMessage(reinterpret_cast<WParam>(record), reinterpret_cast<LParam>(m_part));
            }
        }
    }
    m_article->Release();
    m_part->Release();
    m_media->Release();
}

void CNNTPJobDownload::PostProgress(std::uint32_t bytes) {
    const std::int32_t phase = m_phase.load();
    if (phase == PhaseCreated || m_notifyWindow == 0 || m_listItem == nullptr) return;
    const std::uint64_t word = PackEventWord(bytes, m_state.load(), phase, m_resultCode.load(), m_mode);
    RecordPool& p = Pool();
    TConnectionResponseJobItem* r;
    {
        std::lock_guard g(p.lock);
        r = AllocateRecord(p);
        if (r == nullptr) return;
        r->listItem = m_listItem;
        r->article = m_article;
        r->eventWord = word;
        r->free = 0;
    }
    if (!PostMessageTo(m_notifyWindow, WM_JOB_PROGRESS, 0, reinterpret_cast<LParam>(r))) {
        std::lock_guard g(p.lock);
        r->free = 1;
    }
}

void CNNTPJobDownload::OnReceived(std::size_t bytes) {
    m_pendingBytes += bytes;
    const std::uint64_t now = MonotonicMs();
    // The interval counts from the first chunk: an article that arrives within it is reported
    // once, when its receive ends.
    if (m_lastChunkPostMs == 0) m_lastChunkPostMs = now;
    if (now - m_lastChunkPostMs < kProgressIntervalMs) return;
    m_lastChunkPostMs = now;
    FlushReceived();
}

void CNNTPJobDownload::FlushReceived() {
    while (m_pendingBytes != 0) {
        const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(m_pendingBytes, UINT32_MAX));
        m_pendingBytes -= chunk;
        PostProgress(chunk);
    }
}

void CNNTPJobDownload::SetResult(std::string path, std::uint64_t size) {
    std::lock_guard g(m_resultLock);
    m_resultPath = std::move(path);
    m_resultSize = size;
}

std::string CNNTPJobDownload::ResultPath() const {
    std::lock_guard g(m_resultLock);
    return m_resultPath;
}

std::uint64_t CNNTPJobDownload::ResultSize() const {
    std::lock_guard g(m_resultLock);
    return m_resultSize;
}

void CNNTPJobDownload::MarkFailed() {
    std::int32_t expected = StateNormal;
    m_state.compare_exchange_strong(expected, StateFailed);
}

void CNNTPJobDownload::MarkCancelled() {
    m_state = StateCancelled;
}

void CErrorNotifyPool::ReportConnectionError(WindowHandle window, std::int32_t error) {
    ErrorPool& e = Errors();
    std::lock_guard g(e.lock);
    if (error != 0) {
        auto& entry = e.entries[window];
        entry.lastMs = MonotonicMs();
        entry.error = error;
        entry.count += 1;
    } else if (auto it = e.entries.find(window); it != e.entries.end()) {
        it->second.lastMs = 0;
    }
    FlushLocked(e);
}

void CErrorNotifyPool::FlushErrors() {
    ErrorPool& e = Errors();
    std::lock_guard g(e.lock);
    FlushLocked(e);
}

void CErrorNotifyPool::ForceDelivery(WindowHandle window) {
    ErrorPool& e = Errors();
    std::lock_guard g(e.lock);
    if (auto it = e.entries.find(window); it != e.entries.end()) it->second.lastMs = 0;
    FlushLocked(e);
}

void CErrorNotifyPool::SetDelayForTest(std::uint64_t milliseconds) {
    ErrorPool& e = Errors();
    std::lock_guard g(e.lock);
    e.delayMs = milliseconds;
}

}  // namespace quivern
