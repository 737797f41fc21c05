// Gain against a 64-bit reference, the FFT against a naive DFT and against
// FFTW planned per call, the dominant frequency of known signals, and the
// error lines of bad calls.
#include <gtest/gtest.h>

#include <fftw3.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

#include "audio/audioutils_kernels.h"
#include "audio/fftplancache.h"
#include "common/log_capture.h"
#include "vemx/vemx_audio.h"

using vemx_test::LogCapture;

namespace {

int64_t Floor256(int64_t v) { return v >> 8; }  // arithmetic shift: floor

uint8_t Reference8(uint8_t x, int gain) {
    const int64_t y = Floor256((int64_t{x} - 128) * gain + 128) + 128;
    return static_cast<uint8_t>(std::clamp<int64_t>(y, 0, 255));
}

int16_t Reference16(int16_t x, int gain) {
    const int64_t y = Floor256(int64_t{x} * gain + 128);
    return static_cast<int16_t>(std::clamp<int64_t>(y, -32768, 32767));
}

// Unity, fractions, the 32-bit thresholds and their neighbours, huge gains
// and their negatives.
std::vector<int> Gains() {
    std::vector<int> g = {0,         1,         127,       128,        255,       256,        257,
                          300,       512,       1000,      32767,      32768,     32769,      65535,
                          0x10000,   0x10001,   0x8000 + 129, 0x800000, 0x800000 + 128, 0x800000 + 129,
                          0x1000000, 0x7FFFFFFF};
    const size_t n = g.size();
    for (size_t i = 1; i < n; ++i) g.push_back(-g[i]);
    g.push_back(INT_MIN);
    return g;
}

std::vector<double> Tone(int n, double freq, int rate, double amplitude, double phase = 0) {
    std::vector<double> v(n);
    for (int i = 0; i < n; ++i) v[i] = amplitude * std::sin(2 * std::numbers::pi * freq * i / rate + phase);
    return v;
}

std::vector<int16_t> To16(const std::vector<double>& v) {
    std::vector<int16_t> out(v.size());
    for (size_t i = 0; i < v.size(); ++i) out[i] = static_cast<int16_t>(std::lround(v[i] * 32767));
    return out;
}

struct Dominant {
    double frequency, power;
};

Dominant Analyse(const void* data, int bits, int stride, int rate, int n, int offset) {
    Dominant d{-1, -1};
    vemx_audio_dominant_freqency(data, bits, stride, rate, n, offset, &d.frequency, &d.power);
    return d;
}

struct FftBuffer {
    explicit FftBuffer(int n) : data(vemx_fft_malloc(n, &size)) {}
    ~FftBuffer() { vemx_fft_free(data); }
    FftBuffer(const FftBuffer&) = delete;
    FftBuffer& operator=(const FftBuffer&) = delete;
    const double* values() const { return static_cast<const double*>(data); }
    size_t size = 0;
    void* data;
};

// FFTW planned for the very arrays, as a caller without the cache would.
std::vector<double> PlannedPerCall(const std::vector<int16_t>& samples, int n, double* out) {
    double* in = fftw_alloc_real(n);
    fftw_plan plan = fftw_plan_dft_r2c_1d(n, in, reinterpret_cast<fftw_complex*>(out), FFTW_ESTIMATE);
    for (int i = 0; i < n; ++i) in[i] = samples[i] / 32767.0;
    fftw_execute(plan);
    fftw_destroy_plan(plan);
    fftw_free(in);
    return std::vector<double>(out, out + 2 * (n / 2 + 1));
}

}  // namespace

// Each processor-specific build of the loops, checked on its own; the
// exports use one of them.
class Kernels : public ::testing::TestWithParam<const vemx::audioutils::Kernels*> {
protected:
    void SetUp() override {
        if (GetParam() == &vemx::audioutils::kAvx2Kernels && !__builtin_cpu_supports("avx2"))
            GTEST_SKIP() << "no AVX2 on this processor";
    }
    const vemx::audioutils::Kernels& k() const { return *GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Builds, Kernels,
                         ::testing::Values(&vemx::audioutils::kSse2Kernels, &vemx::audioutils::kAvx2Kernels),
                         [](const auto& info) {
                             return info.param == &vemx::audioutils::kSse2Kernels ? "Sse2" : "Avx2";
                         });

TEST_P(Kernels, EightBitGainExhaustiveForEveryGain) {
    // 263 samples: the vector loop and the scalar tail both see all values.
    std::vector<uint8_t> in(263);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 7 % 256 + (i >= 256 ? 1 : 0));
    for (int gain : Gains()) {
        SCOPED_TRACE(gain);
        auto buf = in;
        k().rescale8(buf.data(), buf.size(), gain);
        for (size_t i = 0; i < buf.size(); ++i) ASSERT_EQ(buf[i], Reference8(in[i], gain)) << "x=" << int{in[i]};
    }
}

