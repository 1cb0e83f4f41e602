#include "postproc/pipeline.h"

#include "postproc/rar/extract.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <system_error>

#include "config/saved_options.h"
#include "platform/paths.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "postproc/file_choice.h"
#include "postproc/join.h"
#include "postproc/messages.h"

namespace quivern {

namespace fs = std::filesystem;

std::string FormatNumberMessage(std::uint32_t stringId, long long value) {
    std::string text = LoadString(stringId);
    for (const char* token : {"%d", "%u", "%i"}) {
        const auto pos = text.find(token);
        if (pos != std::string::npos) {
            text.replace(pos, 2, std::to_string(value));
            break;
        }
    }
    return text;
}

CAutoProgressNotify::CAutoProgressNotify(WindowHandle window, CSavedOptions* options)
    : m_extractArchive(ExtractArchive), m_options(options), m_ctx(window) {}

CAutoProgressNotify::~CAutoProgressNotify() {
    StopWorker();
    std::lock_guard guard(m_lock);
    for (CAutoJob* job : m_queue)
        job->Release();
    m_queue.clear();
}

bool CAutoProgressNotify::AddJob(const std::string& nzbPath, const std::string& parPath,
                                 const std::string& rarPath) {
    if (nzbPath.empty() || (parPath.empty() && rarPath.empty())) return false;
    if (!m_workerThread.Running()) {
        {
            std::lock_guard guard(m_lock);
            m_busy = false;
        }
        m_ctx.m_cancel = false;
        m_errorCount = 0;
        if (!m_workerThread.Start([this] { WorkerLoop(); }, ThreadPriority::Idle)) return false;
    }
    std::lock_guard guard(m_lock);
    auto* job = new CAutoJob;
    job->AddRef();
    job->m_nzbPath = nzbPath;
    job->m_parPath = parPath;
    job->m_rarPath = rarPath;
    job->m_autoDelete = m_options != nullptr && m_options->m_autoDelete;
    m_signalError = false;
    m_queue.push_back(job);
    UpdateQueueText();
    m_showErrorsButton = false;
    m_workEvent.Set();
    return true;
}

void CAutoProgressNotify::UpdateQueueText() {
    m_queueText = m_queue.empty()
                      ? LoadString(kStrQueueEmpty)
                      : FormatNumberMessage(kStrQueueCount, static_cast<long long>(m_queue.size()));
}

void CAutoProgressNotify::StopWorker() {
    if (!m_workerThread.Running()) return;
    m_ctx.m_cancel = true;
    m_stopEvent.Set();
    m_workerThread.Join();
    {
        std::lock_guard guard(m_lock);
        m_busy = false;
    }
    m_ctx.m_cancel = false;
    // A stop request the worker never consumed must not end the next worker at once.
    m_stopEvent.Reset();
}

void CAutoProgressNotify::Cancel() {
    StopWorker();
    std::lock_guard guard(m_lock);
    for (CAutoJob* job : m_queue)
        job->Release();
    m_queue.clear();
    m_signalError = false;
}

bool CAutoProgressNotify::Busy() {
    std::lock_guard guard(m_lock);
    return m_busy;
}

std::size_t CAutoProgressNotify::QueueLength() {
    std::lock_guard guard(m_lock);
    return m_queue.size();
}

bool CAutoProgressNotify::HasWork() {
    std::lock_guard guard(m_lock);
    return m_busy || !m_queue.empty();
}

void CAutoProgressNotify::WorkerLoop() {
    for (;;) {
        if (CEvent::WaitAny(m_stopEvent, m_workEvent, kInfinite) != 1) return;
        CAutoJob* job = nullptr;
        {
            std::lock_guard guard(m_lock);
            if (!m_queue.empty()) {
                job = m_queue.front();
                m_queue.pop_front();
                m_busy = true;
            }
        }
        if (job != nullptr) {
            RunJob(*job);
        }
        {
            std::lock_guard guard(m_lock);
            if (!m_queue.empty())
                m_workEvent.Set();
            else
                m_busy = false;
        }
        if (job != nullptr) job->Release();
    }
}

void CAutoProgressNotify::RunJob(CAutoJob& job) {
    m_ctx.m_autoDeleteCurrent = job.m_autoDelete;
    m_ctx.m_deleteList.clear();
    m_ctx.ResetPermille();
    m_ctx.PostJobStart(job.m_nzbPath);

    if (m_ctx.m_autoDeleteCurrent && !job.m_parPath.empty()) {
        const std::string_view ext = FileExtension(job.m_parPath);
        std::error_code ec;
        for (fs::directory_iterator it(FolderOf(job.m_parPath), ec), end; !ec && it != end;
             it.increment(ec)) {
            std::error_code statEc;
            if (it->is_directory(statEc)) continue;
            const std::string name = it->path().filename().string();
            if (!ext.empty() && EqualsIgnoreAsciiCase(FileExtension(name), ext))
                m_ctx.m_deleteList.push_back(it->path().string());
        }
    }

    TJoinResult joined;
    bool ok = JoinSplitFiles(job.m_nzbPath, job.m_parPath, job.m_rarPath, m_ctx, m_options, &joined);
    if (ok) {
        std::vector<std::string> repaired;
        ok = VerifyAndRepair(job.m_parPath, m_ctx, m_parEngine, &repaired);
        // The set may cover the parts rather than the whole file: then the whole file was made
        // from the damaged parts before the repair, and must be made again from mended ones.
        if (ok && joined.m_joined && !repaired.empty()) {
            const bool partRepaired =
                std::any_of(repaired.begin(), repaired.end(), [&](const std::string& p) {
                    if (SplitPartNumber(std::string(FileNamePart(p))) < 0) return false;
                    const std::string_view ext = FileExtension(p);
                    return EqualsIgnoreCase(std::string_view(p).substr(0, p.size() - ext.size()),
                                            joined.m_target);
                });
            if (partRepaired) ok = RejoinSplitFiles(joined, job.m_rarPath, m_ctx);
        }
    }
    if (ok)
        ok = m_extractArchive ? m_extractArchive(job.m_rarPath, job.m_nzbPath, m_ctx, m_options)
                              : ExtractArchive(job.m_rarPath, job.m_nzbPath, m_ctx, m_options);
    if (ok && m_ctx.m_autoDeleteCurrent) {
        for (const std::string& path : m_ctx.m_deleteList)
            ::unlink(path.c_str());
    }
    m_ctx.m_deleteList.clear();
    m_ctx.m_autoDeleteCurrent = false;
    m_ctx.PostJobEnd(ok);
}

void CAutoProgressNotify::HandleProgress(WParam wParam, LParam lParam) {
    switch (wParam) {
        case ProgJob:
            if (lParam != 0 && lParam != 1) {
                std::unique_ptr<std::string> path(reinterpret_cast<std::string*>(lParam));
                m_currentJobName = std::string(FileNamePart(*path));
                m_errors[m_currentJobName].clear();
                m_progress = 0;
                m_percentText.clear();
                m_lastErrorText = LoadString(kStrNoError);
                m_statusText.clear();
                m_signalError = false;
                {
                    std::lock_guard guard(m_lock);
                    UpdateQueueText();
                }
                m_currentFileText.clear();
            } else {
                if (lParam == 0) {
                    ++m_errorCount;
                    m_signalError = true;
                }
                m_statusText = LoadString(kStrAllDone);
                if (m_errorCount > 0) m_statusText += FormatNumberMessage(kStrErrorCount, m_errorCount);
                {
                    std::lock_guard guard(m_lock);
                    if (m_queue.empty() && m_errorCount > 0) m_showErrorsButton = true;
                }
                m_currentFileText.clear();
            }
            break;
        case ProgFile: {
            std::unique_ptr<std::string> text(reinterpret_cast<std::string*>(lParam));
            if (text) m_currentFileText = *text;
            break;
        }
        case ProgStatus:
            m_statusText = LoadString(static_cast<std::uint32_t>(lParam));
            break;
        case ProgPermille: {
            const auto value =
                static_cast<std::uint32_t>(std::min<LParam>(std::max<LParam>(lParam, 0), 1000));
            m_progress = value;
            m_percentText = std::to_string(value / 10) + "." + std::to_string(value % 10) + "%";
            break;
        }
        case ProgMessage: {
            const auto id = static_cast<std::uint32_t>(lParam);
            m_lastErrorText = LoadString(id);
            if (id != kStrSuccess && id != kStrUnpacked) m_errors[m_currentJobName] = m_lastErrorText;
            break;
        }
        case ProgNeedBlocks:
            m_lastErrorText = FormatNumberMessage(kStrNeedBlocks, static_cast<long long>(lParam));
            m_errors[m_currentJobName] = m_lastErrorText;
            break;
        default:
            break;
    }
}

}  // namespace quivern
