#pragma once
// Encodes interleaved PCM with one of eight libavcodec audio encoders.
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include "audio/VIZur.h"
#include "frame/handle.h"
#include "vemx/vemx_mediaencoder.h"

struct AVDictionary;

namespace vemx::mediaencoder {

using Callback = vemx_mediaencoder_callback_t;

struct DictFree {
    void operator()(AVDictionary* d) const noexcept { av_dict_free(&d); }
};
struct CodecContextFree {
    void operator()(AVCodecContext* c) const noexcept { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const noexcept { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const noexcept { av_packet_free(&p); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

// One packet handed out as results.
struct Output {
    const uint8_t* data = nullptr;
    int64_t size = 0, pts = 0, dts = 0;
};

class MediaEncoderImpl {
  public:
    virtual ~MediaEncoderImpl() = default;
    virtual void Encode(const uint8_t* data, int size, int64_t pts) = 0;
    virtual bool Encode1(const uint8_t* data, int size, int64_t pts, Output& out) = 0;
    virtual bool EncodeMore(Output& out) = 0;
};

// The settings an encoder context is opened with, kept so that the context
// can be rebuilt after a drain.
struct ContextSettings {
    AVSampleFormat sample_fmt = AV_SAMPLE_FMT_NONE;
    int sample_rate = 0;
    AVChannelLayout ch_layout{};
    int64_t bit_rate = 0;
    int profile = FF_PROFILE_UNKNOWN;
    int flags = 0;
};

class AudioEncoder : public MediaEncoderImpl {
  public:
    static constexpr int kPoolSize = 16;

    AudioEncoder() = default;
    ~AudioEncoder() override;

    // Finds the encoder and allocates the context, frame and packet pool.
    void Create();
    // Opens the encoder with the settings now in the context.
    void Open(const AVDictionary* options);

    void Encode(const uint8_t* data, int size, int64_t pts) override;
    bool Encode1(const uint8_t* data, int size, int64_t pts, Output& out) override;
    bool EncodeMore(Output& out) override;

    AVCodecContext* context() const noexcept { return ctx_.get(); }
    const AVCodec* codec() const noexcept { return codec_; }
    bool use_resampler() const noexcept { return use_resampler_; }
    int block_align() const noexcept { return block_align_; }

    Callback callback = nullptr;
    void* user = nullptr;
    AVCodecID codec_id = AV_CODEC_ID_NONE;
    std::string codec_name;
    AVSampleFormat input_fmt = AV_SAMPLE_FMT_NONE;  // the caller's

  private:
    bool PrepareFrame(const uint8_t* data, int size, int64_t pts);
    // One frame (or none) in, at most one packet out.
    bool Step(AVPacket* pkt, AVFrame* frame);
    bool DirectEncode(AVPacket* pkt, const AVFrame* frame);
    bool Receive(AVPacket* pkt);
    bool Deliver(AVPacket* pkt, Output& out);
    void OpenContext();
    void Restart();

    const AVCodec* codec_ = nullptr;
    std::unique_ptr<AVCodecContext, CodecContextFree> ctx_;
    std::unique_ptr<AVFrame, FrameFree> frame_;
    PacketPtr scratch_;
    std::deque<PacketPtr> pool_;
    int block_align_ = 0;
    bool use_resampler_ = false;
    VIZur::SimpleResampler resampler_;
    ContextSettings settings_;
    std::unique_ptr<AVDictionary, DictFree> options_;
    bool draining_ = false;
};

class MediaEncoder : public frame::RefCounted {
  public:
    MediaEncoder() = default;
    ~MediaEncoder() override = default;

    int Init();
    void GetFrameSize(int* frame_size) const;
    int SetOption(const char* key, const char* value);
    MediaEncoderImpl* encoder() const noexcept { return encoder_.get(); }

    std::string codecName;
    std::string formatName;
    int sampleRate = 0;
    int channels = 0;
    std::string channelLayoutName;
    int bitRate = 0;
    std::string profile;
    int globalHeader = 0;
    Callback callback = nullptr;
    void* user = nullptr;

  private:
    void Configure(AudioEncoder& enc);
    void ApplyLayerTwoRule(AVCodecContext* ctx);

    std::unique_ptr<AVDictionary, DictFree> options_;
    std::unique_ptr<MediaEncoderImpl> encoder_;
};

}  // namespace vemx::mediaencoder