TEST_P(Kernels, SixteenBitGainEveryInputForEveryGain) {
    std::vector<int16_t> in(65536 + 13);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int16_t>(static_cast<uint16_t>(i * 40503u));
    for (int gain : Gains()) {
        SCOPED_TRACE(gain);
        auto buf = in;
        k().rescale16(buf.data(), buf.size(), gain);
        for (size_t i = 0; i < buf.size(); ++i) ASSERT_EQ(buf[i], Reference16(in[i], gain)) << "x=" << in[i];
    }
}

TEST_P(Kernels, SixteenBitSamplesReadExactlyAsTheDivision) {
    std::vector<int16_t> all(65536 + 5);
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int16_t>(i - 32768);
    std::vector<double> out(all.size());
    k().read16(all.data(), static_cast<int>(all.size()), out.data());
    for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(out[i], all[i] / 32767.0) << all[i];
}

TEST_P(Kernels, StrongestBinIsTheFirstStrictMaximum) {
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> level(0, 6);
    for (int bins : {0, 1, 7, 8, 12, 13, 25, 100, 2400}) {
        for (int round = 0; round < 20; ++round) {
            // Few distinct magnitudes, so ties between lanes are common.
            std::vector<double> spectrum(2 * std::max(bins, 1));
            for (auto& v : spectrum) v = level(rng) * (round % 2 ? 1.0 : -0.5);
            if (round == 0) std::fill(spectrum.begin(), spectrum.end(), 0.0);
            const auto* c = reinterpret_cast<const fftw_complex*>(spectrum.data());
            double best = 0.0;
            int index = 9999;
            for (int b = 0; b < bins; ++b) {
                const double p = c[b][0] * c[b][0] + c[b][1] * c[b][1];
                if (p > best) best = p, index = b;
            }
            const auto peak = k().strongest(c, bins, 9999);
            ASSERT_EQ(peak.index, index) << "bins " << bins << " round " << round;
            ASSERT_EQ(peak.power, best);
        }
    }
}

TEST(AudioGain, KnownValuesAndRounding) {
    uint8_t b[4] = {200, 100, 128, 0};
    vemx_audio_rescale_8u_C1IR(b, 2, 2, 512);
    EXPECT_EQ(std::vector<int>(b, b + 4), (std::vector<int>{255, 72, 128, 0}));
    vemx_audio_rescale_8u_C1IR(b, 4, 1, 0);
    EXPECT_EQ(std::vector<int>(b, b + 4), (std::vector<int>{128, 128, 128, 128}));

    int16_t s[6] = {3, -3, 20000, -20000, -128, 128};
    vemx_audio_rescale_16s_C1IR(s, 2, 1, 128);  // halves round upward
    EXPECT_EQ(s[0], 2);
    EXPECT_EQ(s[1], -1);
    vemx_audio_rescale_16s_C1IR(s + 2, 1, 2, 512);
    EXPECT_EQ(s[2], 32767);
    EXPECT_EQ(s[3], -32768);
    vemx_audio_rescale_16s_C1IR(s + 4, 2, 1, 0x10000);
    EXPECT_EQ(s[4], -32768);
    EXPECT_EQ(s[5], 32767);
}

TEST(AudioGain, TouchesExactlyFramesTimesChannelsSamples) {
    std::vector<int16_t> s(40, 100);
    vemx_audio_rescale_16s_C1IR(s.data(), 17, 2, 512);
    for (size_t i = 0; i < s.size(); ++i) EXPECT_EQ(s[i], i < 34 ? 200 : 100) << i;

    std::vector<uint8_t> b(40, 150);
    for (auto [frames, channels] : {std::pair{0, 2}, {5, 0}, {-5, 2}, {5, -2}}) {
        vemx_audio_rescale_8u_C1IR(b.data(), frames, channels, 0);
        vemx_audio_rescale_16s_C1IR(s.data(), frames, channels, 0);
    }
    EXPECT_EQ(b, std::vector<uint8_t>(40, 150));
    EXPECT_EQ(s[0], 200);
}

