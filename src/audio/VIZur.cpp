#include "audio/VIZur.h"

#include <bit>
#include <cinttypes>
#include <memory>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "frame/error.h"
#include "frame/log.h"

namespace VIZur {

using vemx::frame::E_FAIL;
using vemx::frame::LogPrint;
using vemx::frame::RaiseComError;

namespace {

constexpr const wchar_t* kSource = L"VIZur";

struct FrameDeleter {
    void operator()(AVFrame* f) const noexcept { av_frame_free(&f); }
};

}  // namespace

uint64_t ChannelMask(const AVChannelLayout& layout) noexcept {
    if (layout.order == AV_CHANNEL_ORDER_NATIVE) return layout.u.mask;
    AVChannelLayout fallback{};
    av_channel_layout_default(&fallback, layout.nb_channels);
    const uint64_t mask = fallback.order == AV_CHANNEL_ORDER_NATIVE ? fallback.u.mask : 0;
    av_channel_layout_uninit(&fallback);
    return mask;
}

// ---------------------------------------------------------------------------

AVFrameCircularQueue::~AVFrameCircularQueue() { Clear(); }

void AVFrameCircularQueue::Clear() noexcept {
    for (AVFrame*& f : frames) av_frame_free(&f);
    frames.clear();
    index = -1;
}

void AVFrameCircularQueue::Allocate() {
    Clear();
    frames.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        try {
            frames.push_back(AllocFrame());
        } catch (...) {
            Clear();
            throw;
        }
    }
}

AVFrame* AVFrameCircularQueue::Next() noexcept {
    index = (index + 1) % static_cast<int64_t>(frames.size());
    return frames[static_cast<size_t>(index)];
}

void AVFrameCircularQueue::RetireInto(std::deque<AVFrame*>& list) {
    list.insert(list.end(), frames.begin(), frames.end());
    frames.clear();
    index = -1;
}

AVFrame* AudioFrameCircularQueue::AllocFrame() {
    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    if (!frame) RaiseComError(vemx::frame::E_OUTOFMEMORY, kSource, __LINE__);
    frame->format = format;
    av_channel_layout_from_mask(&frame->ch_layout, channel_layout);
    frame->nb_samples = nb_samples;
    // A frame without buffers must never be converted into.
    if (av_frame_get_buffer(frame.get(), align) < 0) RaiseComError(E_FAIL, kSource, __LINE__);
    return frame.release();
}

// ---------------------------------------------------------------------------

Resampler::~Resampler() { Close(); }

void Resampler::Close() noexcept { swr_free(&swr); }

void Resampler::Init() {
    if (swr) RaiseComError(E_FAIL, kSource, __LINE__);
    swr = swr_alloc();
    if (!swr) RaiseComError(E_FAIL, kSource, __LINE__);

    AVChannelLayout in_layout{};
    AVChannelLayout out_layout{};
    av_channel_layout_from_mask(&in_layout, in_channel_layout);
    av_channel_layout_from_mask(&out_layout, out_channel_layout);
    // Refused values surface in swr_init below.
    av_opt_set_chlayout(swr, "in_chlayout", &in_layout, 0);
    av_opt_set_int(swr, "in_sample_rate", in_sample_rate, 0);
    av_opt_set_sample_fmt(swr, "in_sample_fmt", static_cast<AVSampleFormat>(in_sample_fmt), 0);
    av_opt_set_chlayout(swr, "out_chlayout", &out_layout, 0);
    av_opt_set_int(swr, "out_sample_rate", out_sample_rate, 0);
    av_opt_set_sample_fmt(swr, "out_sample_fmt", static_cast<AVSampleFormat>(out_sample_fmt), 0);
    av_channel_layout_uninit(&in_layout);
    av_channel_layout_uninit(&out_layout);

    if (swr_init(swr) < 0) {
        swr_free(&swr);
        RaiseComError(E_FAIL, kSource, __LINE__);
    }
    out_channels = std::popcount(out_channel_layout);
    ++opened;
}

// ---------------------------------------------------------------------------

SimpleResampler::~SimpleResampler() { Reset(); }

void SimpleResampler::FreeRetired() noexcept {
    for (AVFrame*& f : retired) av_frame_free(&f);
    retired.clear();
}

void SimpleResampler::FreeParked() noexcept {
    for (Parked& p : parked_) swr_free(&p.swr);
    parked_.clear();
}

void SimpleResampler::Reset() noexcept {
    Close();
    FreeParked();
    ring.Clear();
    FreeRetired();
}

void SimpleResampler::SwitchInput(uint64_t layout, int32_t rate, int32_t format) {
    if (swr) {
        // A kept context still holds the delay of its last frames; they come
        // out when its format returns, as they would have without the change.
        parked_.push_back({in_channel_layout, in_sample_rate, in_sample_fmt, swr});
        swr = nullptr;
        if (parked_.size() > kParked) {
            swr_free(&parked_.front().swr);
            parked_.pop_front();
        }
    }
    in_channel_layout = layout;
    in_sample_rate = rate;
    in_sample_fmt = format;
    for (auto it = parked_.begin(); it != parked_.end(); ++it) {
        if (it->layout == layout && it->rate == rate && it->format == format) {
            swr = it->swr;
            parked_.erase(it);
            return;
        }
    }
    Init();
}

AVFrame* SimpleResampler::Resample(const AVFrame* in) {
    const uint64_t layout = ChannelMask(in->ch_layout);
    if (layout != in_channel_layout || in->sample_rate != in_sample_rate || in->format != in_sample_fmt) {
        LogPrint("INFO[VIZur] ",
                 "%s(%d): format changed, (%" PRId64 ", %d, %d) ==> (%" PRId64 ", %d, %d)", "VIZur",
                 __LINE__, static_cast<int64_t>(in_channel_layout), in_sample_rate, in_sample_fmt,
                 static_cast<int64_t>(layout), in->sample_rate, in->format);
        // The ring's frames keep the output format and stay; earlier
        // superseded frames go now.
        FreeRetired();
        SwitchInput(layout, in->sample_rate, in->format);
    } else if (!swr) {
        // An earlier reopening failed with these same parameters: try again.
        Init();
    }

    const int32_t out_count = static_cast<int32_t>(
        av_rescale_rnd(swr_get_delay(swr, in_sample_rate) + in->nb_samples, out_sample_rate,
                       in_sample_rate, AV_ROUND_UP));
    if (out_count < 1) return nullptr;

    if (out_count > ring.nb_samples || ring.frames.empty()) {
        ring.RetireInto(retired);
        ring.channel_layout = out_channel_layout;
        ring.format = out_sample_fmt;
        ring.nb_samples = out_count;
        ring.align = frame_align;
        ring.count = static_cast<uint64_t>(ring_size);
        ring.Allocate();
    }

    AVFrame* frame = ring.Next();
    const int converted = swr_convert(swr, frame->data, out_count,
                                      const_cast<const uint8_t**>(in->extended_data), in->nb_samples);
    frame->nb_samples = converted;
    if (!retired.empty()) {
        av_frame_free(&retired.front());
        retired.pop_front();
    }
    if (converted < 0) RaiseComError(E_FAIL, kSource, __LINE__);
    // Everything went into the context's delay buffer.
    if (converted == 0) return nullptr;
    return frame;
}

}  // namespace VIZur
