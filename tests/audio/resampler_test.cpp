#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <set>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
}

#include "audio/VIZur.h"
#include "common/log_capture.h"
#include "frame/error.h"

using vemx_test::LogCapture;

namespace {

struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

// A planar frame (float or 16-bit) carrying a 1 kHz tone at the given rate.
FramePtr Tone(int rate, int samples, uint64_t layout = AV_CH_LAYOUT_MONO,
              AVSampleFormat fmt = AV_SAMPLE_FMT_FLTP) {
    FramePtr f(av_frame_alloc());
    f->format = fmt;
    f->sample_rate = rate;
    f->nb_samples = samples;
    av_channel_layout_from_mask(&f->ch_layout, layout);
    EXPECT_TRUE(samples <= 0 || av_frame_get_buffer(f.get(), 0) == 0);
    for (int c = 0; c < f->ch_layout.nb_channels && samples > 0; ++c)
        for (int i = 0; i < samples; ++i) {
            const double v = 0.5 * std::sin(2 * M_PI * 1000.0 * i / rate);
            if (fmt == AV_SAMPLE_FMT_FLTP)
                reinterpret_cast<float*>(f->extended_data[c])[i] = static_cast<float>(v);
            else
                reinterpret_cast<int16_t*>(f->extended_data[c])[i] =
                    static_cast<int16_t>(v * 32767);
        }
    return f;
}

// Set up for the demultiplexer's use: anything in, 16-bit stereo out.
void Configure(VIZur::Resampler& r, int in_rate, int out_rate, uint64_t in_layout,
               AVSampleFormat in_fmt) {
    r.in_channel_layout = in_layout;
    r.in_sample_rate = in_rate;
    r.in_sample_fmt = in_fmt;
    r.out_channel_layout = AV_CH_LAYOUT_STEREO;
    r.out_sample_rate = out_rate;
    r.out_sample_fmt = AV_SAMPLE_FMT_S16;
}
std::unique_ptr<VIZur::SimpleResampler> ToStereoS16(int in_rate, int out_rate,
                                                    uint64_t in_layout = AV_CH_LAYOUT_MONO,
                                                    AVSampleFormat in_fmt = AV_SAMPLE_FMT_FLTP) {
    auto r = std::make_unique<VIZur::SimpleResampler>();
    Configure(*r, in_rate, out_rate, in_layout, in_fmt);
    r->Init();
    return r;
}

}  // namespace

TEST(Resampler, InitTwiceAndRefusedParametersRaise) {
    LogCapture log;
    auto r = ToStereoS16(48000, 48000);
    EXPECT_EQ(r->out_channels, 2);
    EXPECT_THROW(r->Init(), vemx::frame::ComError);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].rfind("[vemx][ERROR]: VIZur(", 0), 0u);

    VIZur::Resampler bad;
    Configure(bad, 0, 48000, AV_CH_LAYOUT_STEREO, AV_SAMPLE_FMT_S16);  // no input rate
    EXPECT_THROW(bad.Init(), vemx::frame::ComError);
    EXPECT_EQ(bad.swr, nullptr);
}

TEST(Resampler, FirstOutputSizesTheRingAndConvertsToInterleavedStereo) {
    LogCapture log;
    auto r = ToStereoS16(44100, 48000);
    auto in = Tone(44100, 1024);
    AVFrame* out = r->Resample(in.get());
    ASSERT_NE(out, nullptr);
    EXPECT_TRUE(log.lines().empty());
    ASSERT_EQ(r->ring.frames.size(), 8u);
    EXPECT_EQ(r->ring.nb_samples, 1115);  // 1114.56 rounded up
    for (AVFrame* f : r->ring.frames) {
        EXPECT_EQ(f->format, AV_SAMPLE_FMT_S16);
        EXPECT_EQ(f->ch_layout.nb_channels, 2);
    }
    EXPECT_GT(out->nb_samples, 0);
    EXPECT_LE(out->nb_samples, 1115);

    // Same rate: no delay, so the samples can be checked one by one.
    auto same = ToStereoS16(48000, 48000, AV_CH_LAYOUT_STEREO, AV_SAMPLE_FMT_S16P);
    auto tone = Tone(48000, 480, AV_CH_LAYOUT_STEREO, AV_SAMPLE_FMT_S16P);
    AVFrame* s = same->Resample(tone.get());
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->nb_samples, 480);
    const auto* pcm = reinterpret_cast<const int16_t*>(s->data[0]);
    const auto* left = reinterpret_cast<const int16_t*>(tone->extended_data[0]);
    for (int i = 0; i < 480; ++i) {
        ASSERT_EQ(pcm[2 * i], left[i]) << i;
        ASSERT_EQ(pcm[2 * i + 1], left[i]) << i;
    }
}