TEST(Fft, MatchesANaiveDftForOddAndEvenSizes) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    for (int n : {1, 2, 3, 5, 8, 15, 16, 17, 100, 243, 1023, 1024}) {
        SCOPED_TRACE(n);
        // Interleaved stereo; the transform reads the right channel.
        std::vector<int16_t> pcm(2 * n);
        for (auto& v : pcm) v = static_cast<int16_t>(sample(rng));
        FftBuffer spectrum(n);
        ASSERT_NE(spectrum.data, nullptr);
        ASSERT_EQ(spectrum.size, static_cast<size_t>(n / 2 + 1) * 16);
        ASSERT_EQ(vemx_fft_execute(pcm.data(), 16, 2, 48000, n, 1, spectrum.data, spectrum.size), 1);

        for (int k = 0; k <= n / 2; ++k) {
            std::complex<long double> sum = 0;
            for (int t = 0; t < n; ++t) {
                const long double angle = -2 * std::numbers::pi_v<long double> * k * t / n;
                sum += (pcm[2 * t + 1] / 32767.0L) * std::polar(1.0L, angle);
            }
            const double tol = 1e-9 * n;
            EXPECT_NEAR(spectrum.values()[2 * k], static_cast<double>(sum.real()), tol) << "bin " << k;
            EXPECT_NEAR(spectrum.values()[2 * k + 1], static_cast<double>(sum.imag()), tol) << "bin " << k;
        }
    }
}

TEST(Fft, EightBitSamplesSpanMinusOneToOne) {
    const uint8_t pcm[4] = {0, 255, 0, 255};
    FftBuffer spectrum(4);
    ASSERT_EQ(vemx_fft_execute(pcm, 8, 1, 8000, 4, 0, spectrum.data, spectrum.size), 1);
    const double* v = spectrum.values();
    EXPECT_EQ(v[0], 0.0);   // DC
    EXPECT_EQ(v[4], -4.0);  // Nyquist bin: (-1, 1, -1, 1)
}

TEST(Fft, BitIdenticalToPlanningPerCallForAlignedAndMisalignedOutput) {
    for (int n : {4800, 1023, 4096}) {
        SCOPED_TRACE(n);
        std::mt19937 rng(n);
        std::uniform_int_distribution<int> sample(-32768, 32767);
        std::vector<int16_t> pcm(n);
        for (auto& v : pcm) v = static_cast<int16_t>(sample(rng));
        const size_t bins = n / 2 + 1;
        // One spare double so the output can start 8 bytes into the block.
        double* block = fftw_alloc_real(2 * bins + 1);
        for (int shift : {0, 1}) {
            SCOPED_TRACE(shift);
            double* out = block + shift;
            const auto want = PlannedPerCall(pcm, n, out);
            std::memset(out, 0, bins * 16);
            for (int round = 0; round < 2; ++round) {
                ASSERT_EQ(vemx_fft_execute(pcm.data(), 16, 1, 48000, n, 0, out, bins * 16), 1);
                EXPECT_EQ(std::memcmp(out, want.data(), bins * 16), 0);
            }
        }
        fftw_free(block);
    }
}

TEST(Fft, RepeatedCallsPlanOnceAndTheCacheStaysBounded) {
    using namespace vemx::fftplancache;
    const int n = 4801;
    std::vector<int16_t> pcm(n, 1000);
    FftBuffer spectrum(n);
    const uint64_t before = PlansCreated();
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(vemx_fft_execute(pcm.data(), 16, 1, 48000, n, 0, spectrum.data, spectrum.size), 1);
        Analyse(pcm.data(), 16, 1, 48000, n, 0);
    }
    EXPECT_EQ(PlansCreated(), before + 1);

    // Far more sizes than the cache holds: old plans go, results stay right.
    for (int m = 2; m < 2 + static_cast<int>(kCapacity) + 20; ++m) {
        std::vector<int16_t> dc(m, 32767);
        EXPECT_EQ(Analyse(dc.data(), 16, 1, 1000, m, 0).power, double(m) * m) << m;
    }
    EXPECT_LE(CachedPlans(), kCapacity);
    EXPECT_GE(CachedPlans(), kCapacity / 2);
    const uint64_t after_sweep = PlansCreated();
    Analyse(pcm.data(), 16, 1, 48000, n, 0);  // evicted meanwhile: planned again
    EXPECT_EQ(PlansCreated(), after_sweep + 1);
}

