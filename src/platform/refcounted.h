#pragma once
// Intrusive, atomic reference counting shared by every object that crosses threads.
// A new object starts at 0; its creator takes the first reference with AddRef().

#include <atomic>
#include <cstdint>
#include <utility>

namespace quivern {

// Status returned by QueryInterface: no interfaces are ever handed out.
inline constexpr std::int32_t kENotImpl = static_cast<std::int32_t>(0x80004001u);

class CEasyRCBase {
public:
    CEasyRCBase() = default;
    CEasyRCBase(const CEasyRCBase&) = delete;
    CEasyRCBase& operator=(const CEasyRCBase&) = delete;

    virtual std::int32_t QueryInterface(const void* /*iid*/, void** out) {
        if (out != nullptr) *out = nullptr;
        return kENotImpl;
    }
    virtual std::int32_t AddRef() { return m_refCount.fetch_add(1, std::memory_order_relaxed) + 1; }
    virtual std::int32_t Release() {
        const std::int32_t left = m_refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }
    virtual ~CEasyRCBase() = default;

    std::int32_t RefCountForTest() const { return m_refCount.load(); }

private:
    std::atomic<std::int32_t> m_refCount{0};
};

// Holds one reference for its lifetime; the smart-pointer face of AddRef/Release.
template <class T>
class RcPtr {
public:
    RcPtr() = default;
    explicit RcPtr(T* p) : m_p(p) {
        if (m_p) m_p->AddRef();
    }
    // Takes over a reference the caller already owns.
    static RcPtr Adopt(T* p) {
        RcPtr r;
        r.m_p = p;
        return r;
    }
    RcPtr(const RcPtr& o) : RcPtr(o.m_p) {}
    RcPtr(RcPtr&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    RcPtr& operator=(RcPtr o) noexcept {
        std::swap(m_p, o.m_p);
        return *this;
    }
    ~RcPtr() {
        if (m_p) m_p->Release();
    }
    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    T& operator*() const { return *m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    // Gives the reference to the caller (for example to post it in a message).
    T* Detach() { return std::exchange(m_p, nullptr); }

private:
    T* m_p = nullptr;
};

}  // namespace quivern