TEST(Resampler, RingIsReusedGrowsOnlyAndFreesRetiredFramesOnePerCall) {
    auto r = ToStereoS16(48000, 48000);
    auto big = Tone(48000, 1000);
    auto small = Tone(48000, 200);
    ASSERT_NE(r->Resample(big.get()), nullptr);
    const std::vector<AVFrame*> first = r->ring.frames;

    // Steady state: the same eight frames come back in turn.
    std::vector<AVFrame*> handed;
    for (int i = 0; i < 16; ++i) handed.push_back(r->Resample(small.get()));
    EXPECT_EQ(r->ring.frames, first);
    EXPECT_EQ(r->ring.nb_samples, 1000);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(handed[i], handed[i + 8]);
    EXPECT_EQ(std::set<AVFrame*>(handed.begin(), handed.end()).size(), 8u);
    EXPECT_TRUE(r->retired.empty());

    // Growth retires all eight; the growing call itself frees the oldest.
    auto bigger = Tone(48000, 3000);
    AVFrame* grown = r->Resample(bigger.get());
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(grown->nb_samples, 3000);
    EXPECT_EQ(r->ring.nb_samples, 3000);
    EXPECT_EQ(r->retired.size(), 7u);
    for (AVFrame* f : r->ring.frames) EXPECT_EQ(std::count(first.begin(), first.end(), f), 0);
    for (int i = 7; i > 0; --i) {
        EXPECT_EQ(r->retired.front(), first[8 - i]);
        ASSERT_NE(r->Resample(small.get()), nullptr);
        EXPECT_EQ(r->retired.size(), size_t(i - 1));
    }

    // Nothing to output: null, and the retired list is left alone.
    ASSERT_NE(r->Resample(Tone(48000, 5000).get()), nullptr);
    const size_t pending = r->retired.size();
    EXPECT_EQ(pending, 7u);
    auto empty = Tone(48000, 0);
    EXPECT_EQ(r->Resample(empty.get()), nullptr);
    EXPECT_EQ(r->retired.size(), pending);
}

TEST(Resampler, FollowsInputFormatChangesWithOneLineAndKeepsTheOutputFormat) {
    LogCapture log;
    auto r = ToStereoS16(48000, 48000);
    ASSERT_NE(r->Resample(Tone(48000, 1152).get()), nullptr);
    ASSERT_NE(r->Resample(Tone(48000, 5000).get()), nullptr);  // leaves 7 retired
    ASSERT_EQ(r->retired.size(), 7u);
    EXPECT_TRUE(log.lines().empty());

    auto stereo = Tone(44100, 1024, AV_CH_LAYOUT_STEREO, AV_SAMPLE_FMT_S16P);
    AVFrame* out = r->Resample(stereo.get());
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(log.lines().size(), 1u);
    const std::string line = log.lines()[0];
    EXPECT_EQ(line.rfind("INFO[VIZur] VIZur(", 0), 0u) << line;
    EXPECT_NE(line.find("): format changed, (4, 48000, 8) ==> (3, 44100, 6)\n"), std::string::npos)
        << line;
    EXPECT_EQ(r->in_channel_layout, uint64_t{AV_CH_LAYOUT_STEREO});
    EXPECT_EQ(r->in_sample_rate, 44100);
    EXPECT_EQ(out->format, AV_SAMPLE_FMT_S16);
    EXPECT_EQ(out->ch_layout.nb_channels, 2);
    // Earlier frames were freed at once; the ring kept its capacity.
    EXPECT_TRUE(r->retired.empty());
    EXPECT_EQ(r->ring.frames.size(), 8u);
    EXPECT_EQ(r->ring.nb_samples, 5000);

    // Channel layout alone counts as a change too.
    log.clear();
    ASSERT_NE(r->Resample(Tone(44100, 1024, AV_CH_LAYOUT_MONO, AV_SAMPLE_FMT_S16P).get()), nullptr);
    EXPECT_EQ(log.count_containing("format changed"), 1u);
}

