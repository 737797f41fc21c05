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
// uninit work first.  On a thread the object serves (see ServingThread) the
// destruction is deferred instead.
class RefCounted {
  public:
    virtual ~RefCounted() = default;

    void AddRef() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void Release() noexcept;
    int32_t RefCount() const noexcept { return refs_.load(std::memory_order_relaxed); }

  protected:
    RefCounted() = default;
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

  private:
    std::atomic<int32_t> refs_{1};
};

// Self-release.  A host callback may drop the last reference of the very
// object that calls it.  Destroying the object there would stop and wait for
// the thread the destructor runs on (std::terminate from a joinable thread)
// or free what the thread uses once the callback returns.  So a service
// marks its threads, or each call into the host, with a ServingThread for
// the object; the last Release on a marked thread writes an error line and
// hands the destruction to a thread of its own, whose destructor waits for
// the marked thread to leave the callback and stop, like any other release.
// To opt in, a service puts `ServingThread serving(this);` at the top of
// each thread body it runs (or around each host call on a thread it does
// not own) and stops its threads in its destructor.  Nestable; no locks.
class ServingThread {
  public:
    explicit ServingThread(const RefCounted* object) noexcept
        : object_(object), outer_(innermost_) {
        innermost_ = this;
    }
    ~ServingThread() { innermost_ = outer_; }
    ServingThread(const ServingThread&) = delete;
    ServingThread& operator=(const ServingThread&) = delete;

    // True on a thread marked for object.
    static bool Serves(const RefCounted* object) noexcept {
        for (const ServingThread* s = innermost_; s; s = s->outer_)
            if (s->object_ == object) return true;
        return false;
    }

  private:
    const RefCounted* object_;
    ServingThread* outer_;
    static inline thread_local ServingThread* innermost_ = nullptr;
};

// Runs destroy(object) on a new thread of its own.  False (with an error
// line saying the object is kept) when no thread can be started.
bool DestroyElsewhere(void (*destroy)(void*), void* object) noexcept;

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
