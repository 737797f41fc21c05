#pragma once
// The handle and reference-count lifecycle shared by the exported families,
// and the guard that keeps exceptions from crossing the C boundary.
#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include "frame/error.h"
#include "frame/log.h"

namespace vemx::frame {

// Base of every counted service object.  The count starts at 1; the release
// that brings it to 0 runs the virtual destructor, which does the family's
// uninit work first.
class RefCounted {
  public:
    virtual ~RefCounted() = default;

    void AddRef() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void Release() noexcept {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
    int32_t RefCount() const noexcept { return refs_.load(std::memory_order_relaxed); }

  protected:
    RefCounted() = default;
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

  private:
    std::atomic<int32_t> refs_{1};
};

// A handle is the address of the RefCounted base.
inline void* ToHandle(RefCounted* object) noexcept {
    return object;
}

template <class T>
T* FromHandle(void* handle) noexcept {
    return static_cast<T*>(static_cast<RefCounted*>(handle));
}

// Creates a T for a *_new export: null when it cannot be built.
template <class T, class... Args>
void* NewHandle(Args&&... args) noexcept {
    try {
        return ToHandle(new T(std::forward<Args>(args)...));
    } catch (...) {
        return nullptr;
    }
}

inline void AddRefHandle(void* handle) noexcept {
    if (handle) static_cast<RefCounted*>(handle)->AddRef();
}
inline void ReleaseHandle(void* handle) noexcept {
    if (handle) static_cast<RefCounted*>(handle)->Release();
}

// Runs an export's body.  A ComError was reported where it was raised, so it
// only turns into the fallback result; anything else is unexpected and gets a
// line naming the export.
template <class R, class F>
R Guarded(const char* export_name, R fallback, F&& body) noexcept {
    try {
        return body();
    } catch (const ComError&) {
    } catch (const std::exception& e) {
        LogPrint("ERROR[vemx] ", "%s: %s", export_name, e.what());
    } catch (...) {
        LogPrint("ERROR[vemx] ", "%s: unknown exception", export_name);
    }
    return fallback;
}

template <class F>
void Guarded(const char* export_name, F&& body) noexcept {
    try {
        body();
    } catch (const ComError&) {
    } catch (const std::exception& e) {
        LogPrint("ERROR[vemx] ", "%s: %s", export_name, e.what());
    } catch (...) {
        LogPrint("ERROR[vemx] ", "%s: unknown exception", export_name);
    }
}

}  // namespace vemx::frame

// Marks a function as part of the library's exported C interface.
#define VEMX_EXPORT extern "C" __attribute__((visibility("default")))