// A stream whose format alternates frame by frame (hostile or broken input)
// reopens nothing after the first round: each format keeps its context and
// the ring stays.  Too many formats evict the least recently used.
TEST(Resampler, AlternatingFormatsReuseTheirContextsAndTheRing) {
    auto r = ToStereoS16(48000, 48000);
    const auto a = Tone(48000, 960);
    const auto b = Tone(44100, 882, AV_CH_LAYOUT_STEREO, AV_SAMPLE_FMT_S16P);
    const auto c = Tone(32000, 640);
    ASSERT_NE(r->Resample(Tone(48000, 4000).get()), nullptr);  // sizes the ring once
    const std::vector<AVFrame*> ring = r->ring.frames;
    int64_t out_b = 0;
    for (int i = 0; i < 300; ++i) {
        const AVFrame* in = i % 3 == 0 ? a.get() : i % 3 == 1 ? b.get() : c.get();
        AVFrame* out = r->Resample(in);
        if (in == b.get() && out) out_b += out->nb_samples;
        // The same-rate format has no delay: its samples come out exactly
        // (mono goes to both sides 3 dB down).
        if (in == a.get()) {
            ASSERT_NE(out, nullptr);
            ASSERT_EQ(out->nb_samples, 960) << i;
            const auto* left = reinterpret_cast<const float*>(a->extended_data[0]);
            const auto* pcm = reinterpret_cast<const int16_t*>(out->data[0]);
            ASSERT_NEAR(pcm[2 * 500], left[500] * 32767 * M_SQRT1_2, 1.0) << i;
        }
    }
    EXPECT_EQ(r->opened, 3u);
    EXPECT_EQ(r->ring.frames, ring);
    // Every 44.1 kHz frame's 20 ms arrive at 48 kHz, less the filter's delay.
    EXPECT_NEAR(double(out_b), 100 * 960.0, 100.0);

    // Five formats in turn: one more than are kept, so each comes back to a
    // context closed meanwhile.
    const auto d = Tone(22050, 441), e = Tone(16000, 320);
    const AVFrame* five[] = {a.get(), b.get(), c.get(), d.get(), e.get()};
    for (int i = 0; i < 10; ++i) r->Resample(five[i % 5]);
    EXPECT_EQ(r->opened, 3u + 2u + 5u);
}

TEST(Resampler, RecoversAfterAFormatItCannotOpen) {
    auto r = ToStereoS16(48000, 48000);
    ASSERT_NE(r->Resample(Tone(48000, 100).get()), nullptr);

    auto rateless = Tone(48000, 100);
    rateless->sample_rate = 0;
    EXPECT_THROW(r->Resample(rateless.get()), vemx::frame::ComError);
    EXPECT_EQ(r->swr, nullptr);
    // Same parameters again: no change seen, but it must not convert without a context.
    EXPECT_THROW(r->Resample(rateless.get()), vemx::frame::ComError);

    AVFrame* out = r->Resample(Tone(48000, 100).get());
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->nb_samples, 100);
}

TEST(Resampler, FrameWithoutNativeOrderMapsToTheDefaultLayout) {
    LogCapture log;
    auto r = ToStereoS16(48000, 48000, AV_CH_LAYOUT_STEREO, AV_SAMPLE_FMT_S16P);
    auto in = Tone(48000, 64, AV_CH_LAYOUT_STEREO, AV_SAMPLE_FMT_S16P);
    av_channel_layout_uninit(&in->ch_layout);
    in->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
    in->ch_layout.nb_channels = 2;
    ASSERT_NE(r->Resample(in.get()), nullptr);
    EXPECT_TRUE(log.lines().empty());
}
