// Gain against a 64-bit reference, the FFT against a naive DFT and against
// FFTW planned per call, the dominant frequency of known signals, and the
// error lines of bad calls.
#include <gtest/gtest.h>

#include <fftw3.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

#include "audio/audioutils_kernels.h"
#include "audio/fftplancache.h"
#include "common/log_capture.h"
#include "vemx/vemx_audio.h"

namespace au = vemx::audioutils;

namespace {

// floor((s * gain + 128) / 256) + bias, clamped: the arithmetic shift floors.
int64_t Reference(int64_t s, int gain, int64_t bias, int64_t lo, int64_t hi) {
    return std::clamp<int64_t>(((s * gain + 128) >> 8) + bias, lo, hi);
}

// Unity, fractions, the 16- and 32-bit thresholds and their neighbours, huge
// gains, and all of them negated.
std::vector<int> Gains() {
    // clang-format off
    std::vector<int> g = {0, 1, 127, 128, 255, 256, 257, 300, 512, 1000, 32767, 32768, 32769,
                          65535, 65536, 65537, 0x8081, 0x800000, 0x800080, 0x800081, 0x1000000,
                          INT_MAX};
    // clang-format on
    for (size_t i = 1, n = g.size(); i < n; ++i) g.push_back(-g[i]);
    g.push_back(INT_MIN);
    return g;
}

std::vector<int16_t> Tone16(int n, double freq, int rate, double amplitude) {
    std::vector<int16_t> v(n);
    for (int i = 0; i < n; ++i)
        v[i] = static_cast<int16_t>(
            std::lround(32767 * amplitude * std::sin(2 * std::numbers::pi * freq * i / rate)));
    return v;
}

struct Dominant {
    double frequency = -1, power = -1;
};

Dominant Analyse(const void* data, int bits, int stride, int rate, int n, int offset) {
    Dominant d;
    vemx_audio_dominant_freqency(data, bits, stride, rate, n, offset, &d.frequency, &d.power);
    return d;
}

// A spectrum buffer from vemx_fft_malloc; size() as it reported.
struct Spectrum {
    explicit Spectrum(int n) : data(vemx_fft_malloc(n, &bytes)) {}
    ~Spectrum() { vemx_fft_free(data); }
    Spectrum(const Spectrum&) = delete;
    Spectrum& operator=(const Spectrum&) = delete;
    const double* values() const { return static_cast<const double*>(data); }
    int Execute(const void* pcm, int bits, int stride, int n, int offset) {
        return vemx_fft_execute(pcm, bits, stride, 48000, n, offset, data, bytes);
    }
    size_t bytes = 0;
    void* data;
};

}  // namespace

