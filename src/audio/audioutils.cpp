// Stateless audio utilities: fixed-point gain, dominant frequency and a thin
// real-to-complex FFT over FFTW 3.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "audio/audioutils_kernels.h"
#include "audio/fftplancache.h"
#include "frame/handle.h"
#include "frame/log.h"
#include "vemx/vemx_audio.h"

namespace vemx::audioutils {

namespace {

constexpr const char* kTag = "ERROR[AudioUtils] ";

// Sample count of a rescale call; 0 when the product is not positive.
size_t SampleCount(int frames, int channels) {
    const int64_t n = static_cast<int64_t>(frames) * channels;
    return n > 0 ? static_cast<size_t>(n) : 0;
}

struct FftwFree {
    void operator()(void* p) const noexcept { fftw_free(p); }
};
using RealBuffer = std::unique_ptr<double[], FftwFree>;
using ComplexBuffer = std::unique_ptr<fftw_complex[], FftwFree>;

size_t Bins(int n) {
    return static_cast<size_t>(n / 2 + 1);
}

// 8-bit samples as x / 255.0 * 2.0 - 1.0, tabulated once.
const std::array<double, 256>& Table8() {
    static const std::array<double, 256> table = [] {
        std::array<double, 256> t;
        for (int x = 0; x < 256; ++x) t[x] = x / 255.0 * 2.0 - 1.0;
        return t;
    }();
    return table;
}

// Fills in[0..n) by the sample-reading rule; false for unsupported bits,
// which leave silence.
bool ReadSamples(const void* data, int bits, int stride, int n, int offset, double* in) {
    const ptrdiff_t step = stride;
    ptrdiff_t at = offset;
    if (bits == 8) {
        const auto* src = static_cast<const uint8_t*>(data);
        const auto& table = Table8();
        for (int i = 0; i < n; ++i, at += step) in[i] = table[src[at]];
        return true;
    }
    if (bits == 16) {
        const auto* src = static_cast<const int16_t*>(data);
        if (step == 1) {
            ActiveKernels().read16(src + at, n, in);
        } else {
            for (int i = 0; i < n; ++i, at += step) in[i] = Div32767(src[at]);
        }
        return true;
    }
    std::memset(in, 0, static_cast<size_t>(n) * sizeof(double));
    return false;
}

// Allocation failures surface as std::bad_alloc, which the export's guard
// reports.
RealBuffer AllocReal(int n) {
    RealBuffer in(fftw_alloc_real(static_cast<size_t>(n)));
    if (!in) throw std::bad_alloc();
    return in;
}

std::shared_ptr<const fftplancache::R2CPlan> Plan(int n, const fftw_complex* out) {
    auto plan = fftplancache::AcquireR2C(n, fftw_alignment_of(const_cast<double*>(out[0])));
    if (!plan) throw std::bad_alloc();
    return plan;
}

void DominantFrequency(const void* data, int bits, int stride, int sample_rate, int n, int offset,
                       double* frequency, double* power) {
    if (frequency) *frequency = std::numeric_limits<double>::quiet_NaN();
    if (power) *power = 0.0;
    if (n <= 0) {
        frame::LogPrint(kTag, "%s: invalid transform size, %d", "vemx_audio_dominant_freqency", n);
        return;
    }
    if (!data && (bits == 8 || bits == 16)) {
        frame::LogPrint(kTag, "%s: invalid input buffer", "vemx_audio_dominant_freqency");
        return;
    }
    RealBuffer in = AllocReal(n);
    ComplexBuffer out(fftw_alloc_complex(Bins(n)));
    if (!out) throw std::bad_alloc();
    ReadSamples(data, bits, stride, n, offset, in.get());
    Plan(n, out.get())->Execute(in.get(), out.get());

    const Peak peak = ActiveKernels().strongest(out.get(), n / 2, int64_t{n} + 1);
    if (frequency) *frequency = static_cast<double>(peak.index) * sample_rate / n;
    if (power) *power = peak.power;
}

void* FftMalloc(int n, size_t* size) {
    if (!size) {
        frame::LogPrint(kTag, "%s: invalid output buffer", "vemx_fft_malloc");
        return nullptr;
    }
    if (n <= 0) {
        *size = 0;
        frame::LogPrint(kTag, "%s: invalid transform size, %d", "vemx_fft_malloc", n);
        return nullptr;
    }
    const size_t bytes = Bins(n) * sizeof(fftw_complex);
    void* buffer = fftw_malloc(bytes);
    *size = buffer ? bytes : 0;
    return buffer;
}

int FftExecute(const void* data, int bits, int stride, int n, int offset, void* spectrum,
               size_t spectrum_size) {
    if (!spectrum) {
        frame::LogPrint(kTag, "%s: invalid output buffer", "vemx_fft_execute");
        return 0;
    }
    if (n <= 0) {
        frame::LogPrint(kTag, "%s: invalid transform size, %d", "vemx_fft_execute", n);
        return 0;
    }
    const size_t needed = Bins(n) * sizeof(fftw_complex);
    if (spectrum_size < needed) {
        frame::LogPrint(kTag, "%s: output buffer is too small, suggested size is %zu",
                        "vemx_fft_execute", needed);
        return 0;
    }
    if (!data && (bits == 8 || bits == 16)) {
        frame::LogPrint(kTag, "%s: invalid input buffer", "vemx_fft_execute");
        return 0;
    }
    RealBuffer in = AllocReal(n);
    if (!ReadSamples(data, bits, stride, n, offset, in.get()))
        frame::LogPrint(kTag, "%s: unsupported bits count, %d", "vemx_fft_execute", bits);
    auto* out = static_cast<fftw_complex*>(spectrum);
    Plan(n, out)->Execute(in.get(), out);
    return 1;
}

}  // namespace

}  // namespace vemx::audioutils

namespace au = vemx::audioutils;
using vemx::frame::Guarded;

VEMX_EXPORT void vemx_audio_rescale_8u_C1IR(uint8_t* data, int frames, int channels, int gain) {
    Guarded("vemx_audio_rescale_8u_C1IR",
            [&] { au::ActiveKernels().rescale8(data, au::SampleCount(frames, channels), gain); });
}

VEMX_EXPORT void vemx_audio_rescale_16s_C1IR(int16_t* data, int frames, int channels, int gain) {
    Guarded("vemx_audio_rescale_16s_C1IR",
            [&] { au::ActiveKernels().rescale16(data, au::SampleCount(frames, channels), gain); });
}

VEMX_EXPORT void vemx_audio_dominant_freqency(const void* data, int bits, int stride,
                                              int sample_rate, int n, int offset, double* frequency,
                                              double* power) {
    Guarded("vemx_audio_dominant_freqency", [&] {
        au::DominantFrequency(data, bits, stride, sample_rate, n, offset, frequency, power);
    });
}

VEMX_EXPORT void* vemx_fft_malloc(int n, size_t* size) {
    return Guarded("vemx_fft_malloc", static_cast<void*>(nullptr),
                   [&] { return au::FftMalloc(n, size); });
}

VEMX_EXPORT void vemx_fft_free(void* buffer) {
    Guarded("vemx_fft_free", [&] { fftw_free(buffer); });
}

VEMX_EXPORT int vemx_fft_execute(const void* data, int bits, int stride, int /*sample_rate*/, int n,
                                 int offset, void* spectrum, size_t spectrum_size) {
    return Guarded("vemx_fft_execute", 0, [&] {
        return au::FftExecute(data, bits, stride, n, offset, spectrum, spectrum_size);
    });
}
