#include "audio/mediaencoder.h"

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
}

#include <new>
#include <string_view>

#include "frame/codec_names.h"
#include "frame/error.h"
#include "frame/log.h"
#include "frame/vemx.h"
#include "platform/text.h"

namespace vemx::mediaencoder {

using frame::ComError;
using frame::LogPrint;
using frame::RaiseComError;
using platform::iequals;
using platform::widen;

namespace {

constexpr char kInfo[] = "INFO[vemx|mediaencoder] ";
constexpr char kError[] = "ERROR[vemx|mediaencoder] ";
constexpr wchar_t kSource[] = L"mediaencoder";
constexpr wchar_t kInitName[] = L"vemx::mediaencoder::MediaEncoder::Init";
constexpr AVRational kHns{1, 10000000};

void NoCallback(int64_t, int64_t, const uint8_t*, int64_t, void*) {}

// The profiles an encoder knows: its own list, else its codec's.
const AVProfile* profiles_of(const AVCodec* codec) {
    if (codec->profiles) return codec->profiles;
    const AVCodecDescriptor* desc = avcodec_descriptor_get(codec->id);
    return desc ? desc->profiles : nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// AudioEncoder

AudioEncoder::~AudioEncoder() {
    av_channel_layout_uninit(&settings_.ch_layout);
}

void AudioEncoder::Create() {
    if (ctx_) RaiseComError(frame::E_FAIL, kSource, __LINE__);
    if (codec_id != AV_CODEC_ID_NONE)
        codec_ = avcodec_find_encoder(codec_id);
    else if (!codec_name.empty())
        codec_ = avcodec_find_encoder_by_name(codec_name.c_str());
    if (!codec_ || codec_->type != AVMEDIA_TYPE_AUDIO)
        RaiseComError(frame::E_INVALIDARG, kSource, __LINE__);
    ctx_.reset(avcodec_alloc_context3(codec_));
    frame_.reset(av_frame_alloc());
    scratch_.reset(av_packet_alloc());
    if (!ctx_ || !frame_ || !scratch_) RaiseComError(frame::E_OUTOFMEMORY, kSource, __LINE__);
    for (int i = 0; i < kPoolSize; ++i) {
        pool_.emplace_back(av_packet_alloc());
        if (!pool_.back()) RaiseComError(frame::E_OUTOFMEMORY, kSource, __LINE__);
    }
}

void AudioEncoder::Open(const AVDictionary* options) {
    AVCodecContext* c = ctx_.get();
    frame_->sample_rate = c->sample_rate;
    frame_->format = c->sample_fmt;
    av_channel_layout_copy(&frame_->ch_layout, &c->ch_layout);
    input_fmt = c->sample_fmt;

    if (!frame::supports_sample_fmt(codec_, c->sample_fmt)) {
        use_resampler_ = true;
        const uint64_t mask = VIZur::ChannelMask(c->ch_layout);
        resampler_.in_channel_layout = mask;
        resampler_.in_sample_rate = c->sample_rate;
        resampler_.in_sample_fmt = c->sample_fmt;
        resampler_.out_channel_layout = mask;
        resampler_.out_sample_rate = c->sample_rate;
        resampler_.out_sample_fmt = codec_->sample_fmts[0];
        resampler_.Init();
        c->sample_fmt = codec_->sample_fmts[0];
    }
    // Audio timestamps count samples unless the encoder decides otherwise.
    if (c->time_base.num <= 0 || c->time_base.den <= 0)
        c->time_base = AVRational{1, c->sample_rate};

    settings_.sample_fmt = c->sample_fmt;
    settings_.sample_rate = c->sample_rate;
    av_channel_layout_copy(&settings_.ch_layout, &c->ch_layout);
    settings_.bit_rate = c->bit_rate;
    settings_.profile = c->profile;
    settings_.flags = c->flags;
    AVDictionary* kept = nullptr;
    av_dict_copy(&kept, options, 0);
    options_.reset(kept);

    OpenContext();

    block_align_ = av_get_bytes_per_sample(input_fmt) * c->ch_layout.nb_channels;
    char layout[256] = "";
    av_channel_layout_describe(&c->ch_layout, layout, sizeof layout);
    LogPrint(kInfo,
             "Audio encoder: %s %s/%s %dHz %dch/%s %dbps %d/%d, (frame_size=%d, useResampler=%d, "
             "blockAlign=%d)",
             codec_->name, av_get_sample_fmt_name(input_fmt), av_get_sample_fmt_name(c->sample_fmt),
             c->sample_rate, c->ch_layout.nb_channels, layout, static_cast<int>(c->bit_rate),
             c->time_base.num, c->time_base.den, c->frame_size, use_resampler_ ? 1 : 0,
             block_align_);
}

void AudioEncoder::OpenContext() {
    AVDictionary* opts = nullptr;
    av_dict_copy(&opts, options_.get(), 0);
    const int ret = avcodec_open2(ctx_.get(), codec_, &opts);
    av_dict_free(&opts);
    if (ret < 0) {
        char text[512];
        av_strerror(ret, text, sizeof text);
        LogPrint(kError, "%s(%d): avcodec_open2 failed, %s(err=%d)",
                 "vemx::mediaencoder::AudioEncoder::Open", __LINE__, text, ret);
        ctx_.reset();
        frame_.reset();
        pool_.clear();
        RaiseComError(frame::E_FAIL, kSource, __LINE__);
    }
}

// None of the eight encoders can flush in place (AV_CODEC_CAP_ENCODER_FLUSH),
// so a drained encoder is rebuilt with the settings and options it was first
// opened with.
void AudioEncoder::Restart() {
    draining_ = false;
    const AVRational time_base = ctx_->time_base;
    ctx_.reset(avcodec_alloc_context3(codec_));
    if (!ctx_) RaiseComError(frame::E_OUTOFMEMORY, kSource, __LINE__);
    AVCodecContext* c = ctx_.get();
    c->sample_fmt = settings_.sample_fmt;
    c->sample_rate = settings_.sample_rate;
    av_channel_layout_copy(&c->ch_layout, &settings_.ch_layout);
    c->bit_rate = settings_.bit_rate;
    c->profile = settings_.profile;
    c->flags = settings_.flags;
    c->time_base = time_base;
    OpenContext();
}

bool AudioEncoder::PrepareFrame(const uint8_t* data, int size, int64_t pts) {
    if (!data || size < block_align_ || block_align_ <= 0) return false;
    frame_->data[0] = const_cast<uint8_t*>(data);
    frame_->linesize[0] = size;
    frame_->nb_samples = size / block_align_;
    // Truncating, as integer division would, without overflowing.
    frame_->pts = av_rescale_rnd(pts, ctx_->time_base.den, int64_t{ctx_->time_base.num} * 10000000,
                                 AV_ROUND_ZERO);
    return true;
}

bool AudioEncoder::Receive(AVPacket* pkt) {
    const int ret = avcodec_receive_packet(ctx_.get(), pkt);
    if (ret == 0) return true;
    if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF)
        frame::ReportObject(L"vemx", kSource, __LINE__,
                            L"vemx::mediaencoder::AudioEncoder::_DirectEncode", this,
                            L"avcodec_encode_audio2: errno=" + std::to_wstring(ret));
    return false;
}

bool AudioEncoder::DirectEncode(AVPacket* pkt, const AVFrame* frame) {
    if (!frame) return Receive(pkt);
    if (draining_) Restart();
    int ret = avcodec_send_frame(ctx_.get(), frame);
    bool got = false;
    if (ret == AVERROR(EAGAIN)) {
        // Packets are waiting: the oldest goes out now, the frame goes in.
        got = Receive(pkt);
        ret = avcodec_send_frame(ctx_.get(), frame);
    }
    if (ret < 0) {
        frame::ReportObject(L"vemx", kSource, __LINE__,
                            L"vemx::mediaencoder::AudioEncoder::_DirectEncode", this,
                            L"avcodec_encode_audio2: errno=" + std::to_wstring(ret));
        return got;
    }
    return got || Receive(pkt);
}

bool AudioEncoder::Step(AVPacket* pkt, AVFrame* frame) {
    if (!frame || !use_resampler_) return DirectEncode(pkt, frame);
    AVFrame* converted;
    try {
        converted = resampler_.Resample(frame);
    } catch (const ComError&) {
        return false;  // reported where it was raised; this buffer is lost
    }
    if (!converted) return false;
    converted->pts = frame->pts;
    converted->sample_rate = frame->sample_rate;
    return DirectEncode(pkt, converted);
}

void AudioEncoder::Encode(const uint8_t* data, int size, int64_t pts) {
    if (!ctx_ || !PrepareFrame(data, size, pts)) return;
    AVPacket* pkt = scratch_.get();
    bool got = Step(pkt, frame_.get());
    while (got) {
        av_packet_rescale_ts(pkt, ctx_->time_base, kHns);
        callback(pkt->pts, pkt->dts, pkt->data, pkt->size, user);
        av_packet_unref(pkt);
        got = Step(pkt, nullptr);
    }
}

bool AudioEncoder::Deliver(AVPacket* pkt, Output& out) {
    av_packet_rescale_ts(pkt, ctx_->time_base, kHns);
    out = Output{pkt->data, pkt->size, pkt->pts, pkt->dts};
    pool_.push_back(std::move(pool_.front()));
    pool_.pop_front();
    return true;
}

bool AudioEncoder::Encode1(const uint8_t* data, int size, int64_t pts, Output& out) {
    out = Output{};
    if (!ctx_) return false;
    AVPacket* pkt = pool_.front().get();
    av_packet_unref(pkt);
    if (!PrepareFrame(data, size, pts) || !Step(pkt, frame_.get())) return false;
    return Deliver(pkt, out);
}

bool AudioEncoder::EncodeMore(Output& out) {
    out = Output{};
    if (!ctx_) return false;
    AVPacket* pkt = pool_.front().get();
    av_packet_unref(pkt);
    if (Step(pkt, nullptr)) return Deliver(pkt, out);
    if (draining_) return false;
    // Nothing ready: drain what the encoder still holds.
    draining_ = true;
    const int ret = avcodec_send_frame(ctx_.get(), nullptr);
    if (ret < 0 && ret != AVERROR_EOF) return false;
    return Step(pkt, nullptr) && Deliver(pkt, out);
}

// ---------------------------------------------------------------------------
// MediaEncoder

int MediaEncoder::SetOption(const char* key, const char* value) {
    if (!key) return AVERROR(EINVAL);
    AVDictionary* d = options_.release();
    const int ret = av_dict_set(&d, key, value, 0);
    options_.reset(d);
    return ret;
}

void MediaEncoder::ApplyLayerTwoRule(AVCodecContext* ctx) {
    static constexpr int kFull[] = {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
    static constexpr int kHalf[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    const int* table = nullptr;
    for (int rate : {44100, 48000, 32000}) {
        if (sampleRate == rate)
            table = kFull;
        else if (sampleRate == rate / 2)
            table = kHalf;
        if (table) break;
    }
    if (!table) {
        LogPrint(kError, "%s(%d): Sampling rate %d is not allowed in mp2",
                 "vemx::mediaencoder::MediaEncoder::Init", __LINE__, sampleRate);
        RaiseComError(frame::E_UNEXPECTED, kSource, __LINE__);
    }
    int chosen = table[13] * 1000;
    for (int i = 0; i < 14; ++i) {
        if (table[i] * 1000 >= bitRate) {
            chosen = table[i] * 1000;
            break;
        }
    }
    if (chosen != bitRate) {
        LogPrint(kInfo, "--> new bit rate = %d", chosen);
        ctx->bit_rate = chosen;
    }
}

void MediaEncoder::Configure(AudioEncoder& enc) {
    enc.Create();
    AVCodecContext* ctx = enc.context();

    LogPrint(kInfo, ".formatName = %s", formatName.c_str());
    const AVSampleFormat fmt = frame::sample_format_by_name(formatName);
    if (fmt == AV_SAMPLE_FMT_NONE) {
        frame::ReportObject(L"vemx", kSource, __LINE__, kInitName, this,
                            L"unexpected format name = " + widen(formatName));
        RaiseComError(frame::E_UNEXPECTED, kSource, __LINE__);
    }
    ctx->sample_fmt = fmt;

    LogPrint(kInfo, ".sampleRate = %d", sampleRate);
    ctx->sample_rate = sampleRate;

    LogPrint(kInfo, ".channels = %d", channels);
    if (channels != 0) {
        av_channel_layout_uninit(&ctx->ch_layout);
        av_channel_layout_default(&ctx->ch_layout, channels);
    } else if (!channelLayoutName.empty()) {
        av_channel_layout_uninit(&ctx->ch_layout);
        if (av_channel_layout_from_string(&ctx->ch_layout, channelLayoutName.c_str()) < 0) {
            frame::ReportObject(L"vemx", kSource, __LINE__, kInitName, this,
                                L"unknown channel layout name = " + widen(channelLayoutName));
            RaiseComError(frame::E_UNEXPECTED, kSource, __LINE__);
        }
    } else {
        frame::ReportObject(L"vemx", kSource, __LINE__, kInitName, this,
                            L"channels == 0 && channelLayoutName is empty");
        RaiseComError(frame::E_UNEXPECTED, kSource, __LINE__);
    }

    LogPrint(kInfo, ".bitRate = %d", bitRate);
    ctx->bit_rate = bitRate;
    if (bitRate != 0 && enc.codec()->id == AV_CODEC_ID_MP2) ApplyLayerTwoRule(ctx);

    LogPrint(kInfo, ".profile = %s", profile.c_str());
    if (!profile.empty()) {
        for (const AVProfile* p = profiles_of(enc.codec()); p && p->profile != FF_PROFILE_UNKNOWN;
             ++p) {
            if (iequals(p->name, profile)) {
                ctx->profile = p->profile;
                break;
            }
        }
    }

    LogPrint(kInfo, ".globalHeader = %d", globalHeader);
    if (globalHeader) ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    enc.Open(options_.get());
}

int MediaEncoder::Init() {
    const AVCodecID id = frame::codec_by_name(codecName, AVMEDIA_TYPE_AUDIO, frame::kEncoder);
    if (id == AV_CODEC_ID_NONE) {
        frame::ReportObject(L"vemx", kSource, __LINE__, kInitName, this,
                            L"unknown encoder name: " + widen(codecName));
        return 0;
    }
    std::unique_ptr<AudioEncoder> enc(new (std::nothrow) AudioEncoder);
    if (!enc) {
        frame::ReportObject(L"vemx", kSource, __LINE__, kInitName, this, L"out of memory");
        return 0;
    }
    LogPrint(kInfo, ".codecName = %s", codecName.c_str());
    enc->codec_id = id;
    try {
        Configure(*enc);
    } catch (const ComError&) {
        return 0;  // reported where raised; the handle keeps no new encoder
    }
    enc->callback = callback ? callback : NoCallback;
    enc->user = user;
    encoder_ = std::move(enc);
    return 1;
}

void MediaEncoder::GetFrameSize(int* frame_size) const {
    constexpr const char* kName = "vemx::mediaencoder::MediaEncoder::GetFrameSize";
    if (!frame_size) {
        LogPrint(kError, "%s(%d): null pointer", kName, __LINE__);
        return;
    }
    auto* audio = dynamic_cast<AudioEncoder*>(encoder_.get());
    if (!audio || !audio->context()) {
        LogPrint(kError, "%s(%d): failed to cast to AudioEncoder", kName, __LINE__);
        return;
    }
    *frame_size = audio->context()->frame_size;
}

}  // namespace vemx::mediaencoder

// ---------------------------------------------------------------------------
// Exports

using vemx::frame::FromHandle;
using vemx::frame::Guarded;
using vemx::mediaencoder::MediaEncoder;
using vemx::mediaencoder::Output;

namespace {

MediaEncoder* E(void* handle) {
    return FromHandle<MediaEncoder>(handle);
}

bool OutputsPresent(const char* function, const uint8_t** out_data, int64_t* out_size,
                    int64_t* out_pts, int64_t* out_dts, int line) {
    if (out_data && out_size && out_pts && out_dts) return true;
    vemx::frame::LogPrint("ERROR[vemx|mediaencoder] ", "%s(%d): null pointer", function, line);
    return false;
}

int Hand(bool got, const Output& out, const uint8_t** out_data, int64_t* out_size, int64_t* out_pts,
         int64_t* out_dts) {
    *out_data = out.data;
    *out_size = out.size;
    *out_pts = out.pts;
    *out_dts = out.dts;
    return got ? 1 : 0;
}

}  // namespace

VEMX_EXPORT void* vemx_mediaencoder_new(void) {
    return Guarded("vemx_mediaencoder_new", static_cast<void*>(nullptr), [] {
        vemx::frame::GlobalInit();
        return vemx::frame::NewHandle<MediaEncoder>();
    });
}

VEMX_EXPORT void vemx_mediaencoder_addref(void* encoder) {
    vemx::frame::AddRefHandle(encoder);
}

VEMX_EXPORT void vemx_mediaencoder_release(void* encoder) {
    Guarded("vemx_mediaencoder_release", [&] { vemx::frame::ReleaseHandle(encoder); });
}

VEMX_EXPORT void vemx_mediaencoder_set_codec_name(void* encoder, const char* name) {
    Guarded("vemx_mediaencoder_set_codec_name", [&] { E(encoder)->codecName = name ? name : ""; });
}

VEMX_EXPORT void vemx_mediaencoder_set_format_name(void* encoder, const char* name) {
    Guarded("vemx_mediaencoder_set_format_name",
            [&] { E(encoder)->formatName = name ? name : ""; });
}

VEMX_EXPORT void vemx_mediaencoder_set_channel_layout_name(void* encoder, const char* name) {
    Guarded("vemx_mediaencoder_set_channel_layout_name",
            [&] { E(encoder)->channelLayoutName = name ? name : ""; });
}

VEMX_EXPORT void vemx_mediaencoder_set_profile(void* encoder, const char* name) {
    Guarded("vemx_mediaencoder_set_profile", [&] { E(encoder)->profile = name ? name : ""; });
}

VEMX_EXPORT void vemx_mediaencoder_set_sample_rate(void* encoder, int sample_rate) {
    Guarded("vemx_mediaencoder_set_sample_rate", [&] { E(encoder)->sampleRate = sample_rate; });
}

VEMX_EXPORT void vemx_mediaencoder_set_channels(void* encoder, int channels) {
    Guarded("vemx_mediaencoder_set_channels", [&] { E(encoder)->channels = channels; });
}

VEMX_EXPORT void vemx_mediaencoder_set_bit_rate(void* encoder, int bit_rate) {
    Guarded("vemx_mediaencoder_set_bit_rate", [&] { E(encoder)->bitRate = bit_rate; });
}

VEMX_EXPORT void vemx_mediaencoder_set_global_header(void* encoder, int global_header) {
    Guarded("vemx_mediaencoder_set_global_header",
            [&] { E(encoder)->globalHeader = global_header; });
}

VEMX_EXPORT int vemx_mediaencoder_set_option(void* encoder, const char* key, const char* value) {
    return Guarded("vemx_mediaencoder_set_option", AVERROR(EINVAL),
                   [&] { return E(encoder)->SetOption(key, value); });
}

VEMX_EXPORT void vemx_mediaencoder_set_callback(void* encoder,
                                                vemx_mediaencoder_callback_t callback, void* user) {
    Guarded("vemx_mediaencoder_set_callback", [&] {
        E(encoder)->callback = callback;
        E(encoder)->user = user;
    });
}

VEMX_EXPORT int vemx_mediaencoder_init(void* encoder) {
    return Guarded("vemx_mediaencoder_init", 0, [&] { return E(encoder)->Init(); });
}

VEMX_EXPORT void vemx_mediaencoder_get_frame_size(void* encoder, int* frame_size) {
    Guarded("vemx_mediaencoder_get_frame_size", [&] { E(encoder)->GetFrameSize(frame_size); });
}

VEMX_EXPORT void vemx_mediaencoder_encode(void* encoder, const uint8_t* data, int size,
                                          int64_t pts) {
    Guarded("vemx_mediaencoder_encode", [&] {
        if (auto* impl = E(encoder)->encoder()) impl->Encode(data, size, pts);
    });
}

VEMX_EXPORT int vemx_mediaencoder_encode1(void* encoder, const uint8_t* data, int size, int64_t pts,
                                          const uint8_t** out_data, int64_t* out_size,
                                          int64_t* out_pts, int64_t* out_dts) {
    return Guarded("vemx_mediaencoder_encode1", 0, [&] {
        auto* impl = E(encoder)->encoder();
        if (!impl) return 0;
        if (!OutputsPresent("vemx::mediaencoder::MediaEncoder::Encode1", out_data, out_size,
                            out_pts, out_dts, __LINE__))
            return 0;
        Output out;
        const bool got = impl->Encode1(data, size, pts, out);
        return Hand(got, out, out_data, out_size, out_pts, out_dts);
    });
}

VEMX_EXPORT int vemx_mediaencoder_encode_more(void* encoder, const uint8_t** out_data,
                                              int64_t* out_size, int64_t* out_pts,
                                              int64_t* out_dts) {
    return Guarded("vemx_mediaencoder_encode_more", 0, [&] {
        auto* impl = E(encoder)->encoder();
        if (!impl) return 0;
        if (!OutputsPresent("vemx::mediaencoder::MediaEncoder::EncodeMore", out_data, out_size,
                            out_pts, out_dts, __LINE__))
            return 0;
        Output out;
        const bool got = impl->EncodeMore(out);
        return Hand(got, out, out_data, out_size, out_pts, out_dts);
    });
}
