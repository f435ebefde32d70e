#pragma once
// Owning holder for WFAPI handles and WFAPI-allocated buffers.
#include <utility>

namespace OxeUtils {

// Owns at most one handle of pointer type T and releases it with Deleter, a stateless
// callable (a lambda written where the holder is declared). A null handle owns nothing
// and is never passed to the deleter. WFAPI calls that produce a handle or a buffer
// write it straight into the holder through addressOf().
template <typename T, typename Deleter>
class OxeAutoHandle {
public:
    OxeAutoHandle(T handle, Deleter deleter) : m_handle(handle), m_deleter(deleter) {}
    OxeAutoHandle(OxeAutoHandle&& other) noexcept
        : m_handle(other.m_handle), m_deleter(std::move(other.m_deleter)) {
        other.m_handle = nullptr;
    }
    OxeAutoHandle(const OxeAutoHandle&) = delete;
    OxeAutoHandle& operator=(const OxeAutoHandle&) = delete;
    OxeAutoHandle& operator=(OxeAutoHandle&&) = delete;

    virtual ~OxeAutoHandle() { reset(); }

    T get() const { return m_handle; }
    T* addressOf() { return &m_handle; }

    void reset() {
        if (m_handle != nullptr) {
            T handle = m_handle;
            m_handle = nullptr;
            m_deleter(handle);
        }
    }

private:
    T m_handle;
    Deleter m_deleter;
};

template <typename T, typename Deleter>
OxeAutoHandle<T, Deleter> makeAutoHandle(T handle, Deleter deleter) {
    return OxeAutoHandle<T, Deleter>(handle, deleter);
}

}  // namespace OxeUtils
