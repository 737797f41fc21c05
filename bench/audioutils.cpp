// Audio utilities: gain throughput beside memcpy, and transform calls per
// second beside bare FFTW (planned per call, and a kept plan).
#include <fftw3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "vemx/vemx_audio.h"

namespace {

using Clock = std::chrono::steady_clock;

// Calls per second from the fastest batch of 8 calls seen in about 0.6 s:
// the machine is shared, and the best batch is the one least disturbed.
template <class F>
double CallsPerSecond(F&& call) {
    constexpr int kBatch = 8;
    double best = 1e30;
    const auto start = Clock::now();
    do {
        const auto t0 = Clock::now();
        for (int i = 0; i < kBatch; ++i) call();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
    } while (Clock::now() - start < std::chrono::milliseconds(600));
    return kBatch / best;
}

volatile double g_sink;

void Gain() {
    constexpr size_t kBytes = 1 << 20;
    std::vector<int16_t> pcm(kBytes / 2), copy(kBytes / 2);
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<int16_t>(std::lround(12000 * std::sin(i * 0.01)));
    std::vector<uint8_t> pcm8(kBytes);
    for (size_t i = 0; i < pcm8.size(); ++i) pcm8[i] = static_cast<uint8_t>(i * 13);
    const int frames = static_cast<int>(pcm.size());

    const double gbs = kBytes / 1e9;
    const double memcpy_rate = CallsPerSecond([&] {
        std::memcpy(copy.data(), pcm.data(), kBytes);
        g_sink = copy[7];
    });
    // Alternating gains keep the samples in range over many calls.
    int turn = 0;
    const double gain16 = CallsPerSecond(
        [&] { vemx_audio_rescale_16s_C1IR(pcm.data(), frames, 1, (turn++ & 1) ? 512 : 128); });
    const double gain16_huge = CallsPerSecond([&] {
        vemx_audio_rescale_16s_C1IR(pcm.data(), frames, 1, (turn++ & 1) ? 0x1000000 : -0x1000000);
    });
    const double gain8 = CallsPerSecond([&] {
        vemx_audio_rescale_8u_C1IR(pcm8.data(), static_cast<int>(kBytes), 1,
                                   (turn++ & 1) ? 512 : 128);
    });
    std::printf("memcpy_1MiB: %.2f GB/s\n", memcpy_rate * gbs);
    std::printf("rescale_16s_1MiB: %.2f GB/s\n", gain16 * gbs);
    std::printf("rescale_16s_1MiB_vs_memcpy: %.2f x\n", gain16 / memcpy_rate);
    std::printf("rescale_16s_1MiB_gain_0x1000000: %.2f GB/s\n", gain16_huge * gbs);
    std::printf("rescale_8u_1MiB: %.2f GB/s\n", gain8 * gbs);
}

void Transforms(int n) {
    std::vector<int16_t> pcm(n);
    for (int i = 0; i < n; ++i)
        pcm[i] = static_cast<int16_t>(std::lround(16000 * std::sin(i * 0.1309)));
    double* in = fftw_alloc_real(n);
    fftw_complex* out = fftw_alloc_complex(n / 2 + 1);
    for (int i = 0; i < n; ++i) in[i] = pcm[i] / 32767.0;

    const double bare_per_call = CallsPerSecond([&] {
        fftw_plan p = fftw_plan_dft_r2c_1d(n, in, out, FFTW_ESTIMATE);
        fftw_execute(p);
        fftw_destroy_plan(p);
    });
    fftw_plan kept = fftw_plan_dft_r2c_1d(n, in, out, FFTW_ESTIMATE);
    const double bare_kept = CallsPerSecond([&] { fftw_execute(kept); });
    fftw_destroy_plan(kept);

    double freq = 0, power = 0;
    const double dominant = CallsPerSecond([&] {
        vemx_audio_dominant_freqency(pcm.data(), 16, 1, 48000, n, 0, &freq, &power);
        g_sink = freq;
    });
    size_t size = 0;
    void* spectrum = vemx_fft_malloc(n, &size);
    const double execute =
        CallsPerSecond([&] { vemx_fft_execute(pcm.data(), 16, 1, 48000, n, 0, spectrum, size); });
    vemx_fft_free(spectrum);
    fftw_free(out);
    fftw_free(in);

    std::printf("fftw_plan_execute_destroy_n%d: %.0f calls/s\n", n, bare_per_call);
    std::printf("fftw_execute_kept_plan_n%d: %.0f calls/s\n", n, bare_kept);
    std::printf("dominant_freqency_n%d: %.0f calls/s\n", n, dominant);
    std::printf("fft_execute_n%d: %.0f calls/s\n", n, execute);
    std::printf("dominant_freqency_n%d_vs_plan_per_call: %.2f x\n", n, dominant / bare_per_call);
    std::printf("dominant_freqency_n%d_vs_kept_plan: %.2f x\n", n, dominant / bare_kept);
    std::printf("fft_execute_n%d_vs_kept_plan: %.2f x\n", n, execute / bare_kept);
}

}  // namespace

int main() {
    Gain();
    Transforms(4096);
    Transforms(4800);
    return 0;
}
