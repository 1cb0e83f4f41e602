#include "postproc/progress.h"

namespace quivern {

void CPostProcContext::PostString(ProgCode code, std::string_view text) const {
    auto* copy = new std::string(text);
    if (!PostMessageTo(m_window, WM_POSTPROC_PROGRESS, code, reinterpret_cast<LParam>(copy))) delete copy;
}

void CPostProcContext::PostFile(std::string_view text) const {
    PostString(ProgFile, text);
}

void CPostProcContext::PostStatus(std::uint32_t stringId) const {
    PostMessageTo(m_window, WM_POSTPROC_PROGRESS, ProgStatus, static_cast<LParam>(stringId));
}

void CPostProcContext::PostPermille(std::uint32_t permille) {
    const int value = permille > 1000 ? 1000 : static_cast<int>(permille);
    if (value == m_lastPermille) return;
    m_lastPermille = value;
    PostMessageTo(m_window, WM_POSTPROC_PROGRESS, ProgPermille, value);
}

void CPostProcContext::PostMessage(std::uint32_t stringId) const {
    PostMessageTo(m_window, WM_POSTPROC_PROGRESS, ProgMessage, static_cast<LParam>(stringId));
}

void CPostProcContext::PostNeedBlocks(std::uint32_t count) const {
    PostMessageTo(m_window, WM_POSTPROC_PROGRESS, ProgNeedBlocks, static_cast<LParam>(count));
}

void CPostProcContext::PostJobStart(std::string_view nzbPath) const {
    PostString(ProgJob, nzbPath);
}

void CPostProcContext::PostJobEnd(bool success) const {
    PostMessageTo(m_window, WM_POSTPROC_PROGRESS, ProgJob, success ? 1 : 0);
}

}  // namespace quivern
