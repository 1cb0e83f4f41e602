#pragma once
// What a post-processing step needs of the pipeline that runs it: the window that shows the
// progress, the cancel flag, the delete list of the running job, and the password prompt.
//
// Steps run on the pipeline's worker thread and report only through WM_APP+1 messages posted to
// the window, with wParam one of the ProgCode values. String payloads are heap copies
// (std::string*) that the receiver frees; when posting fails the sender frees them.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/window_messages.h"

namespace quivern {

inline constexpr std::uint32_t WM_POSTPROC_PROGRESS = WM_APP + 1;

enum ProgCode : WParam {
    ProgJob = 0,         // lParam: std::string* NZB path (job starts), or 0/1 (job ended: failure/success)
    ProgFile = 1,        // lParam: std::string* current file
    ProgStatus = 2,      // lParam: string-table number of the step under way
    ProgPermille = 3,    // lParam: 0..1000
    ProgMessage = 4,     // lParam: string-table number of the last message
    ProgNeedBlocks = 5,  // lParam: number of missing recovery blocks
    ProgPassword = 6,    // handled synchronously through CPostProcContext::askPassword
};

class CPostProcContext {
public:
    explicit CPostProcContext(WindowHandle window = 0) : m_window(window) {}
    CPostProcContext(const CPostProcContext&) = delete;
    CPostProcContext& operator=(const CPostProcContext&) = delete;

    WindowHandle Window() const { return m_window; }

    // Set by the interface thread to stop the running step; steps test it between units of work.
    std::atomic<bool> m_cancel{false};
    bool Cancelled() const { return m_cancel.load(std::memory_order_relaxed); }

    // The running job's automatic deletion: files to delete when every step succeeded.
    bool m_autoDeleteCurrent = false;
    std::vector<std::string> m_deleteList;

    // Asks the user for an archive password and waits for the answer (the prompt runs on the
    // interface thread). Returns false on Cancel, or when no prompt is available.
    std::function<bool(std::string& password)> m_askPassword;

    void PostFile(std::string_view text) const;
    void PostStatus(std::uint32_t stringId) const;
    // Posts only when the value differs from the last one posted (values above 1000 count as 1000).
    void PostPermille(std::uint32_t permille);
    void ResetPermille() { m_lastPermille = -1; }
    void PostMessage(std::uint32_t stringId) const;
    void PostNeedBlocks(std::uint32_t count) const;
    void PostJobStart(std::string_view nzbPath) const;
    void PostJobEnd(bool success) const;

private:
    void PostString(ProgCode code, std::string_view text) const;
    WindowHandle m_window;
    int m_lastPermille = -1;
};

}  // namespace quivern
