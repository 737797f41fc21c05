#pragma once
// Audio building blocks shared by the services: a libswresample converter and
// a converter that writes into a ring of reusable output frames.
#include <cstdint>
#include <deque>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

struct SwrContext;

namespace VIZur {

// The 64-bit mask of a channel layout; layouts without a native order map to
// the default layout of their channel count.
uint64_t ChannelMask(const AVChannelLayout& layout) noexcept;

// A ring of owned frames handed out one after the other.
class AVFrameCircularQueue {
public:
    AVFrameCircularQueue() = default;
    AVFrameCircularQueue(const AVFrameCircularQueue&) = delete;
    AVFrameCircularQueue& operator=(const AVFrameCircularQueue&) = delete;
    virtual ~AVFrameCircularQueue();

    // Makes one frame with the ring's parameters; raises on failure.
    virtual AVFrame* AllocFrame() = 0;

    // Frees every frame.
    void Clear() noexcept;
    // Replaces the frames with `count` fresh ones.  On failure the ring is
    // left empty and the error propagates.
    void Allocate();
    // The frame after the one handed out last.  The ring must not be empty.
    AVFrame* Next() noexcept;
    // Moves every frame, in ring order, to the end of `list` without freeing.
    void RetireInto(std::deque<AVFrame*>& list);

    uint64_t count = 8;
    int64_t index = -1;
    std::vector<AVFrame*> frames;
};

class AudioFrameCircularQueue : public AVFrameCircularQueue {
public:
    AVFrame* AllocFrame() override;

    uint64_t channel_layout = 0;
    int32_t nb_samples = 0;
    int32_t format = AV_SAMPLE_FMT_NONE;
    int32_t align = 16;
};

// One conversion context set up from six parameters that the owner writes
// before calling Init.
class Resampler {
public:
    Resampler() = default;
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;
    virtual ~Resampler();

    // Opens the context; raises E_FAIL when one is open already or when the
    // parameters are refused.
    void Init();

    uint64_t in_channel_layout = 0;
    int32_t in_sample_rate = 0;
    int32_t in_sample_fmt = AV_SAMPLE_FMT_NONE;
    uint64_t out_channel_layout = 0;
    int32_t out_sample_rate = 0;
    int32_t out_sample_fmt = AV_SAMPLE_FMT_NONE;
    SwrContext* swr = nullptr;
    int32_t out_channels = 0;
    // Contexts opened by Init over the object's life.
    uint64_t opened = 0;

protected:
    void Close() noexcept;
};

// Converts frames into a ring of eight reusable output frames and follows
// changes of the input format by itself.  A stream whose format alternates
// frame by frame costs no reopening: the contexts of the last few input
// formats are kept, and the ring (whose output format never changes) stays.
class SimpleResampler : public Resampler {
public:
    SimpleResampler() = default;
    ~SimpleResampler() override;

    // The converted frame, or null when there is no output yet.  The frame
    // belongs to the resampler and is valid until the next call.  Raises
    // when the input format changed and cannot be converted, or when the
    // conversion fails.
    AVFrame* Resample(const AVFrame* in);

    // Closes every context and frees every output frame.
    void Reset() noexcept;

    // Input formats whose contexts are kept besides the current one.
    static constexpr size_t kParked = 3;

    int32_t ring_size = 8;
    int32_t frame_align = 16;
    AudioFrameCircularQueue ring;
    std::deque<AVFrame*> retired;

private:
    struct Parked {
        uint64_t layout;
        int32_t rate;
        int32_t format;
        SwrContext* swr;
    };
    void FreeRetired() noexcept;
    void FreeParked() noexcept;
    // Sets the input parameters to the frame's, with a kept context when
    // there is one for them; raises when a new one cannot be opened.
    void SwitchInput(uint64_t layout, int32_t rate, int32_t format);

    std::deque<Parked> parked_;  // least recently used first
};

}  // namespace VIZur
