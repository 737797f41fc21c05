#pragma once
// Kernel-backed waitable objects.  Each is an eventfd, so any of them can be
// waited on together with other descriptors (sockets, message queues) in one
// poll, which is what the services need in place of WaitForMultipleObjects.
#include <chrono>
#include <cstdint>
#include <span>

namespace vemx::platform {

class Waitable {
  public:
    Waitable(const Waitable&) = delete;
    Waitable& operator=(const Waitable&) = delete;
    virtual ~Waitable();

    int fd() const noexcept { return fd_; }

    // Called after poll reported the descriptor readable: takes the signal
    // (for auto-reset kinds) and says whether the wait is satisfied.
    virtual bool try_acquire() noexcept = 0;

  protected:
    explicit Waitable(int fd) noexcept : fd_(fd) {}
    int fd_;
};

// Auto-reset events release one waiter and clear; manual-reset events stay
// signalled until reset().
class Event final : public Waitable {
  public:
    explicit Event(bool manual_reset = false, bool initially_set = false);
    void set() noexcept;
    void reset() noexcept;
    bool try_acquire() noexcept override;

  private:
    bool manual_;
};

class Semaphore final : public Waitable {
  public:
    explicit Semaphore(uint32_t initial = 0);
    void release(uint32_t count = 1) noexcept;
    bool try_acquire() noexcept override;
};

using Timeout = std::chrono::nanoseconds;
inline constexpr Timeout kInfinite = Timeout::max();

inline constexpr int kWaitTimeout = -1;
inline constexpr int kWaitFailed = -2;  // errno holds the cause

// Waits until one of the objects is signalled and acquires it.  Returns its
// index (the lowest one when several are ready), kWaitTimeout or kWaitFailed.
int wait_any(std::span<Waitable* const> objects, Timeout timeout = kInfinite);

// Single-object convenience: true when acquired, false on timeout or failure.
bool wait_one(Waitable& object, Timeout timeout = kInfinite);

}  // namespace vemx::platform
