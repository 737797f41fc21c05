#include "audio/fftplancache.h"

#include <atomic>
#include <map>
#include <mutex>
#include <utility>

namespace vemx::fftplancache {

namespace {

struct Entry {
    std::shared_ptr<const R2CPlan> plan;
    uint64_t last_use;
};

// Guards every call into FFTW's planner (plan creation and destruction).
// Constant-initialised, so plans destroyed at exit can still take it.
std::mutex g_planner;

struct Cache {
    // Guards entries and clock.  Never held while planning.
    std::mutex lock;
    std::map<std::pair<int, int>, Entry> entries;
    uint64_t clock = 0;
    std::atomic<uint64_t> created{0};
};

Cache& cache() {
    static Cache instance;
    return instance;
}

// Makes a plan on scratch arrays of the wanted alignment.  FFTW_ESTIMATE
// neither reads nor writes the arrays.
fftw_plan MakePlan(int n, int out_alignment) {
    const size_t bins = static_cast<size_t>(n) / 2 + 1;
    std::unique_ptr<double, decltype(&fftw_free)> in(fftw_alloc_real(static_cast<size_t>(n)),
                                                     &fftw_free);
    std::unique_ptr<char, decltype(&fftw_free)> out_raw(
        static_cast<char*>(fftw_malloc(bins * sizeof(fftw_complex) + 64)), &fftw_free);
    if (!in || !out_raw) return nullptr;
    auto* out = reinterpret_cast<fftw_complex*>(out_raw.get() + out_alignment);
    std::lock_guard guard(g_planner);
    return fftw_plan_dft_r2c_1d(n, in.get(), out, FFTW_ESTIMATE);
}

}  // namespace

R2CPlan::~R2CPlan() {
    std::lock_guard guard(g_planner);
    fftw_destroy_plan(plan_);
}

std::shared_ptr<const R2CPlan> AcquireR2C(int n, int out_alignment) {
    Cache& c = cache();
    const std::pair key{n, out_alignment};
    {
        std::lock_guard guard(c.lock);
        auto it = c.entries.find(key);
        if (it != c.entries.end()) {
            it->second.last_use = ++c.clock;
            return it->second.plan;
        }
    }

    fftw_plan raw = MakePlan(n, out_alignment);
    if (!raw) return nullptr;
    c.created.fetch_add(1, std::memory_order_relaxed);
    auto plan = std::make_shared<const R2CPlan>(raw, n, out_alignment);

    // Plans leaving the cache are destroyed after the lock is dropped: their
    // destructor takes the planner lock.
    std::shared_ptr<const R2CPlan> evicted;
    std::lock_guard guard(c.lock);
    auto [it, inserted] = c.entries.try_emplace(key, Entry{plan, ++c.clock});
    if (!inserted) {
        // Another thread planned the same size meanwhile; use its plan.
        it->second.last_use = c.clock;
        evicted = std::move(plan);
        return it->second.plan;
    }
    if (c.entries.size() > kCapacity) {
        auto oldest = c.entries.begin();
        for (auto e = c.entries.begin(); e != c.entries.end(); ++e)
            if (e->second.last_use < oldest->second.last_use) oldest = e;
        evicted = std::move(oldest->second.plan);
        c.entries.erase(oldest);
    }
    return plan;
}

uint64_t PlansCreated() noexcept {
    return cache().created.load(std::memory_order_relaxed);
}

size_t CachedPlans() noexcept {
    std::lock_guard guard(cache().lock);
    return cache().entries.size();
}

}  // namespace vemx::fftplancache