TEST(Fft, ConcurrentCallersGetTheSingleThreadedResults) {
    const std::vector<int> sizes = {480, 1023, 4096, 4800, 777, 1500};
    std::vector<std::vector<int16_t>> inputs;
    std::vector<std::vector<double>> want_spectrum;
    std::vector<Dominant> want_dominant;
    for (size_t i = 0; i < sizes.size(); ++i) {
        const int n = sizes[i];
        inputs.push_back(To16(Tone(n, 300.0 * (i + 1), 48000, 0.5, 0.3)));
        FftBuffer s(n);
        vemx_fft_execute(inputs[i].data(), 16, 1, 48000, n, 0, s.data, s.size);
        want_spectrum.emplace_back(s.values(), s.values() + 2 * (n / 2 + 1));
        want_dominant.push_back(Analyse(inputs[i].data(), 16, 1, 48000, n, 0));
    }

    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 40; ++round) {
                const size_t i = (round + t) % sizes.size();
                const int n = sizes[i];
                // A size of its own per round forces planning beside executions.
                const int fresh = 5000 + 100 * t + round;
                std::vector<int16_t> dc(fresh, 100);
                Analyse(dc.data(), 16, 1, 48000, fresh, 0);
                FftBuffer s(n);
                vemx_fft_execute(inputs[i].data(), 16, 1, 48000, n, 0, s.data, s.size);
                const Dominant d = Analyse(inputs[i].data(), 16, 1, 48000, n, 0);
                if (std::memcmp(s.data, want_spectrum[i].data(), s.size) != 0 ||
                    d.frequency != want_dominant[i].frequency || d.power != want_dominant[i].power)
                    ++failures[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST(DominantFrequency, TonesSilenceAndTheScannedBins) {
    const auto tone = To16(Tone(4800, 1000, 48000, 0.5));
    const Dominant d = Analyse(tone.data(), 16, 1, 48000, 4800, 0);
    EXPECT_EQ(d.frequency, 1000.0);
    // A sine of amplitude A over whole periods puts (A n / 2)^2 in its bin.
    EXPECT_NEAR(d.power, std::pow(0.5 * 4800 / 2, 2), 1e-3 * std::pow(0.5 * 4800 / 2, 2));

    const std::vector<int16_t> silence(1024, 0);
    const Dominant s = Analyse(silence.data(), 16, 1, 48000, 1024, 0);
    EXPECT_EQ(s.frequency, 48046.875);
    EXPECT_EQ(s.power, 0.0);

    // Unsupported bits read as silence.
    const Dominant u = Analyse(tone.data(), 24, 1, 48000, 1024, 0);
    EXPECT_EQ(u.frequency, 48046.875);
    EXPECT_EQ(u.power, 0.0);

    // Bin 0 is scanned: a constant signal is 0 Hz.
    const std::vector<int16_t> dc(1000, 20000);
    EXPECT_EQ(Analyse(dc.data(), 16, 1, 8000, 1000, 0).frequency, 0.0);

    // The Nyquist bin is not scanned: a strong Nyquist tone loses to a weak
    // 1 kHz one.
    auto mix = Tone(960, 1000, 48000, 0.05);
    for (size_t i = 0; i < mix.size(); ++i) mix[i] += (i % 2 ? -0.9 : 0.9);
    const auto mix16 = To16(mix);
    EXPECT_EQ(Analyse(mix16.data(), 16, 1, 48000, 960, 0).frequency, 1000.0);
}

TEST(DominantFrequency, EightBitInterleavedStereoByStrideAndOffset) {
    const auto left = Tone(4800, 1000, 48000, 0.7), right = Tone(4800, 3000, 48000, 0.4);
    std::vector<uint8_t> pcm8(2 * 4800);
    std::vector<int16_t> pcm16(2 * 4800);
    for (int i = 0; i < 4800; ++i) {
        pcm8[2 * i] = static_cast<uint8_t>(std::lround((left[i] + 1) / 2 * 255));
        pcm8[2 * i + 1] = static_cast<uint8_t>(std::lround((right[i] + 1) / 2 * 255));
        pcm16[2 * i] = static_cast<int16_t>(std::lround(left[i] * 32767));
        pcm16[2 * i + 1] = static_cast<int16_t>(std::lround(right[i] * 32767));
    }
    EXPECT_EQ(Analyse(pcm8.data(), 8, 2, 48000, 4800, 0).frequency, 1000.0);
    EXPECT_EQ(Analyse(pcm8.data(), 8, 2, 48000, 4800, 1).frequency, 3000.0);
    EXPECT_EQ(Analyse(pcm16.data(), 16, 2, 48000, 4800, 0).frequency, 1000.0);
    EXPECT_EQ(Analyse(pcm16.data(), 16, 2, 48000, 4800, 1).frequency, 3000.0);
    // Stride 4 reads every other frame of the right channel: half the rate.
    EXPECT_EQ(Analyse(pcm16.data(), 16, 4, 24000, 2400, 1).frequency, 3000.0);
}

TEST(AudioErrors, ExactLinesAndResults) {
    LogCapture log;
    size_t size = 1;
    EXPECT_EQ(vemx_fft_malloc(1024, nullptr), nullptr);

    FftBuffer odd(1023);
    EXPECT_EQ(odd.size, 8192u);
    FftBuffer spectrum(1024);
    EXPECT_EQ(spectrum.size, 8208u);

    const std::vector<int16_t> pcm(1024, 500);
    EXPECT_EQ(vemx_fft_execute(pcm.data(), 16, 1, 48000, 1024, 0, nullptr, 8208), 0);
    EXPECT_EQ(vemx_fft_execute(pcm.data(), 16, 1, 48000, 1024, 0, spectrum.data, 8207), 0);
    EXPECT_EQ(vemx_fft_execute(pcm.data(), 16, 1, 48000, 1024, 0, spectrum.data, 8208), 1);
    EXPECT_NE(spectrum.values()[0], 0.0);
    EXPECT_EQ(vemx_fft_execute(pcm.data(), 24, 1, 48000, 1024, 0, spectrum.data, 8208), 1);
    EXPECT_EQ(spectrum.values()[0], 0.0);
    EXPECT_EQ(vemx_fft_execute(nullptr, 16, 1, 48000, 1024, 0, spectrum.data, 8208), 0);

    const std::vector<std::string> expected = {
        "ERROR[AudioUtils] vemx_fft_malloc: invalid output buffer\n",
        "ERROR[AudioUtils] vemx_fft_execute: invalid output buffer\n",
        "ERROR[AudioUtils] vemx_fft_execute: output buffer is too small, suggested size is 8208\n",
        "ERROR[AudioUtils] vemx_fft_execute: unsupported bits count, 24\n",
        "ERROR[AudioUtils] vemx_fft_execute: invalid input buffer\n",
    };
    EXPECT_EQ(log.lines(), expected);

    // Sizes of zero or below: an error line each, no transform, no crash.
    for (int n : {0, -1, -4, INT_MIN}) {
        SCOPED_TRACE(n);
        log.clear();
        size = 1;
        EXPECT_EQ(vemx_fft_malloc(n, &size), nullptr);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(vemx_fft_execute(pcm.data(), 16, 1, 48000, n, 0, spectrum.data, 8208), 0);
        const Dominant d = Analyse(pcm.data(), 16, 1, 48000, n, 0);
        EXPECT_TRUE(std::isnan(d.frequency));
        EXPECT_EQ(d.power, 0.0);
        const std::string suffix = ": invalid transform size, " + std::to_string(n) + "\n";
        EXPECT_EQ(log.lines(), (std::vector<std::string>{
                                   "ERROR[AudioUtils] vemx_fft_malloc" + suffix,
                                   "ERROR[AudioUtils] vemx_fft_execute" + suffix,
                                   "ERROR[AudioUtils] vemx_audio_dominant_freqency" + suffix,
                               }));
    }
}
