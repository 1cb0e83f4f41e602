#include "assembly/data_swap.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>

#include "assembly/file_names.h"
#include "assembly/written_files.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace quivern {

namespace {

// The MD5 of a file in the making, so verification can later trust the file without reading it.
class CWriteDigest {
public:
    CWriteDigest() : m_ctx(EVP_MD_CTX_new()) {
        if (m_ctx != nullptr && EVP_DigestInit_ex(m_ctx, EVP_md5(), nullptr) != 1) {
            EVP_MD_CTX_free(m_ctx);
            m_ctx = nullptr;
        }
    }
    ~CWriteDigest() { EVP_MD_CTX_free(m_ctx); }
    CWriteDigest(const CWriteDigest&) = delete;
    CWriteDigest& operator=(const CWriteDigest&) = delete;
    void Update(const std::uint8_t* p, std::uint64_t n) {
        if (m_ctx != nullptr) EVP_DigestUpdate(m_ctx, p, n);
    }
    bool Final(std::array<std::uint8_t, 16>& out) {
        unsigned int length = 0;
        return m_ctx != nullptr && EVP_DigestFinal_ex(m_ctx, out.data(), &length) == 1 && length == 16;
    }

private:
    EVP_MD_CTX* m_ctx;
};

}  // namespace

class CDataSwap::CMultiPartItem final : public CEasyRCBase {
public:
    CMultiPartItem(CMultiBlock* block, CNzbArticle* article) : m_block(block), m_article(article) {
        m_article->AddRef();
    }
    ~CMultiPartItem() override { m_article->Release(); }

    CMultiBlock* const m_block;  // owner; no reference
    CNzbArticle* const m_article;
    std::uint64_t m_dataSize = 0;
    std::unique_ptr<std::uint8_t[]> m_data;  // in memory, or
    std::int64_t m_spillOffset = -1;         // at this offset of the block's spill file, or
    std::int64_t m_layoutOffset = -1;        // at this offset of the block's staging file
    RcPtr<CNNTPJobDownload> m_job;
    std::uint32_t m_state = ItemIdle;
};

class CDataSwap::CMultiBlock final : public CEasyRCBase {
public:
    CMultiBlock(std::uint64_t id, CNzbMedia* media, CNzbPart* part)
        : m_id(id), m_media(media), m_part(part) {}
    ~CMultiBlock() override { CloseFiles(); }
    void CloseFiles() {
        if (m_spillFd >= 0) {
            ::close(m_spillFd);
            ::unlink(m_spillPath.c_str());
            m_spillFd = -1;
        }
        if (m_layoutFd >= 0) {
            ::close(m_layoutFd);
            ::unlink(m_layoutPath.c_str());
            m_layoutFd = -1;
        }
    }

    const std::uint64_t m_id;
    RcPtr<CNzbMedia> m_media;
    RcPtr<CNzbPart> m_part;
    std::string m_fileName;  // confined; empty until a segment supplies a usable name
    std::vector<RcPtr<CMultiPartItem>> m_items;
    std::string m_spillPath;
    int m_spillFd = -1;
    std::uint64_t m_spillSize = 0;
    // The staging file: segments at their place in the file. m_layoutRanges (start → end) keeps
    // two segments from claiming the same bytes.
    std::string m_layoutPath;
    int m_layoutFd = -1;
    bool m_layoutUnusable = false;
    std::map<std::uint64_t, std::uint64_t> m_layoutRanges;
    // Writes to one file are serialised by the kernel anyway (the inode lock), and many channels
    // waiting there spin; waiting here sleeps instead.
    std::mutex m_fileWriteLock;

    // The file's MD5, taken only for postings with a PAR2 set. It advances in segment-number
    // order as segments become final, on whichever thread finished one, outside the store lock;
    // m_hashBusy (under the store lock) marks the one thread hashing, and the writer claims it
    // before it frees the data.
    bool m_digestWanted = false;
    std::vector<std::size_t> m_order;  // item indices in segment-number order
    std::size_t m_hashNext = 0;        // next position of m_order to hash
    bool m_hashBusy = false;
    bool m_hashFailed = false;
    std::unique_ptr<CWriteDigest> m_digest;
};

