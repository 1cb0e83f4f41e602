#pragma once
// The automatic verify, repair and unpack pipeline: a queue of jobs (one per NZB document) and
// the idle-priority worker that runs them one at a time, in the order they were added.
//
// Each job runs three steps, each only after the previous one succeeded: joining split files,
// verification and repair with the job's PAR2/PAR file, and extraction of its RAR archive. The
// worker talks to the progress window only through WM_APP+1 messages (see progress.h); the
// window's side of them is kept here too (HandleProgress), so the dialog only draws it.
//
// Extraction is reached through m_extractArchive, which is ExtractArchive (postproc/rar/extract.h)
// unless a test puts another step in its place before the first job is added.
//
// Threads: AddJob, Cancel, StopWorker and HandleProgress belong to the interface thread; the
// steps run on the worker. m_lock guards the queue and m_busy only; it is never held while a
// step runs. m_cancel is written by the interface thread and read by the steps without a lock.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>

#include "platform/refcounted.h"
#include "platform/sync.h"
#include "platform/window_messages.h"
#include "postproc/par_repair.h"
#include "postproc/progress.h"

namespace quivern {

class CSavedOptions;

class CAutoProgressNotify {
public:
    class CAutoJob : public CEasyRCBase {
    public:
        std::string m_nzbPath;
        std::string m_parPath;  // empty for a job that only unpacks
        std::string m_rarPath;  // may be empty; the joining step may set it
        bool m_autoDelete = false;
    };

    using ExtractStep = std::function<bool(const std::string& rarPath, const std::string& nzbPath,
                                           CPostProcContext& ctx, CSavedOptions* options)>;

    // `window` receives the progress messages; `options` (may be null) gives AutoDelete and the
    // subfolder rule and must outlive this object.
    CAutoProgressNotify(WindowHandle window, CSavedOptions* options);
    // Stops the worker (the running step is cancelled).
    ~CAutoProgressNotify();
    CAutoProgressNotify(const CAutoProgressNotify&) = delete;
    CAutoProgressNotify& operator=(const CAutoProgressNotify&) = delete;

    // False when the NZB path is empty, both other paths are empty, or the worker cannot start.
    bool AddJob(const std::string& nzbPath, const std::string& parPath, const std::string& rarPath);
    // "Break process": stops the worker (the running job ends as failed) and drops waiting jobs.
    void Cancel();
    // Sets m_cancel, asks the worker to end and waits for it without limit.
    void StopWorker();

    bool WorkerRunning() const { return m_workerThread.Running(); }
    bool Busy();
    std::size_t QueueLength();
    // True while a job is running or waiting (the question before breaking is asked only then).
    bool HasWork();

    CPostProcContext& Context() { return m_ctx; }

    ExtractStep m_extractArchive;
    TParEngineSettings m_parEngine;

    // --- The progress window's side: call for every WM_APP+1 message on the interface thread.
    // Frees the heap strings the message carries.
    void HandleProgress(WParam wParam, LParam lParam);

    std::int32_t m_errorCount = 0;                // failed jobs since the worker was started
    std::map<std::string, std::string> m_errors;  // job name -> last error text ("" without)
    std::string m_currentJobName;
    std::string m_statusText;
    std::string m_currentFileText;
    std::string m_percentText;
    std::string m_lastErrorText;
    std::string m_queueText;
    std::uint32_t m_progress = 0;     // 0..1000
    bool m_showErrorsButton = false;  // "View occurred errors >>"
    bool m_signalError = false;       // the error icon blinks

private:
    void WorkerLoop();
    void RunJob(CAutoJob& job);
    void UpdateQueueText();

    CSavedOptions* m_options;
    CPostProcContext m_ctx;
    CCriticalSection m_lock;
    CEvent m_stopEvent{false, false};
    CEvent m_workEvent{false, false};
    std::deque<CAutoJob*> m_queue;  // each holds one reference
    bool m_busy = false;
    CThread m_workerThread;
};

// Formats a string-table text with one number in place of its "%d" (or "%u").
std::string FormatNumberMessage(std::uint32_t stringId, long long value);

}  // namespace quivern
