#pragma once
// One article job: created for every article a window asks the engine to download or to check.
// It carries what the engine needs to fetch the article and what the submitting window needs to
// follow it, and it reports to that window through three posted messages:
//
//   WM_APP+1  progress      wParam 0, lParam TConnectionResponseJobItem* from the record pool;
//                           the receiver copies it with TakeProgressRecord (which frees it).
//   WM_APP+2  errors        wParam last connection error (negative), lParam number aggregated.
//   WM_APP+3  file written  wParam TFileWrittenRecord* (receiver deletes it and releases its
//                           document), lParam the CNzbPart* (receiver releases it).
//
// Lifetime: reference counted; the channel and the segment store hold references. When the last
// one goes the job ends (phase 3) and announces a written file.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "nntp/nntp_socket.h"
#include "nzb/nzb_media.h"
#include "platform/refcounted.h"
#include "platform/window_messages.h"

namespace quivern {

inline constexpr std::uint32_t WM_JOB_PROGRESS = WM_APP + 1;
inline constexpr std::uint32_t WM_JOB_ERRORS = WM_APP + 2;
inline constexpr std::uint32_t WM_JOB_FILE_WRITTEN = WM_APP + 3;

enum JobPhase : std::int32_t { PhaseCreated = -1, PhaseTaken = 1, PhaseStored = 2, PhaseEnded = 3 };
enum JobState : std::int32_t { StateNormal = 0, StateFailed = 1, StateCancelled = 2 };
enum JobMode : std::uint8_t { ModeDownload = 0, ModeCheck = 1 };

// Result code of a job given up without a usable connection, or not ended properly in the store.
inline constexpr std::int32_t kResultNoConnection = -9;
// Result code of an article whose data was written although it did not match the size or CRC
// its yEnc trailer gives: no server had an intact copy (a damaged block costs a repair no more
// than a missing one).
inline constexpr std::int32_t kResultDamaged = 2;

// The event word of a progress message: byte count, state, phase, result code + 9, mode.
std::uint64_t PackEventWord(std::uint32_t bytes, std::int32_t state, std::int32_t phase, std::int32_t result,
                            std::uint8_t mode);
struct TEventWord {
    std::uint32_t bytes;
    std::int32_t state;
    std::int32_t phase;
    std::int32_t result;
    std::uint8_t mode;
};
TEventWord UnpackEventWord(std::uint64_t word);

struct TConnectionResponseJobItem {
    void* listItem = nullptr;
    CNzbArticle* article = nullptr;  // no reference held
    std::uint64_t eventWord = 0;
    std::uint8_t free = 1;  // guarded by the pool lock
};

// The receiver's side of the free-flag protocol: copies the record and gives it back to the pool.
struct TProgress {
    void* listItem;
    CNzbArticle* article;
    std::uint64_t eventWord;
};
TProgress TakeProgressRecord(LParam record);
// Number of record blocks the pool holds (for tests of its reuse rule).
std::size_t ProgressPoolBlockCount();

struct TFileWrittenRecord {
    CNzbMedia* media = nullptr;  // holds a reference
    std::string fileName;        // last component of the written path
    std::uint64_t size = 0;
};
// Frees the record and releases the references of a file-written message.
void FreeFileWrittenMessage(WParam wParam, LParam lParam);

// The string-table number of the text that explains a connection error code (shown after 30022).
std::uint32_t ConnectionErrorMessageId(std::int32_t code);

class CNNTPJobBase : public CEasyRCBase {};

class CNNTPJobDownload final : public CNNTPJobBase, public INntpReceiveObserver {
public:
    CNNTPJobDownload(CNzbMedia* media, CNzbPart* part, CNzbArticle* article, std::uint64_t jobId,
                     WindowHandle notifyWindow, void* listItem, std::uint8_t mode);
    // The job-end sequence: phase 3 and its progress, pending connection errors delivered, and
    // the written file announced.
    ~CNNTPJobDownload() override;

    // Posts the progress message with the current phase, state, result and mode, when the phase
    // is not -1 and both window and list item are set.
    void PostProgress(std::uint32_t bytes);

    // INntpReceiveObserver. Received chunks are gathered and posted at most every
    // kProgressIntervalMs per job, so the window gets progress at a bounded rate whatever the
    // speed; FlushReceived posts what is left (the channel calls it when the reply is complete).
    static constexpr std::uint64_t kProgressIntervalMs = 100;
    void OnReceived(std::size_t bytes) override;
    void FlushReceived();
    bool IsAvailabilityCheck() const override { return m_mode == ModeCheck; }
    std::uint32_t ArticleBytes() const override { return m_article->m_valid ? m_article->m_bytes : 0; }

    bool m_valid = false;
    const std::uint64_t m_jobId;
    CNzbMedia* const m_media;      // holds a reference
    CNzbPart* const m_part;        // holds a reference
    CNzbArticle* const m_article;  // holds a reference
    const WindowHandle m_notifyWindow;
    void* const m_listItem;
    const std::uint8_t m_mode;
    std::atomic<std::int32_t> m_phase{PhaseCreated};
    std::atomic<std::int32_t> m_state{StateNormal};
    std::atomic<std::int32_t> m_resultCode{0};
    std::int32_t m_retryCount = 0;  // under the manager's queue lock
    // The article arrived damaged on every attempt and was stored as it was.
    std::atomic<bool> m_damaged{false};
    // After a damaged copy the next attempt asks the next server of the list (-1: as usual).
    std::atomic<std::int64_t> m_preferredServer{-1};

    // Set by the segment store's writer on the job of a file's first segment.
    void SetResult(std::string path, std::uint64_t size);
    std::string ResultPath() const;
    std::uint64_t ResultSize() const;

    // A state once failed or cancelled is never reset.
    void MarkFailed();
    void MarkCancelled();

private:
    std::uint64_t m_pendingBytes = 0;  // channel thread only
    std::uint64_t m_lastChunkPostMs = 0;
    mutable std::mutex m_resultLock;
    std::string m_resultPath;
    std::uint64_t m_resultSize = 0;
};

// Connection failures gathered per window: a burst of failures of all channels serving one
// window becomes one WM_APP+2, delivered at the first report or job end more than 500 ms after
// the burst's last report.
class CErrorNotifyPool {
public:
    static void ReportConnectionError(WindowHandle window, std::int32_t error);
    static void FlushErrors();
    // Marks the window's entry as due (job end) and flushes.
    static void ForceDelivery(WindowHandle window);
    // The aggregation window; tests shorten it.
    static void SetDelayForTest(std::uint64_t milliseconds);
};

}  // namespace quivern