// Each processor-specific build of the loops, checked on its own.
class Kernels : public ::testing::TestWithParam<const au::Kernels*> {
  protected:
    void SetUp() override {
        if (GetParam() == &au::kAvx2Kernels && !__builtin_cpu_supports("avx2"))
            GTEST_SKIP() << "no AVX2";
    }
    const au::Kernels& k() const { return *GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Builds, Kernels, ::testing::Values(&au::kSse2Kernels, &au::kAvx2Kernels),
                         [](const auto& info) {
                             return info.param == &au::kSse2Kernels ? "Sse2" : "Avx2";
                         });

TEST_P(Kernels, GainOnEveryInputForEveryGain) {
    // Odd lengths, so the vector loops and the scalar tails see every value.
    std::vector<uint8_t> in8(263);
    for (size_t i = 0; i < in8.size(); ++i) in8[i] = static_cast<uint8_t>(i * 7 + (i >= 256));
    std::vector<int16_t> in16(65536 + 13);
    for (size_t i = 0; i < in16.size(); ++i)
        in16[i] = static_cast<int16_t>(static_cast<uint16_t>(i * 40503u));
    for (int gain : Gains()) {
        SCOPED_TRACE(gain);
        auto b8 = in8;
        k().rescale8(b8.data(), b8.size(), gain);
        for (size_t i = 0; i < b8.size(); ++i)
            ASSERT_EQ(b8[i], Reference(in8[i] - 128, gain, 128, 0, 255)) << "x=" << int{in8[i]};
        auto b16 = in16;
        k().rescale16(b16.data(), b16.size(), gain);
        for (size_t i = 0; i < b16.size(); ++i)
            ASSERT_EQ(b16[i], Reference(in16[i], gain, 0, -32768, 32767)) << "x=" << in16[i];
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
    std::uniform_int_distribution<int> level(0, 6);  // few magnitudes: many ties
    for (int bins : {0, 1, 7, 8, 12, 13, 25, 100, 2400}) {
        for (int round = 0; round < 20; ++round) {
            std::vector<double> s(2 * bins + 2);
            for (auto& v : s) v = round == 0 ? 0.0 : level(rng) * (round % 2 ? 1.0 : -0.5);
            const auto* c = reinterpret_cast<const fftw_complex*>(s.data());
            au::Peak want{0.0, 9999};
            for (int b = 0; b < bins; ++b) {
                const double p = c[b][0] * c[b][0] + c[b][1] * c[b][1];
                if (p > want.power) want = {p, b};
            }
            const au::Peak got = k().strongest(c, bins, 9999);
            ASSERT_EQ(got.index, want.index) << "bins " << bins << " round " << round;
            ASSERT_EQ(got.power, want.power);
        }
    }
}

TEST(AudioGain, KnownValuesAndTheSampleCount) {
    uint8_t b[5] = {200, 100, 128, 0, 7};
    vemx_audio_rescale_8u_C1IR(b, 2, 2, 512);
    EXPECT_EQ(std::vector<int>(b, b + 5), (std::vector<int>{255, 72, 128, 0, 7}));
    int16_t s[7] = {3, -3, 20000, -20000, -128, 128, 11};
    vemx_audio_rescale_16s_C1IR(s, 2, 1, 128);  // halves round upward
    vemx_audio_rescale_16s_C1IR(s + 2, 1, 2, 512);
    vemx_audio_rescale_16s_C1IR(s + 4, 2, 1, 0x10000);
    EXPECT_EQ(std::vector<int>(s, s + 7),
              (std::vector<int>{2, -1, 32767, -32768, -32768, 32767, 11}));

    // A product of zero or below touches nothing.
    for (auto [frames, channels] : {std::pair{0, 2}, {5, 0}, {-5, 2}, {5, -2}}) {
        vemx_audio_rescale_8u_C1IR(b, frames, channels, 0);
        vemx_audio_rescale_16s_C1IR(s, frames, channels, 0);
    }
    EXPECT_EQ(b[0], 255);
    EXPECT_EQ(s[0], 2);
}

// What a caller planning FFTW per call into the very same buffer gets, bit
// for bit: odd and even sizes, output aligned and 8 bytes off, mono and
// the right channel of interleaved stereo.
TEST(Fft, BitIdenticalToPlanningPerCall) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    for (int n : {1, 2, 3, 5, 8, 15, 16, 17, 100, 243, 1023, 4096, 4800}) {
        SCOPED_TRACE(n);
        std::vector<int16_t> pcm(2 * n);
        for (auto& v : pcm) v = static_cast<int16_t>(sample(rng));
        const size_t bins = n / 2 + 1;
        EXPECT_EQ(Spectrum(n).bytes, bins * 16);
        double* in = fftw_alloc_real(n);
        double* block = fftw_alloc_real(2 * bins + 1);  // room to start 8 bytes in
        for (int shift : {0, 1}) {
            double* out = block + shift;
            const int stride = 2 - shift, offset = 1 - shift;
            fftw_plan plan =
                fftw_plan_dft_r2c_1d(n, in, reinterpret_cast<fftw_complex*>(out), FFTW_ESTIMATE);
            for (int i = 0; i < n; ++i) in[i] = pcm[stride * i + offset] / 32767.0;
            fftw_execute(plan);
            fftw_destroy_plan(plan);
            const std::vector<double> want(out, out + 2 * bins);
            for (int round = 0; round < 2; ++round) {
                std::fill(out, out + 2 * bins, 0.0);
                ASSERT_EQ(
                    vemx_fft_execute(pcm.data(), 16, stride, 48000, n, offset, out, bins * 16), 1);
                EXPECT_EQ(std::memcmp(out, want.data(), bins * 16), 0) << "shift " << shift;
            }
        }
        fftw_free(block);
        fftw_free(in);
    }
    // 8-bit samples span -1 .. 1: (-1, 1, -1, 1) is all Nyquist.
    const uint8_t pcm8[4] = {0, 255, 0, 255};
    Spectrum out(4);
    ASSERT_EQ(out.Execute(pcm8, 8, 1, 4, 0), 1);
    EXPECT_EQ(std::vector<double>(out.values(), out.values() + 6),
              (std::vector<double>{0, 0, 0, 0, -4, 0}));
}

TEST(Fft, RepeatedCallsPlanOnceAndTheCacheStaysBounded) {
    namespace pc = vemx::fftplancache;
    const int n = 4801;
    const std::vector<int16_t> pcm(n, 1000);
    Spectrum out(n);
    const uint64_t before = pc::PlansCreated();
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(out.Execute(pcm.data(), 16, 1, n, 0), 1);
        Analyse(pcm.data(), 16, 1, 48000, n, 0);
    }
    EXPECT_EQ(pc::PlansCreated(), before + 1);

