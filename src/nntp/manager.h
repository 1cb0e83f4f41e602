#pragma once
// The process-wide NNTP engine: the server list (inherited), a queue of article jobs and a fixed
// set of channel threads, each keeping at most one connection and taking jobs one at a time.
// Windows submit the articles of files (or single articles) for download or for an availability
// check; decoded data goes through the engine to the segment store, and progress and errors go to
// the submitting window as posted messages.
//
// Locks: m_queueLock guards the queue, the active and awaiting lists and the job id counter; it is
// taken before the segment store's lock, never after. A dropped connection says QUIT outside the
// queue lock, so one failing channel never stalls the others.
//
// The queue is kept as runs of jobs of one document, file and mode; a batch of submissions
// (tracked by an InsertCursor) keeps its jobs together in submission order, a new batch goes to
// the front, a download batch never splits the run of jobs of the file at the front, and the
// files of one document follow each other.

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "nntp/decode/article_decoder.h"
#include "nntp/job.h"
#include "nntp/nntp_callback.h"
#include "nntp/nntp_socket.h"
#include "platform/sync.h"

namespace quivern {

class INNTPManagerCB {
public:
    // Called for every job put into the queue, while the engine holds its queue lock: it must not
    // call back into the engine.
    virtual void ArticleQueued(void* listItem, CNzbArticle* article) = 0;

protected:
    ~INNTPManagerCB() = default;
};

// The document and file of the job a caller inserted last, for one batch of submissions.
struct InsertCursor {
    RcPtr<CNzbMedia> media;
    RcPtr<CNzbPart> part;
};

class CNNTPManager final : public CNntpCallback, public IArticleSink {
public:
    CNNTPManager();

    // Mode ModeDownload or ModeCheck. With an article, queues that one article (true when it is
    // queued or already had a job); without, every article of the file that has no job yet (true
    // when at least one was queued).
    bool QueueJobs(CNzbMedia* media, CNzbPart* part, CNzbArticle* article, WindowHandle window,
                   void* listItem, INNTPManagerCB* callback, std::uint8_t mode, InsertCursor& cursor);
    // Marks jobs cancelled: with an article the first waiting and the first active job of it,
    // without every job of the file. The channels end them. An article of the file being
    // fetched at that moment is cancelled too and its connection aborted, so a stalled server
    // cannot hold the cancellation up.
    void CancelJobs(const CNzbPart* part, const CNzbArticle* article);

    // Opens connections one after another until one fails or `limit` (<= 0: none) is reached;
    // `show` is told each count. All are closed again; returns the count.
    int ProbeChannels(const std::function<void(int)>& show, int limit);

    // Decoder hand-offs, on the channel thread.
    bool OnSegmentData(std::string_view group, std::string_view messageId,
                       const DecodedSegment& segment) override;
    bool OnTextArticle(std::string_view group, std::string_view messageId, std::string_view text,
                       std::uint64_t jobId) override;

    // Stops the channel threads (each finishes the queue first unless the jobs are cancelled).
    void StopChannels();

    // Tests: the queue in order, as (file, article, mode).
    struct TQueued {
        const CNzbPart* part;
        const CNzbArticle* article;
        std::uint8_t mode;
    };
    std::vector<TQueued> QueueSnapshotForTest();
    // Tests: the pause between connection attempts (3000 ms) and the socket waits.
    void SetRetryDelayForTest(std::uint32_t milliseconds) { m_retryDelayMs = milliseconds; }
    void SetSocketWaitForTest(int milliseconds) { m_socketWaitMs = milliseconds; }
    // Tests: while held, channels take no job (the queue can be inspected as it was built).
    void HoldChannelsForTest(bool hold) {
        m_holdForTest = hold;
        if (!hold) m_workEvent.Set();
    }

protected:
    ~CNNTPManager() override;

private:
    using Job = CNNTPJobDownload;
    struct Run {
        std::uint64_t id;
        CNzbMedia* media;  // the jobs hold the references
        CNzbPart* part;
        std::uint8_t mode;
        std::deque<RcPtr<Job>> jobs;
    };
    using RunList = std::list<Run>;
    // What each channel is fetching, so that cancelling can abort a fetch under way. A channel
    // sets its slot before a fetch and clears it before it drops the connection.
    struct ChannelSlot {
        std::mutex lock;
        Job* job = nullptr;
        CNntpSocket* conn = nullptr;
    };

    bool StartChannels();
    void InsertJob(RcPtr<Job> job, InsertCursor& cursor);
    RunList::iterator NewRunBefore(RunList::iterator pos, const RcPtr<Job>& job);
    void PushFront(RcPtr<Job> job);
    RcPtr<Job> GetNextJob();
    void RemoveFrom(std::vector<RcPtr<Job>>& list, const Job* job);
    RcPtr<Job> TakeAwaiting(std::uint64_t jobId);
    void ChannelLoop(ChannelSlot& slot);
    bool OpenConnection(RcPtr<CNntpSocket>& conn, Job& job);
    bool Fetch(CNntpSocket& conn, Job& job);
    void EndWithoutData(Job& job, bool markFailed);
    void PutBack(RcPtr<Job> job);

    std::vector<std::unique_ptr<ChannelSlot>> m_slots;  // fixed while the channels run

    CCriticalSection m_queueLock;
    bool m_started = false;
    std::uint64_t m_nextJobId = 0;
    std::uint64_t m_nextRunId = 0;
    std::vector<std::unique_ptr<CThread>> m_threads;
    bool m_useNextServer = true;
    RunList m_queue;
    std::unordered_map<std::uint64_t, RunList::iterator> m_runById;
    std::vector<RcPtr<Job>> m_active;
    std::vector<RcPtr<Job>> m_awaitingData;
    CEvent m_stopEvent{true, false};
    CEvent m_workEvent{false, false};
    std::uint32_t m_retryDelayMs = 3000;
    int m_socketWaitMs = 0;  // 0: the connection's default
    std::atomic<bool> m_holdForTest{false};
};

// The process-wide engine, created on first use; the caller gets a reference of its own.
bool GetNntpManager(RcPtr<CNNTPManager>& out);
// Stops the channels and drops the process's reference (end of the process, or a test).
void ReleaseNntpManager();

}  // namespace quivern