namespace {

constexpr const char* kSpillPrefix = "quivern-spill-";
constexpr const char* kStagingPrefix = ".quivern-part-";
// Staging files are sparse until filled; an offset beyond this is not believed.
constexpr std::uint64_t kLayoutLimit = 1ull << 42;

std::mutex& StoreCreationLock() {
    static std::mutex m;
    return m;
}

RcPtr<CDataSwap>& ProcessStore() {
    static RcPtr<CDataSwap> store;
    return store;
}

bool EnsureDirectory(const std::string& path) {
    if (DirectoryExists(path)) return true;
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            const std::string part = path.substr(0, i);
            if (!DirectoryExists(part) && ::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
    }
    return DirectoryExists(path);
}

bool WriteAll(int fd, const std::uint8_t* p, std::uint64_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n > (1u << 30) ? (1u << 30) : n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::uint64_t>(w);
    }
    return true;
}

bool PWriteAll(int fd, const std::uint8_t* p, std::uint64_t n, std::int64_t offset) {
    while (n > 0) {
        const ssize_t w = ::pwrite(fd, p, n > (1u << 30) ? (1u << 30) : n, offset);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::uint64_t>(w);
        offset += w;
    }
    return true;
}

// Copies n bytes from `in` at `offset` to the current position of `out`.
bool CopyRange(int in, std::int64_t offset, int out, std::uint64_t n) {
    loff_t off = offset;
    while (n > 0) {
        const ssize_t c = ::copy_file_range(in, &off, out, nullptr, n, 0);
        if (c < 0 && errno == EINTR) continue;
        if (c <= 0) break;
        n -= static_cast<std::uint64_t>(c);
    }
    if (n == 0) return true;
    // Fallback for file systems without copy_file_range.
    std::unique_ptr<std::uint8_t[]> buf(new (std::nothrow) std::uint8_t[1 << 20]);
    if (!buf) return false;
    while (n > 0) {
        const std::size_t chunk = n > (1u << 20) ? (1u << 20) : static_cast<std::size_t>(n);
        const ssize_t r = ::pread(in, buf.get(), chunk, off);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || !WriteAll(out, buf.get(), static_cast<std::uint64_t>(r))) return false;
        off += r;
        n -= static_cast<std::uint64_t>(r);
    }
    return true;
}

// Whether the document carries a PAR2 set (a file whose subject names a .par2 file).
bool HasPar2Set(const CNzbMedia& media) {
    for (const CNzbPart* part : media.m_parts) {
        if (AsciiLower(part->m_subject).find(".par2") != std::string::npos) return true;
    }
    return false;
}

std::string NzbStem(const std::string& nzbPath) {
    std::string name(FileNamePart(nzbPath));
    const auto dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    return ConfineFileName(name);
}

}  // namespace

CDataSwap::CDataSwap(const TEngineSettings& s)
    : m_savePath(StripTrailingSeparator(s.savePathRoot.empty() ? DocumentsFolder() : s.savePathRoot)),
      m_subfolderPerNzb(s.createSubfolders),
      m_tempPath(StripTrailingSeparator(s.tempPathRoot.empty() ? TempFolder() : s.tempPathRoot)),
      m_memoryBudget(s.storeMemoryBudget) {
    RemoveStaleSpillFiles(m_tempPath);
}

CDataSwap::~CDataSwap() {
    if (m_writerThread.Running()) {
        m_stopEvent.Set();
        m_writerThread.Join();
    }
    std::lock_guard g(m_lock);
    m_writeQueue.clear();
    m_blocks.clear();  // spill files go with their blocks
}

void CDataSwap::RemoveStaleSpillFiles(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        for (const char* prefix : {kSpillPrefix, kStagingPrefix}) {
            const std::size_t prefixLen = std::strlen(prefix);
            if (name.compare(0, prefixLen, prefix) != 0) continue;
            const long pid = std::strtol(name.c_str() + prefixLen, nullptr, 10);
            if (pid <= 0) continue;
            if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) continue;  // still running
            ::unlink((folder + "/" + name).c_str());
        }
    }
    ::closedir(dir);
}

