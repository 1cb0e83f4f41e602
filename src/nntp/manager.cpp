#include "nntp/manager.h"

#include <algorithm>
#include <mutex>

#include "assembly/data_swap.h"
#include "nntp/engine_settings.h"
#include "nntp/nntp_errors.h"

namespace quivern {
namespace {

constexpr std::int32_t kMaxPutBacks = 3;

// The server index of the connection whose article the decoder is handing on (channel thread).
thread_local std::size_t t_fetchServer = 0;

std::mutex& ManagerCreationLock() {
    static std::mutex m;
    return m;
}

RcPtr<CNNTPManager>& ProcessManager() {
    static RcPtr<CNNTPManager> manager;
    return manager;
}

}  // namespace

CNNTPManager::CNNTPManager() = default;

CNNTPManager::~CNNTPManager() {
    StopChannels();
}

void CNNTPManager::StopChannels() {
    std::vector<std::unique_ptr<CThread>> threads;
    {
        std::lock_guard g(m_queueLock);
        if (!m_started) return;
        threads = std::move(m_threads);
        m_threads.clear();
        m_started = false;
    }
    m_stopEvent.Set();
    for (auto& t : threads)
        t->Join();
    m_stopEvent.Reset();
}

bool CNNTPManager::StartChannels() {
    if (m_started) return true;
    const TEngineSettings settings = GetEngineSettings();
    if (settings.maxChannels < 1) return false;
    m_useNextServer = settings.useChannelLoop;
    std::vector<std::unique_ptr<CThread>> threads;
    m_slots.clear();
    for (int i = 0; i < settings.maxChannels; ++i)
        m_slots.push_back(std::make_unique<ChannelSlot>());
    for (int i = 0; i < settings.maxChannels; ++i) {
        auto t = std::make_unique<CThread>();
        ChannelSlot* slot = m_slots[static_cast<std::size_t>(i)].get();
        if (!t->Start([this, slot] { ChannelLoop(*slot); }, ThreadPriority::Lowest)) {
            // The threads already started wait on the stop event; let them go.
            m_stopEvent.Set();
            for (auto& started : threads)
                started->Join();
            m_stopEvent.Reset();
            return false;
        }
        threads.push_back(std::move(t));
    }
    m_threads = std::move(threads);
    m_started = true;
    return true;
}

bool CNNTPManager::QueueJobs(CNzbMedia* media, CNzbPart* part, CNzbArticle* article, WindowHandle window,
                             void* listItem, INNTPManagerCB* callback, std::uint8_t mode,
                             InsertCursor& cursor) {
    std::lock_guard g(m_queueLock);
    if (!StartChannels()) return false;
    RcPtr<CDataSwap> store;
    if (!GetDataSwap(store)) return false;
    auto queueOne = [&](CNzbArticle* a) {
        RcPtr<Job> job(new (std::nothrow) Job(media, part, a, m_nextJobId, window, listItem, mode));
        if (!job || !job->m_valid || !store->RegisterJob(job.get())) return false;
        ++m_nextJobId;
        InsertJob(job, cursor);
        if (callback != nullptr) callback->ArticleQueued(listItem, a);
        return true;
    };
    if (article != nullptr) {
        if (store->IsArticleRegistered(article)) return true;
        if (!queueOne(article)) return false;
        m_workEvent.Set();
        return true;
    }
    if (!part->m_valid) return false;
    std::size_t queued = 0;
    for (CNzbArticle* a : part->m_articles) {
        if (a == nullptr || !a->m_valid) break;
        if (store->IsArticleRegistered(a)) continue;
        if (!queueOne(a)) break;
        ++queued;
    }
    if (queued == 0) return false;
    m_workEvent.Set();
    return true;
}

CNNTPManager::RunList::iterator CNNTPManager::NewRunBefore(RunList::iterator pos, const RcPtr<Job>& job) {
    auto it = m_queue.insert(pos, Run{m_nextRunId++, job->m_media, job->m_part, job->m_mode, {}});
    it->jobs.push_back(job);
    m_runById.emplace(it->id, it);
    return it;
}

void CNNTPManager::InsertJob(RcPtr<Job> job, InsertCursor& cursor) {
    CNzbMedia* const doc = job->m_media;
    CNzbPart* const file = job->m_part;
    const std::uint8_t mode = job->m_mode;
    auto sameKey = [&](const Run& r) { return r.media == doc && r.part == file && r.mode == mode; };
    if (cursor.media.get() != doc) {
        cursor.media = RcPtr<CNzbMedia>();
        cursor.part = RcPtr<CNzbPart>();
    } else if (cursor.part.get() != file) {
        cursor.part = RcPtr<CNzbPart>();
    }
    if (m_queue.empty()) {
        NewRunBefore(m_queue.end(), job);
    } else {
        // Scan from the back: the exact match (the cursor's document, file and this mode) ends
        // the scan; on the way the back-most job of the cursor's document and this mode is the
        // candidate. Both are the last jobs of their runs.
        RunList::iterator exact = m_queue.end();
        RunList::iterator candidate = m_queue.end();
        for (auto it = m_queue.end(); it != m_queue.begin();) {
            --it;
            if (!cursor.media || it->media != cursor.media.get() || it->mode != mode) continue;
            if (cursor.part && it->part == cursor.part.get()) {
                exact = it;
                break;
            }
            if (candidate == m_queue.end()) candidate = it;
        }
        if (exact != m_queue.end()) {
            exact->jobs.push_back(job);  // directly behind the exact match
        } else if (candidate != m_queue.end() && sameKey(*candidate)) {
            candidate->jobs.push_back(job);
        } else if (candidate == m_queue.end() && sameKey(m_queue.front())) {
            // Directly behind the front job, inside the front run of the same key.
            auto& jobs = m_queue.front().jobs;
            jobs.insert(jobs.begin() + 1, job);
        } else {
            RunList::iterator pos = candidate != m_queue.end() ? std::next(candidate) : m_queue.begin();
            if (mode == ModeDownload && pos != m_queue.end()) {
                // A download never splits the run of jobs of the file at that position.
                const CNzbPart* runFile = pos->part;
                while (pos != m_queue.end() && pos->part == runFile)
                    ++pos;
            }
            if (pos != m_queue.begin() && sameKey(*std::prev(pos))) {
                std::prev(pos)->jobs.push_back(job);
            } else if (pos != m_queue.end() && sameKey(*pos)) {
                pos->jobs.push_front(job);
            } else {
                NewRunBefore(pos, job);
            }
        }
    }
    cursor.media = RcPtr<CNzbMedia>(doc);
    cursor.part = RcPtr<CNzbPart>(file);
}

void CNNTPManager::PushFront(RcPtr<Job> job) {
    if (!m_queue.empty()) {
        Run& front = m_queue.front();
        if (front.media == job->m_media && front.part == job->m_part && front.mode == job->m_mode) {
            front.jobs.push_front(std::move(job));
            return;
        }
    }
    NewRunBefore(m_queue.begin(), job);
}

RcPtr<CNNTPManager::Job> CNNTPManager::GetNextJob() {
    std::lock_guard g(m_queueLock);
    if (m_queue.empty() || m_holdForTest) return {};
    Run& front = m_queue.front();
    RcPtr<Job> job = std::move(front.jobs.front());
    front.jobs.pop_front();
    if (front.jobs.empty()) {
        m_runById.erase(front.id);
        m_queue.pop_front();
    }
    m_active.push_back(job);
    if (!m_queue.empty()) m_workEvent.Set();
    return job;
}

void CNNTPManager::RemoveFrom(std::vector<RcPtr<Job>>& list, const Job* job) {
    auto it = std::find_if(list.begin(), list.end(), [&](const RcPtr<Job>& j) { return j.get() == job; });
    if (it != list.end()) list.erase(it);
}

RcPtr<CNNTPManager::Job> CNNTPManager::TakeAwaiting(std::uint64_t jobId) {
    std::lock_guard g(m_queueLock);
    auto it = std::find_if(m_awaitingData.begin(), m_awaitingData.end(),
                           [&](const RcPtr<Job>& j) { return j->m_jobId == jobId; });
    if (it == m_awaitingData.end()) return {};
    RcPtr<Job> job = std::move(*it);
    m_awaitingData.erase(it);
    return job;
}

void CNNTPManager::CancelJobs(const CNzbPart* part, const CNzbArticle* article) {
    std::lock_guard g(m_queueLock);
    bool queuedDone = false;
    for (auto& run : m_queue) {
        if (run.part != part) continue;
        for (auto& job : run.jobs) {
            if (article == nullptr) {
                job->MarkCancelled();
            } else if (job->m_article == article && !queuedDone) {
                job->MarkCancelled();
                queuedDone = true;
            }
        }
    }
    for (auto& job : m_active) {
        if (job->m_part != part) continue;
        if (article == nullptr) {
            job->MarkCancelled();
        } else if (job->m_article == article) {
            job->MarkCancelled();
            break;
        }
    }
    for (auto& slot : m_slots) {
        std::lock_guard slotGuard(slot->lock);
        Job* job = slot->job;
        if (job == nullptr || job->m_part != part || (article != nullptr && job->m_article != article))
            continue;
        job->MarkCancelled();
        slot->conn->Abort();
    }
}

void CNNTPManager::PutBack(RcPtr<Job> job) {
    std::lock_guard g(m_queueLock);
    RemoveFrom(m_active, job.get());
    ++job->m_retryCount;
    PushFront(std::move(job));
}

void CNNTPManager::EndWithoutData(Job& job, bool markFailed) {
    RcPtr<CDataSwap> store;
    if (!GetDataSwap(store) || !store->EndJobWithoutData(&job)) {
        job.m_resultCode = kResultNoConnection;
        if (markFailed) job.MarkFailed();
    }
}

bool CNNTPManager::OpenConnection(RcPtr<CNntpSocket>& conn, Job& job) {
    conn = RcPtr<CNntpSocket>(new (std::nothrow) CNntpSocket(this));
    if (!conn) return false;
    if (m_socketWaitMs > 0) conn->SetWaitTimeoutForTest(m_socketWaitMs);
    if (const std::int64_t preferred = job.m_preferredServer.load(); preferred >= 0) {
        conn->SetServerIndex(static_cast<std::size_t>(preferred));
    }
    if (conn->Open()) return true;
    // Without failover the unopened connection is kept and the fetch fails on it.
    if (!m_useNextServer) return true;
    CErrorNotifyPool::ReportConnectionError(job.m_notifyWindow, conn->Error());
    std::size_t attempts = 2 * GetServerCount();
    for (;;) {
        if (job.m_state.load() == StateCancelled || !conn->Retryable() || attempts == 0) {
            conn = RcPtr<CNntpSocket>();
            return false;
        }
        --attempts;
        m_stopEvent.Wait(m_retryDelayMs);
        conn->Close();
        conn->SetServerIndex(conn->ServerIndex() + 1);
        if (conn->Open()) return true;
        CErrorNotifyPool::ReportConnectionError(job.m_notifyWindow, conn->Error());
    }
}

bool CNNTPManager::Fetch(CNntpSocket& conn, Job& job) {
    if (!conn.Connected() || !conn.SessionReady()) {
        job.MarkFailed();
        return false;
    }
    const std::string group = GroupOfArticle(*job.m_part, *job.m_article).value_or("");
    const std::string messageId = job.m_article->m_messageId.value_or("");
    if (job.m_mode == ModeCheck) {
        const bool present = conn.StatArticle(group, messageId, &job);
        job.FlushReceived();
        if (!present) return false;
        DecodedSegment empty;
        empty.jobId = job.m_jobId;
        return OnSegmentData(conn.Group(), messageId, empty);
    }
    std::string_view article;
    const bool fetched = conn.FetchArticle(group, messageId, &job, &article);
    job.FlushReceived();
    if (!fetched) return false;
    TArticleJobInfo info;
    info.articleValid = job.m_article->m_valid;
    info.number = static_cast<std::uint32_t>(job.m_article->m_number);
    info.articleCount = static_cast<std::uint32_t>(job.m_part->m_articles.size());
    thread_local std::string work;
    t_fetchServer = conn.ServerIndex();
    return DecodeArticle(*this, work, conn.Group(), article, messageId, job.m_jobId, &info);
}

void CNNTPManager::ChannelLoop(ChannelSlot& slot) {
    for (;;) {
        if (CEvent::WaitAny(m_stopEvent, m_workEvent, kInfinite) != 1) return;
        RcPtr<CNntpSocket> conn;
        while (RcPtr<Job> job = GetNextJob()) {
            if (job->m_state.load() == StateCancelled) {
                {
                    std::lock_guard g(m_queueLock);
                    RemoveFrom(m_active, job.get());
                }
                EndWithoutData(*job, false);
                continue;
            }
            bool ok = true;
            if (!conn) ok = OpenConnection(conn, *job);
            if (job->m_state.load() == StateCancelled || (!ok && job->m_retryCount < kMaxPutBacks)) {
                PutBack(std::move(job));
                continue;
            }
            {
                std::lock_guard g(m_queueLock);
                RemoveFrom(m_active, job.get());
            }
            if (!ok) {
                job->MarkFailed();
                job->m_resultCode = kResultNoConnection;
            }
            job->m_phase = PhaseTaken;
            job->PostProgress(0);
            if (!ok) {
                EndWithoutData(*job, true);
                continue;
            }
            {
                std::lock_guard g(m_queueLock);
                m_awaitingData.push_back(job);
            }
            {
                std::lock_guard g(slot.lock);
                slot.job = job.get();
                slot.conn = conn.get();
            }
            // Cancelled between taking the job and now: CancelJobs could not see the slot yet.
            const bool fetched = job->m_state.load() != StateCancelled && Fetch(*conn, *job);
            {
                std::lock_guard g(slot.lock);
                slot.job = nullptr;
                slot.conn = nullptr;
            }
            if (!fetched) {
                const std::int32_t error = conn->Error();
                if (error == kNntpStatus430 || job->m_retryCount >= kMaxPutBacks) {
                    RcPtr<Job> taken = TakeAwaiting(job->m_jobId);
                    EndWithoutData(*job, true);
                } else {
                    TakeAwaiting(job->m_jobId);
                    PutBack(job);
                }
                // Only a missing article leaves the connection usable. The drop (and its QUIT)
                // happens without the queue lock.
                if (error != kNntpStatus430) conn = RcPtr<CNntpSocket>();
                continue;
            }
            // The decoder may hand nothing on (an empty yEnc block, for instance): such a job
            // ends without data instead of keeping its multipart waiting for ever.
            if (TakeAwaiting(job->m_jobId)) EndWithoutData(*job, false);
        }
        conn = RcPtr<CNntpSocket>();
    }
}

bool CNNTPManager::OnSegmentData(std::string_view /*group*/, std::string_view /*messageId*/,
                                 const DecodedSegment& segment) {
    RcPtr<Job> job = TakeAwaiting(segment.jobId);
    if (!job) return false;
    RcPtr<CDataSwap> store;
    if (!GetDataSwap(store)) {
        job->MarkFailed();
        return false;
    }
    // A copy whose size or CRC does not match its trailer counts as a failed fetch while attempts
    // remain (the next attempt asks the next server of the list); the last attempt's data is
    // kept, and the job is marked damaged.
    if (job->m_mode == ModeDownload && segment.trailerChecked &&
        (!segment.crcMatches || !segment.sizeMatches)) {
        if (job->m_retryCount < kMaxPutBacks) {
            job->m_preferredServer = static_cast<std::int64_t>(t_fetchServer + 1);
            return false;
        }
        job->m_damaged = true;
    }
    // A download that decoded to nothing has no data to store: it ends without data.
    const bool stored = job->m_mode == ModeDownload && segment.length == 0
                            ? store->EndJobWithoutData(job.get())
                            : store->StoreSegment(job.get(), segment);
    if (!stored) job->MarkFailed();
    return true;
}

bool CNNTPManager::OnTextArticle(std::string_view /*group*/, std::string_view /*messageId*/,
                                 std::string_view /*text*/, std::uint64_t jobId) {
    RcPtr<Job> job = TakeAwaiting(jobId);
    if (!job) return false;
    RcPtr<CDataSwap> store;
    if (GetDataSwap(store) && store->EndJobWithoutData(job.get())) return true;
    job->MarkFailed();
    return false;
}

int CNNTPManager::ProbeChannels(const std::function<void(int)>& show, int limit) {
    std::vector<RcPtr<CNntpSocket>> open;
    int i = 0;
    while (limit <= 0 || i != limit) {
        RcPtr<CNntpSocket> conn(new (std::nothrow) CNntpSocket(this));
        if (!conn) break;
        if (m_socketWaitMs > 0) conn->SetWaitTimeoutForTest(m_socketWaitMs);
        if (!conn->Open()) break;
        open.push_back(conn);
        ++i;
        if (show) show(i);
    }
    open.clear();  // each connection says QUIT as it goes
    return i;
}

std::vector<CNNTPManager::TQueued> CNNTPManager::QueueSnapshotForTest() {
    std::lock_guard g(m_queueLock);
    std::vector<TQueued> out;
    for (const auto& run : m_queue) {
        for (const auto& job : run.jobs)
            out.push_back(TQueued{job->m_part, job->m_article, job->m_mode});
    }
    return out;
}

bool GetNntpManager(RcPtr<CNNTPManager>& out) {
    std::lock_guard g(ManagerCreationLock());
    auto& manager = ProcessManager();
    if (!manager) manager = RcPtr<CNNTPManager>(new (std::nothrow) CNNTPManager());
    if (!manager) return false;
    out = manager;
    return true;
}

void ReleaseNntpManager() {
    RcPtr<CNNTPManager> old;
    {
        std::lock_guard g(ManagerCreationLock());
        old = std::move(ProcessManager());
        ProcessManager() = RcPtr<CNNTPManager>();
    }
    if (old) old->StopChannels();
}

}  // namespace quivern
