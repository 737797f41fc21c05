#pragma once
// Real-to-complex FFTW plans kept per transform size, shared by every thread.
//
// FFTW's planner is not thread-safe, and planning costs about a dozen
// executions, so plans are made once under one lock and then executed
// concurrently with FFTW's new-array functions.  A plan made with
// FFTW_ESTIMATE depends only on the size and on the alignment of its arrays;
// keying the cache on both keeps the results identical to planning per call.
#include <fftw3.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vemx::fftplancache {

class R2CPlan {
  public:
    R2CPlan(fftw_plan plan, int n, int out_alignment) noexcept
        : plan_(plan), n_(n), out_alignment_(out_alignment) {}
    ~R2CPlan();
    R2CPlan(const R2CPlan&) = delete;
    R2CPlan& operator=(const R2CPlan&) = delete;

    // in: n doubles from fftw_malloc; out: n / 2 + 1 complex values whose
    // fftw_alignment_of equals the alignment the plan was made for.
    void Execute(double* in, fftw_complex* out) const noexcept {
        fftw_execute_dft_r2c(plan_, in, out);
    }
    int n() const noexcept { return n_; }
    int out_alignment() const noexcept { return out_alignment_; }

  private:
    fftw_plan plan_;
    int n_;
    int out_alignment_;
};

// The plan for an n-point transform (n > 0) from an fftw_malloc'd input to
// an output of the given fftw_alignment_of.  Holding the pointer keeps the
// plan alive even if the cache drops it.  Null only if FFTW cannot plan.
std::shared_ptr<const R2CPlan> AcquireR2C(int n, int out_alignment);

// At most this many plans are kept; the least recently used goes first.
inline constexpr size_t kCapacity = 64;

// For tests and diagnostics: plans made since the process started, and
// plans in the cache now.
uint64_t PlansCreated() noexcept;
size_t CachedPlans() noexcept;

}  // namespace vemx::fftplancache