std::string CDataSwap::TargetFolder(const CMultiBlock& block) {
    std::string folder = m_savePath;
    if (!EnsureDirectory(folder)) return std::string();
    if (m_subfolderPerNzb) {
        const std::string stem = NzbStem(block.m_media->m_filePath);
        if (!stem.empty()) folder = JoinPath(folder, stem);
        if (!EnsureDirectory(folder)) return std::string();
    }
    return folder;
}

bool CDataSwap::ClaimLayoutRange(CMultiBlock& block, std::uint64_t offset, std::uint64_t length,
                                 std::uint64_t fileSize) {
    if (block.m_layoutUnusable || length == 0 || offset > kLayoutLimit || length > kLayoutLimit - offset) {
        return false;
    }
    auto next = block.m_layoutRanges.upper_bound(offset);
    if (next != block.m_layoutRanges.end() && next->first < offset + length) return false;
    if (next != block.m_layoutRanges.begin() && std::prev(next)->second > offset) return false;
    if (block.m_layoutFd < 0) {
        const std::string folder = TargetFolder(block);
        if (folder.empty()) {
            block.m_layoutUnusable = true;
            return false;
        }
        if (std::find(m_cleanedFolders.begin(), m_cleanedFolders.end(), folder) == m_cleanedFolders.end()) {
            m_cleanedFolders.push_back(folder);
            RemoveStaleSpillFiles(folder);
        }
        block.m_layoutPath =
            folder + "/" + kStagingPrefix + std::to_string(::getpid()) + "-" + std::to_string(block.m_id);
        // Never an existing file: the folder may be shared, and a name taken already (a leftover
        // of an earlier process with this id) leaves the block to memory.
        block.m_layoutFd =
            ::open(block.m_layoutPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (block.m_layoutFd < 0) {
            block.m_layoutUnusable = true;
            return false;
        }
        // Allocating the whole file at once keeps it in one piece on disk.
        if (fileSize != 0 && fileSize <= kLayoutLimit) {
            (void)::posix_fallocate(block.m_layoutFd, 0, static_cast<off_t>(fileSize));
        }
    }
    block.m_layoutRanges.emplace(offset, offset + length);
    return true;
}

bool CDataSwap::RegisterJob(CNNTPJobDownload* job) {
    std::lock_guard g(m_lock);
    auto found = m_itemByArticle.find(job->m_article);
    if (found == m_itemByArticle.end()) {
        CNzbPart* part = job->m_part;
        if (!part->m_valid) return false;
        RcPtr<CMultiBlock> block(new CMultiBlock(m_nextBlockId, job->m_media, part));
        for (CNzbArticle* a : part->m_articles) {
            if (a == nullptr || !a->m_valid) break;
            block->m_items.emplace_back(new CMultiPartItem(block.get(), a));
        }
        if (block->m_items.size() != part->m_articles.size()) return false;
        // The answer is kept for the document last asked about: the blocks of one document are
        // registered one after another, and each scan covers all of its files.
        if (m_par2Media.get() != block->m_media.get()) {
            m_par2Media = block->m_media;
            m_par2Result = HasPar2Set(*block->m_media);
        }
        block->m_digestWanted = m_par2Result;
        if (block->m_digestWanted) {
            block->m_digest = std::make_unique<CWriteDigest>();
            block->m_order.resize(block->m_items.size());
            for (std::size_t i = 0; i < block->m_order.size(); ++i)
                block->m_order[i] = i;
            std::stable_sort(block->m_order.begin(), block->m_order.end(), [&](std::size_t a, std::size_t b) {
                const CNzbArticle* x = block->m_items[a]->m_article;
                const CNzbArticle* y = block->m_items[b]->m_article;
                return (x->m_valid ? x->m_number : -1) < (y->m_valid ? y->m_number : -1);
            });
        }
        m_blockById.emplace(block->m_id, block.get());
        for (auto& item : block->m_items)
            m_itemByArticle.emplace(item->m_article, item.get());
        m_blocks.push_back(block);
        ++m_nextBlockId;
        found = m_itemByArticle.find(job->m_article);
        if (found == m_itemByArticle.end()) return false;  // the job's article is not of its part
    }
    CMultiPartItem* item = found->second;
    if (item->m_state != ItemIdle) return false;
    item->m_job = RcPtr<CNNTPJobDownload>(job);
    item->m_state = ItemAssigned;
    m_itemByJob.emplace(job->m_jobId, item);
    return true;
}

bool CDataSwap::IsArticleRegistered(const CNzbArticle* article) {
    std::lock_guard g(m_lock);
    auto it = m_itemByArticle.find(article);
    return it != m_itemByArticle.end() && it->second->m_state != ItemIdle;
}

std::int32_t CDataSwap::GetArticleJobState(const CNzbArticle* article) {
    std::lock_guard g(m_lock);
    auto it = m_itemByArticle.find(article);
    if (it == m_itemByArticle.end() || it->second->m_state == ItemIdle || !it->second->m_job) return -1;
    return it->second->m_job->m_phase.load();
}

bool CDataSwap::IsComplete(const CMultiBlock* block) const {
    if (block->m_items.empty()) return false;
    for (const auto& item : block->m_items) {
        if (item->m_state != ItemStored && item->m_state != ItemEnded) return false;
    }
    return true;
}

bool CDataSwap::StoreSegment(CNNTPJobDownload* job, const DecodedSegment& segment) {
    CMultiPartItem* item = nullptr;
    bool inMemory = true;
    std::int64_t spillOffset = -1;
    std::int64_t layoutOffset = -1;
    int spillFd = -1;
    {
        std::lock_guard g(m_lock);
        auto it = m_itemByJob.find(job->m_jobId);
        if (it == m_itemByJob.end() || it->second->m_state != ItemAssigned) return false;
        item = it->second;
        if (job->m_mode == ModeCheck) {
            item->m_state = ItemStored;
            job->m_phase = PhaseStored;
            job->PostProgress(0);
            return IsComplete(item->m_block) ? QueueBlock(item->m_block) : true;
        }
        // Reserve the segment's place in the staging file, room in memory, or a range of the
        // block's spill file.
        if (segment.hasFileOffset &&
            ClaimLayoutRange(*item->m_block, segment.fileOffset, segment.length, segment.fileSize)) {
            inMemory = false;
            layoutOffset = static_cast<std::int64_t>(segment.fileOffset);
            spillFd = item->m_block->m_layoutFd;
        } else if (m_memoryInUse + segment.length <= m_memoryBudget) {
            m_memoryInUse += segment.length;
        } else {
            CMultiBlock* block = item->m_block;
            if (block->m_spillFd < 0) {
                block->m_spillPath = m_tempPath + "/" + kSpillPrefix + std::to_string(::getpid()) + "-" +
                                     std::to_string(block->m_id) + ".tmp";
                block->m_spillFd = ::open(block->m_spillPath.c_str(),
                                          O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
                if (block->m_spillFd < 0) return false;
            }
            inMemory = false;
            spillOffset = static_cast<std::int64_t>(block->m_spillSize);
            block->m_spillSize += segment.length;
            spillFd = block->m_spillFd;
        }
    }
    // The copy runs without the lock: the item stays assigned to this job, so no one else
    // touches it and its block cannot be queued or dropped meanwhile.
    std::unique_ptr<std::uint8_t[]> data;
    bool ok = true;
    if (inMemory) {
        data.reset(new (std::nothrow) std::uint8_t[segment.length == 0 ? 1 : segment.length]);
        ok = static_cast<bool>(data);
        if (ok && segment.length != 0) std::memcpy(data.get(), segment.data, segment.length);
    } else {
        std::lock_guard w(item->m_block->m_fileWriteLock);
        ok = PWriteAll(spillFd, segment.data, segment.length, layoutOffset >= 0 ? layoutOffset : spillOffset);
    }
    RcPtr<CMultiBlock> block;
    bool result = true;
    {
        std::lock_guard g(m_lock);
        if (!ok) {
            if (inMemory) m_memoryInUse -= segment.length;
            if (layoutOffset >= 0)
                item->m_block->m_layoutRanges.erase(static_cast<std::uint64_t>(layoutOffset));
            return false;
        }
        item->m_dataSize = segment.length;
        item->m_data = std::move(data);
        item->m_spillOffset = spillOffset;
        item->m_layoutOffset = layoutOffset;
        item->m_state = ItemStored;
        block = RcPtr<CMultiBlock>(item->m_block);
        if (block->m_fileName.empty() && !segment.fileName.empty()) {
            block->m_fileName = ConfineFileName(segment.fileName);
        }
        job->m_phase = PhaseStored;
        job->PostProgress(0);
        if (IsComplete(block.get())) result = QueueBlock(block.get());
    }
    AdvanceDigest(*block, item, segment.data);
    return result;
}

bool CDataSwap::EndJobWithoutData(CNNTPJobDownload* job) {
    RcPtr<CMultiBlock> block;
    bool result = true;
    {
        std::lock_guard g(m_lock);
        auto it = m_itemByJob.find(job->m_jobId);
        if (it == m_itemByJob.end() || it->second->m_state != ItemAssigned) return false;
        CMultiPartItem* item = it->second;
        item->m_state = ItemEnded;
        job->m_phase = PhaseStored;
        job->PostProgress(0);
        block = RcPtr<CMultiBlock>(item->m_block);
        if (IsComplete(block.get())) result = QueueBlock(block.get());
    }
    AdvanceDigest(*block);
    return result;
}

void CDataSwap::HashItems(CMultiBlock& block, const std::vector<CMultiPartItem*>& items,
                          const CMultiPartItem* fresh, const std::uint8_t* freshData) {
    constexpr std::size_t kChunk = 4u << 20;
    std::unique_ptr<std::uint8_t[]> buf;
    for (CMultiPartItem* item : items) {
        if (item->m_data || (item == fresh && freshData != nullptr)) {
            block.m_digest->Update(item->m_data ? item->m_data.get() : freshData, item->m_dataSize);
            continue;
        }
        if (!buf) buf.reset(new (std::nothrow) std::uint8_t[kChunk]);
        const bool staged = item->m_layoutOffset >= 0;
        const int fd = staged ? block.m_layoutFd : block.m_spillFd;
        std::int64_t offset = staged ? item->m_layoutOffset : item->m_spillOffset;
        std::uint64_t left = item->m_dataSize;
        while (left > 0) {
            const std::size_t chunk = left > kChunk ? kChunk : static_cast<std::size_t>(left);
            const ssize_t r = buf ? ::pread(fd, buf.get(), chunk, offset) : -1;
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {
                block.m_hashFailed = true;
                return;
            }
            block.m_digest->Update(buf.get(), static_cast<std::uint64_t>(r));
            offset += r;
            left -= static_cast<std::uint64_t>(r);
        }
    }
}

// Takes the next final items in segment-number order (stored ones are to be hashed, ended ones
// are not in the file); stops at the first item still under way.
std::vector<CDataSwap::CMultiPartItem*> CDataSwap::TakeHashable(CMultiBlock& block) {
    std::vector<CMultiPartItem*> batch;
    while (block.m_hashNext < block.m_order.size()) {
        CMultiPartItem* item = block.m_items[block.m_order[block.m_hashNext]].get();
        if (item->m_state == ItemStored) {
            batch.push_back(item);
        } else if (item->m_state != ItemEnded) {
            break;
        }
        ++block.m_hashNext;
    }
    return batch;
}

void CDataSwap::AdvanceDigest(CMultiBlock& block, const CMultiPartItem* fresh,
                              const std::uint8_t* freshData) {
    for (;;) {
        std::vector<CMultiPartItem*> batch;
        {
            std::lock_guard g(m_lock);
            if (!block.m_digestWanted || block.m_hashBusy || block.m_hashFailed) return;
            batch = TakeHashable(block);
            if (batch.empty()) return;
            block.m_hashBusy = true;
        }
        HashItems(block, batch, fresh, freshData);
        {
            std::lock_guard g(m_lock);
            block.m_hashBusy = false;
        }
        m_hashIdle.notify_all();
    }
}

bool CDataSwap::QueueBlock(CMultiBlock* block) {
    if (!m_writerThread.Running() && !m_writerThread.Start([this] { WriterLoop(); }, ThreadPriority::Idle)) {
        return false;
    }
    m_blockById.erase(block->m_id);
    for (auto& item : block->m_items) {
        m_itemByArticle.erase(item->m_article);
        if (item->m_state != ItemIdle && item->m_job) m_itemByJob.erase(item->m_job->m_jobId);
    }
    auto it = std::find_if(m_blocks.begin(), m_blocks.end(), [&](const auto& b) { return b.get() == block; });
    m_writeQueue.push_back(*it);
    m_blocks.erase(it);
    m_idleEvent.Reset();
    m_workEvent.Set();
    return true;
}

void CDataSwap::WriterLoop() {
    for (;;) {
        if (CEvent::WaitAny(m_stopEvent, m_workEvent, kInfinite) != 1) return;
        RcPtr<CMultiBlock> block;
        {
            std::lock_guard g(m_lock);
            if (m_writeQueue.empty()) {
                m_idleEvent.Set();
                continue;
            }
            block = m_writeQueue.front();
            m_writeQueue.pop_front();
            m_writing = true;
        }
        WriteBlock(*block);
        ReleaseBlockData(*block);
        // Releasing the block releases its jobs, which then announce the written file.
        block = RcPtr<CMultiBlock>();
        {
            std::lock_guard g(m_lock);
            m_writing = false;
        }
        m_workEvent.Set();
    }
}

void CDataSwap::ReleaseBlockData(CMultiBlock& block) {
    std::uint64_t freed = 0;
    for (auto& item : block.m_items) {
        if (item->m_data) {
            freed += item->m_dataSize;
            item->m_data.reset();
        }
    }
    block.CloseFiles();
    std::lock_guard g(m_lock);
    m_memoryInUse -= freed;
}

void CDataSwap::WriteBlock(CMultiBlock& block) {
    // The data is the writer's from here on: wait for a thread still hashing it, then finish
    // the digest with what is left.
    std::vector<CMultiPartItem*> unhashed;
    {
        std::unique_lock g(m_lock);
        m_hashIdle.wait(g, [&] { return !block.m_hashBusy; });
        block.m_hashBusy = true;
        if (block.m_digestWanted && !block.m_hashFailed) unhashed = TakeHashable(block);
    }
    if (!unhashed.empty()) HashItems(block, unhashed);
    auto setAll = [&](std::int32_t code) {
        for (auto& item : block.m_items) {
            if (item->m_job) item->m_job->m_resultCode = code;
        }
    };
    // Preparing the target.
    bool checkOnly = false;
    for (auto& item : block.m_items) {
        if (item->m_job && item->m_job->m_mode == ModeCheck) checkOnly = true;
    }
    std::int32_t status = 0;
    std::string path;
    if (!checkOnly) {
        const std::string folder = TargetFolder(block);
        if (folder.empty()) status = -1;
        if (status == 0 && !block.m_fileName.empty()) {
            path = JoinPath(folder, block.m_fileName);
            struct stat st {};
            if (::lstat(path.c_str(), &st) == 0 && ::unlink(path.c_str()) != 0) status = -4;
        }
    }
    if (status < 0) {
        setAll(status);
        return;
    }
    // Writing. A download without a usable file name writes nothing.
    if (!checkOnly && path.empty()) {
        setAll(-8);
        return;
    }
    std::vector<CMultiPartItem*> collected;
    bool cancelled = false;
    for (auto& item : block.m_items) {
        if (item->m_job && item->m_job->m_state.load() == StateCancelled) {
            cancelled = true;
            break;
        }
        if (!item->m_job) continue;
        if (item->m_state == ItemStored) {
            item->m_job->m_resultCode = item->m_job->m_damaged.load() ? kResultDamaged : 0;
            collected.push_back(item.get());
        } else {
            item->m_job->m_resultCode = 1;
        }
    }
    std::uint64_t written = 0;
    if (!cancelled) {
        if (collected.empty()) setAll(-7);
        if (!checkOnly && !collected.empty()) {
            std::stable_sort(collected.begin(), collected.end(),
                             [](const CMultiPartItem* a, const CMultiPartItem* b) {
                                 const std::int32_t na = a->m_article->m_valid ? a->m_article->m_number : -1;
                                 const std::int32_t nb = b->m_article->m_valid ? b->m_article->m_number : -1;
                                 return na < nb;
                             });
            std::uint64_t total = 0;
            bool laidOut = block.m_layoutFd >= 0;
            for (auto* item : collected) {
                if (item->m_layoutOffset != static_cast<std::int64_t>(total)) laidOut = false;
                total += item->m_dataSize;
            }
            // The staging file already is the target when the segments fit end to end from the
            // start; it only has to lose what was allocated beyond them.
            if (laidOut && ::ftruncate(block.m_layoutFd, static_cast<off_t>(total)) == 0 &&
                ::rename(block.m_layoutPath.c_str(), path.c_str()) == 0) {
                const bool closed = ::close(block.m_layoutFd) == 0;
                block.m_layoutFd = -1;
                written = total;
                RecordDigest(block, path, closed);
            } else {
                written = WriteCollected(block, collected, total, path, setAll);
            }
        }
    }
    // Recording the outcome on the job of the file's first segment.
    for (auto& item : block.m_items) {
        if (item->m_job && item->m_article->m_valid && item->m_article->m_number == 1) {
            if (!path.empty()) item->m_job->SetResult(path, written);
            break;
        }
    }
}

void CDataSwap::RecordDigest(CMultiBlock& block, const std::string& path, bool complete) {
    std::array<std::uint8_t, 16> md5{};
    if (complete && block.m_digestWanted && !block.m_hashFailed && block.m_hashNext == block.m_order.size() &&
        block.m_digest->Final(md5)) {
        RecordWrittenFile(path, md5);
    } else {
        ForgetWrittenFile(path);
    }
}

std::uint64_t CDataSwap::WriteCollected(CMultiBlock& block, const std::vector<CMultiPartItem*>& collected,
                                        std::uint64_t total, const std::string& path,
                                        const std::function<void(std::int32_t)>& setAll) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    bool ok = fd >= 0;
    // Allocating the whole length at once keeps the file in one piece on disk.
    if (ok && total != 0 && ::posix_fallocate(fd, 0, static_cast<off_t>(total)) != 0) {
        ok = ::ftruncate(fd, static_cast<off_t>(total)) == 0;
    }
    if (!ok) {
        if (fd >= 0) ::close(fd);
        setAll(-5);
        return 0;
    }
    std::uint64_t written = 0;
    for (auto* item : collected) {
        bool w;
        if (item->m_data) {
            w = WriteAll(fd, item->m_data.get(), item->m_dataSize);
        } else if (item->m_layoutOffset >= 0) {
            w = CopyRange(block.m_layoutFd, item->m_layoutOffset, fd, item->m_dataSize);
        } else {
            w = CopyRange(block.m_spillFd, item->m_spillOffset, fd, item->m_dataSize);
        }
        if (!w) break;
        written += item->m_dataSize;
    }
    // A failed write leaves exactly the segments written so far.
    if (written != total) (void)::ftruncate(fd, static_cast<off_t>(written));
    const bool closed = ::close(fd) == 0;
    RecordDigest(block, path, closed && written == total);
    return written;
}

bool CDataSwap::WaitForWriter(std::uint32_t timeoutMs) {
    const std::uint64_t deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        {
            std::lock_guard g(m_lock);
            if (m_writeQueue.empty() && !m_writing) return true;
        }
        const std::uint64_t now = MonotonicMs();
        if (now >= deadline) return false;
        m_idleEvent.Wait(static_cast<std::uint32_t>(std::min<std::uint64_t>(deadline - now, 50)));
    }
}

std::uint64_t CDataSwap::MemoryInUse() {
    std::lock_guard g(m_lock);
    return m_memoryInUse;
}

bool GetDataSwap(RcPtr<CDataSwap>& out) {
    std::lock_guard g(StoreCreationLock());
    auto& store = ProcessStore();
    if (!store) store = RcPtr<CDataSwap>(new (std::nothrow) CDataSwap(GetEngineSettings()));
    if (!store) return false;
    out = store;
    return true;
}

void ReleaseDataSwap() {
    RcPtr<CDataSwap> old;
    {
        std::lock_guard g(StoreCreationLock());
        old = std::move(ProcessStore());
        ProcessStore() = RcPtr<CDataSwap>();
    }
}

}  // namespace quivern