    // Far more sizes than the cache holds: old plans go, results stay right.
    for (int m = 2; m < 2 + static_cast<int>(pc::kCapacity) + 20; ++m) {
        const std::vector<int16_t> dc(m, 32767);
        EXPECT_EQ(Analyse(dc.data(), 16, 1, 1000, m, 0).power, double(m) * m) << m;
    }
    EXPECT_EQ(pc::CachedPlans(), pc::kCapacity);
    const uint64_t after_sweep = pc::PlansCreated();
    Analyse(pcm.data(), 16, 1, 48000, n, 0);  // evicted meanwhile: planned again
    EXPECT_EQ(pc::PlansCreated(), after_sweep + 1);
}

TEST(Fft, ConcurrentCallersGetTheSingleThreadedResults) {
    const std::vector<int> sizes = {480, 1023, 4096, 4800, 777, 1500};
    std::vector<std::vector<int16_t>> inputs;
    std::vector<std::vector<double>> want;
    std::vector<double> want_frequency;
    for (size_t i = 0; i < sizes.size(); ++i) {
        inputs.push_back(Tone16(sizes[i], 300.0 * (i + 1), 48000, 0.5));
        Spectrum s(sizes[i]);
        s.Execute(inputs[i].data(), 16, 1, sizes[i], 0);
        want.emplace_back(s.values(), s.values() + s.bytes / 8);
        want_frequency.push_back(Analyse(inputs[i].data(), 16, 1, 48000, sizes[i], 0).frequency);
    }
    std::vector<int> failures(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 16; ++round) {
                const size_t i = (round + t) % sizes.size();
                // A size of its own per round: planning runs beside executions.
                const std::vector<int16_t> dc(5000 + 100 * t + round, 100);
                Analyse(dc.data(), 16, 1, 48000, static_cast<int>(dc.size()), 0);
                Spectrum s(sizes[i]);
                s.Execute(inputs[i].data(), 16, 1, sizes[i], 0);
                const Dominant d = Analyse(inputs[i].data(), 16, 1, 48000, sizes[i], 0);
                failures[t] += std::memcmp(s.data, want[i].data(), s.bytes) != 0 ||
                               d.frequency != want_frequency[i];
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST(DominantFrequency, TonesSilenceTheScannedBinsAndStride) {
    const auto tone = Tone16(4800, 1000, 48000, 0.5);
    const Dominant d = Analyse(tone.data(), 16, 1, 48000, 4800, 0);
    EXPECT_EQ(d.frequency, 1000.0);
    // A sine of amplitude A over whole periods puts (A n / 2)^2 in its bin.
    EXPECT_NEAR(d.power, 1200.0 * 1200.0, 1e-3 * 1200.0 * 1200.0);

    // Silence, and unsupported bits (read as silence): past the sample rate.
    const std::vector<int16_t> silence(1024, 0);
    for (int bits : {16, 24}) {
        const Dominant s =
            Analyse(bits == 16 ? silence.data() : tone.data(), bits, 1, 48000, 1024, 0);
        EXPECT_EQ(s.frequency, 48046.875);
        EXPECT_EQ(s.power, 0.0);
    }
    // Bin 0 is scanned: a constant signal is 0 Hz.
    const std::vector<int16_t> dc(1000, 20000);
    EXPECT_EQ(Analyse(dc.data(), 16, 1, 8000, 1000, 0).frequency, 0.0);
    // The Nyquist bin is not: a strong Nyquist tone loses to a weak 1 kHz one.
    auto mix = Tone16(960, 1000, 48000, 0.05);
    for (size_t i = 0; i < mix.size(); ++i)
        mix[i] = static_cast<int16_t>(mix[i] + (i % 2 ? -29000 : 29000));
    EXPECT_EQ(Analyse(mix.data(), 16, 1, 48000, 960, 0).frequency, 1000.0);

    // 8-bit interleaved stereo: stride and offset pick the channel (16 bits: see Fft).
    const auto left = Tone16(4800, 1000, 48000, 0.7), right = Tone16(4800, 3000, 48000, 0.4);
    std::vector<uint8_t> pcm8(2 * 4800);
    for (int i = 0; i < 4800; ++i)
        pcm8[2 * i] = uint8_t((left[i] >> 8) + 128),
                 pcm8[2 * i + 1] = uint8_t((right[i] >> 8) + 128);
    EXPECT_EQ(Analyse(pcm8.data(), 8, 2, 48000, 4800, 0).frequency, 1000.0);
    EXPECT_EQ(Analyse(pcm8.data(), 8, 2, 48000, 4800, 1).frequency, 3000.0);
    // Stride 4 reads every other frame of the right channel: half the rate.
    EXPECT_EQ(Analyse(pcm8.data(), 8, 4, 24000, 2400, 1).frequency, 3000.0);
}

TEST(AudioErrors, ExactLinesAndResults) {
    vemx_test::LogCapture log;
    EXPECT_EQ(vemx_fft_malloc(1024, nullptr), nullptr);
    Spectrum out(1024);
    EXPECT_EQ(out.bytes, 8208u);
    const std::vector<int16_t> pcm(1024, 500);
    EXPECT_EQ(vemx_fft_execute(pcm.data(), 16, 1, 48000, 1024, 0, nullptr, 8208), 0);
    EXPECT_EQ(vemx_fft_execute(pcm.data(), 16, 1, 48000, 1024, 0, out.data, 8207), 0);
    EXPECT_EQ(vemx_fft_execute(pcm.data(), 16, 1, 48000, 1024, 0, out.data, 8208), 1);
    EXPECT_NE(out.values()[0], 0.0);
    EXPECT_EQ(vemx_fft_execute(pcm.data(), 24, 1, 48000, 1024, 0, out.data, 8208), 1);
    EXPECT_EQ(out.values()[0], 0.0);  // silence
    EXPECT_EQ(vemx_fft_execute(nullptr, 16, 1, 48000, 1024, 0, out.data, 8208), 0);
    const std::string E = "ERROR[AudioUtils] ", X = E + "vemx_fft_execute: ";
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  E + "vemx_fft_malloc: invalid output buffer\n", X + "invalid output buffer\n",
                  X + "output buffer is too small, suggested size is 8208\n",
                  X + "unsupported bits count, 24\n", X + "invalid input buffer\n"}));

    // Sizes of zero or below: an error line each, no transform, no crash.
    for (int n : {0, -1, -4, INT_MIN}) {
        SCOPED_TRACE(n);
        log.clear();
        size_t size = 1;
        EXPECT_EQ(vemx_fft_malloc(n, &size), nullptr);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(vemx_fft_execute(pcm.data(), 16, 1, 48000, n, 0, out.data, 8208), 0);
        const Dominant d = Analyse(pcm.data(), 16, 1, 48000, n, 0);
        EXPECT_TRUE(std::isnan(d.frequency));
        EXPECT_EQ(d.power, 0.0);
        const std::string tail = ": invalid transform size, " + std::to_string(n) + "\n";
        EXPECT_EQ(log.lines(), (std::vector<std::string>{
                                   E + "vemx_fft_malloc" + tail, E + "vemx_fft_execute" + tail,
                                   E + "vemx_audio_dominant_freqency" + tail}));
    }
}
