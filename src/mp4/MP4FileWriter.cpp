#include "mp4/MP4FileWriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <string_view>

#include "frame/codec_names.h"
#include "frame/vemx.h"
#include "platform/text.h"
#include "vemx/vemx_mp4filewriter.h"

namespace vemx::mp4filewriter {

using frame::codec_by_name;
using platform::iequals;
using platform::widen;

namespace {

constexpr wchar_t kSource[] = L"MP4FileWriter";
constexpr wchar_t kInit[] = L"vemx::mp4filewriter::MP4FileWriter::Init";
constexpr wchar_t kWriteVideo[] = L"vemx::mp4filewriter::MP4FileWriter::WriteVideoFrame";
constexpr wchar_t kWriteAudio[] = L"vemx::mp4filewriter::MP4FileWriter::WriteAudioFrame";
constexpr wchar_t kFinish[] = L"vemx::mp4filewriter::MP4FileWriter::~MP4FileWriter";
constexpr AVRational kHns{1, 10000000};
constexpr char kProtocols[] = "file";

// "err=<code> (<FFmpeg's text>)"
std::wstring error_text(int err) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, text, sizeof text);
    return L"err=" + std::to_wstring(err) + L" (" + widen(text) + L")";
}

// Caller times are arbitrary 64-bit values: differences saturate rather
// than wrap, and never become INT64_MIN, which means "no time".
int64_t time_since(int64_t t, int64_t base) {
    int64_t d;
    if (__builtin_sub_overflow(t, base, &d)) return t < base ? INT64_MIN + 1 : INT64_MAX;
    return d == INT64_MIN ? INT64_MIN + 1 : d;
}

// Rescales without av_rescale_q's habit of turning an overflow into
// AV_NOPTS_VALUE; the ends of the range stay the ends.
int64_t to_stream_time(int64_t t, AVRational time_base) {
    return av_rescale_q_rnd(t, kHns, time_base,
                            static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
}

struct CodecContextFree {
    void operator()(AVCodecContext* c) const noexcept { avcodec_free_context(&c); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;

}  // namespace

void FormatContextCloser::operator()(AVFormatContext* ctx) const noexcept {
    if (!(ctx->oformat->flags & AVFMT_NOFILE)) avio_closep(&ctx->pb);
    avformat_free_context(ctx);
}

void PacketFree::operator()(AVPacket* pkt) const noexcept {
    av_packet_free(&pkt);
}

// A full disk shows up here at the latest: the trailer carries the index,
// and closing flushes what the buffer still holds.
MP4FileWriter::~MP4FileWriter() {
    if (!ctx_) return;
    if (header_written_) {
        const int ret = av_write_trailer(ctx_.get());
        if (ret < 0) Report(__LINE__, kFinish, L"av_write_trailer", ret);
    }
    if (ctx_->pb && !(ctx_->oformat->flags & AVFMT_NOFILE)) {
        const int ret = avio_closep(&ctx_->pb);
        if (ret < 0) Report(__LINE__, kFinish, L"avio_closep", ret);
    }
}

void MP4FileWriter::SetVideoProperty(const char* video_type, int width, int height,
                                     const char* pix_fmt, int fps_num, int fps_den) {
    video_type_ = video_type ? video_type : "";
    width_ = width;
    height_ = height;
    pix_fmt_ = pix_fmt ? pix_fmt : "";
    fps_num_ = fps_num;
    fps_den_ = fps_den;
}

void MP4FileWriter::SetAudioProperty(const char* audio_type, int channels, const char* sample_fmt,
                                     int sample_rate) {
    audio_type_ = audio_type ? audio_type : "";
    channels_ = channels;
    sample_fmt_ = sample_fmt ? sample_fmt : "";
    sample_rate_ = sample_rate;
}

void MP4FileWriter::SetFilename(const char* filename) {
    filename_ = filename ? filename : "";
}

void MP4FileWriter::Error(int line, const std::wstring& text) const {
    frame::ReportObject(L"vemx", kSource, line, kInit, this, text);
}

void MP4FileWriter::Report(int line, const wchar_t* function, const wchar_t* call,
                           int err) const noexcept {
    try {
        frame::ReportObject(L"vemx", kSource, line, function, this,
                            std::wstring(call) + L", " + error_text(err));
    } catch (...) {
        // Out of memory for the text: nothing more can be said.
    }
}

int MP4FileWriter::Init() {
    frame::GlobalInit();
    if (ctx_) {
        Error(__LINE__, L"reinit");
        return 0;
    }
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, nullptr, filename_.c_str()) < 0 || !raw) {
        Error(__LINE__, L"avformat_alloc_output_context2 failed");
        return 0;
    }
    ctx_.reset(raw);
    // Plain files only: a name is never a URL, for the container and for any
    // file the muxer opens itself.
    ctx_->protocol_whitelist = av_strdup(kProtocols);
    if (!ctx_->protocol_whitelist) {
        Error(__LINE__, L"av_strdup failed");
        return 0;
    }
    if (!packet_) {
        packet_.reset(av_packet_alloc());
        if (!packet_) {
            Error(__LINE__, L"av_packet_alloc failed");
            return 0;
        }
    }
    if (!video_type_.empty() && !AddVideoStream()) return 0;
    if (!audio_type_.empty() && !AddAudioStream()) return 0;

    if (!(ctx_->oformat->flags & AVFMT_NOFILE)) {
        // The "file:" prefix makes the protocol take the whole name as a path,
        // colons included; the whitelist refuses every other protocol.
        AVDictionary* options = nullptr;
        av_dict_set(&options, "protocol_whitelist", kProtocols, 0);
        const int ret = avio_open2(&ctx_->pb, ("file:" + filename_).c_str(), AVIO_FLAG_WRITE,
                                   nullptr, &options);
        av_dict_free(&options);
        if (ret < 0) {
            Error(__LINE__, L"avio_open, err=" + std::to_wstring(ret));
            return 0;
        }
    }
    AVDictionary* options = nullptr;
    if (fragmented_) {
        // A reader follows the file: each fragment goes to disk as it closes.
        // No empty moov: the H.264/HEVC description is only known from the
        // first key frame, so moov goes out with the first fragment.
        av_dict_set(&options, "movflags", "frag_keyframe+default_base_moof", 0);
        ctx_->flush_packets = 1;
    }
    const int ret = avformat_write_header(ctx_.get(), &options);
    av_dict_free(&options);
    if (ret < 0) {
        Error(__LINE__, L"avformat_write_header, err=" + std::to_wstring(ret));
        return 0;
    }
    header_written_ = true;
    return 1;
}

// The video stream is described without opening an encoder: an encoder would
// put its own parameter sets into the description, which would not match the
// caller's frames.  The container takes them from the first frame instead.
bool MP4FileWriter::AddVideoStream() {
    const AVCodecID id = codec_by_name(video_type_, AVMEDIA_TYPE_VIDEO, frame::kMp4Writer);
    if (id == AV_CODEC_ID_NONE) {
        Error(__LINE__, L"unsupported video_type=" + widen(video_type_));
        return false;
    }
    const AVCodec* codec = avcodec_find_encoder(id);
    if (!codec) {
        Error(__LINE__, L"libKESTREL unsupported video_type=" + widen(video_type_));
        return false;
    }
    CodecContextPtr cc(avcodec_alloc_context3(codec));
    if (!cc) {
        Error(__LINE__, L"avcodec_alloc_context3 failed, " + widen(codec->name));
        return false;
    }
    cc->width = width_;
    cc->height = height_;
    if (ctx_->oformat->flags & AVFMT_GLOBALHEADER) cc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (!iequals(pix_fmt_, "yv12")) {
        Error(__LINE__, L"unsupported pix_fmt=" + widen(pix_fmt_));
        return false;
    }
    cc->pix_fmt = AV_PIX_FMT_YUV420P;
    cc->time_base = AVRational{fps_den_, fps_num_};

    AVStream* st = avformat_new_stream(ctx_.get(), codec);
    if (!st) {
        Error(__LINE__, L"avformat_new_stream failed");
        return false;
    }
    st->avg_frame_rate = AVRational{fps_num_, fps_den_};
    if (avcodec_parameters_from_context(st->codecpar, cc.get()) < 0) {
        Error(__LINE__, L"avcodec_parameters_from_context failed");
        return false;
    }
    video_stream_ = st;
    return true;
}

// The audio encoder is opened to validate and describe the stream (rate,
// channels, frame size and, for AAC, the decoder configuration).  Encoders
// that do not take the caller's "u8"/"s16" are opened with a format they
// take: only the description is used, never the encoder.
bool MP4FileWriter::AddAudioStream() {
    const AVCodecID id = codec_by_name(audio_type_, AVMEDIA_TYPE_AUDIO, frame::kMp4Writer);
    if (id == AV_CODEC_ID_NONE) {
        Error(__LINE__, L"unsupported audio_type=" + widen(audio_type_));
        return false;
    }
    const AVCodec* codec = avcodec_find_encoder(id);
    if (!codec) {
        Error(__LINE__, L"libKESTREL unsupported audio_type=" + widen(audio_type_));
        return false;
    }
    CodecContextPtr cc(avcodec_alloc_context3(codec));
    if (!cc) {
        Error(__LINE__, L"avcodec_alloc_context3 failed, " + widen(codec->name));
        return false;
    }
    cc->time_base = AVRational{1, sample_rate_};
    if (ctx_->oformat->flags & AVFMT_GLOBALHEADER) cc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const AVSampleFormat fmt = frame::sample_format_by_name(sample_fmt_);
    if (fmt == AV_SAMPLE_FMT_NONE) {
        Error(__LINE__, L"unsupported sample_fmt=" + widen(sample_fmt_));
        return false;
    }
    cc->sample_fmt = frame::supports_sample_fmt(codec, fmt) ? fmt : codec->sample_fmts[0];
    cc->sample_rate = sample_rate_;
    av_channel_layout_default(&cc->ch_layout, channels_);
    const int ret = avcodec_open2(cc.get(), codec, nullptr);
    if (ret != 0) {
        Error(__LINE__,
              L"avcodec_open2(" + widen(codec->name) + L") failed, err=" + std::to_wstring(ret));
        return false;
    }
    AVStream* st = avformat_new_stream(ctx_.get(), codec);
    if (!st) {
        Error(__LINE__, L"avformat_new_stream failed");
        return false;
    }
    st->time_base = AVRational{1, sample_rate_};
    if (avcodec_parameters_from_context(st->codecpar, cc.get()) < 0) {
        Error(__LINE__, L"avcodec_parameters_from_context failed");
        return false;
    }
    audio_stream_ = st;
    return true;
}

void MP4FileWriter::WriteVideoFrame(int64_t pts, int64_t dts, const uint8_t* data, int size,
                                    int key_frame) {
    Write(video_stream_, kWriteVideo, pts, dts, data, size, key_frame != 0);
}

void MP4FileWriter::WriteAudioFrame(int64_t pts, int64_t dts, const uint8_t* data, int size) {
    Write(audio_stream_, kWriteAudio, pts, dts, data, size, false);
}

void MP4FileWriter::Write(AVStream* stream, const wchar_t* function, int64_t pts, int64_t dts,
                          const uint8_t* data, int size, bool key_frame) {
    if (!stream || !header_written_ || !data || size <= 0) return;
    std::lock_guard guard(lock_);
    AVPacket* pkt = packet_.get();
    // The muxer copies data that it does not own before the call returns.
    pkt->data = const_cast<uint8_t*>(data);
    pkt->size = size;
    pkt->stream_index = stream->index;
    pkt->flags = key_frame ? AV_PKT_FLAG_KEY : 0;
    // INT64_MIN is AV_NOPTS_VALUE, "no time", to FFmpeg as to the caller:
    // it passes through, and the zero point is the first time known.
    if (first_packet_ && pts != AV_NOPTS_VALUE) {
        base_time_ = pts;
        first_packet_ = false;
    }
    auto stream_time = [&](int64_t t) {
        if (t == AV_NOPTS_VALUE || first_packet_) return AV_NOPTS_VALUE;
        return to_stream_time(time_since(t, base_time_), stream->time_base);
    };
    pkt->pts = stream_time(pts);
    pkt->dts = stream_time(dts);
    const int ret = av_interleaved_write_frame(ctx_.get(), pkt);
    if (ret != 0)
        frame::ReportObject(L"vemx", kSource, __LINE__, function, this,
                            L"av_interleaved_write_frame, err=" + std::to_wstring(ret));
    av_packet_unref(pkt);
}

}  // namespace vemx::mp4filewriter

using vemx::frame::FromHandle;
using vemx::frame::Guarded;
using vemx::mp4filewriter::MP4FileWriter;

VEMX_EXPORT void* vemx_mp4filewriter_new(void) {
    return vemx::frame::NewHandle<MP4FileWriter>();
}

VEMX_EXPORT void vemx_mp4filewriter_add_ref(void* writer) {
    vemx::frame::AddRefHandle(writer);
}

VEMX_EXPORT void vemx_mp4filewriter_release(void* writer) {
    Guarded("vemx_mp4filewriter_release", [&] { vemx::frame::ReleaseHandle(writer); });
}

VEMX_EXPORT void vemx_mp4filewriter_set_video_property(void* writer, const char* video_type,
                                                       int width, int height, const char* pix_fmt,
                                                       int fps_num, int fps_den) {
    Guarded("vemx_mp4filewriter_set_video_property", [&] {
        FromHandle<MP4FileWriter>(writer)->SetVideoProperty(video_type, width, height, pix_fmt,
                                                            fps_num, fps_den);
    });
}

VEMX_EXPORT void vemx_mp4filewriter_set_audio_property(void* writer, const char* audio_type,
                                                       int channels, const char* sample_fmt,
                                                       int sample_rate) {
    Guarded("vemx_mp4filewriter_set_audio_property", [&] {
        FromHandle<MP4FileWriter>(writer)->SetAudioProperty(audio_type, channels, sample_fmt,
                                                            sample_rate);
    });
}

VEMX_EXPORT void vemx_mp4filewriter_set_filename(void* writer, const char* filename) {
    Guarded("vemx_mp4filewriter_set_filename",
            [&] { FromHandle<MP4FileWriter>(writer)->SetFilename(filename); });
}

VEMX_EXPORT void vemx_mp4filewriter_set_fragmented(void* writer, int fragmented) {
    Guarded("vemx_mp4filewriter_set_fragmented",
            [&] { FromHandle<MP4FileWriter>(writer)->SetFragmented(fragmented != 0); });
}

VEMX_EXPORT int vemx_mp4filewriter_init(void* writer) {
    return Guarded("vemx_mp4filewriter_init", 0,
                   [&] { return FromHandle<MP4FileWriter>(writer)->Init(); });
}

VEMX_EXPORT void vemx_mp4filewriter_write_video_frame(void* writer, int64_t pts, int64_t dts,
                                                      const uint8_t* data, int size,
                                                      int key_frame) {
    Guarded("vemx_mp4filewriter_write_video_frame", [&] {
        FromHandle<MP4FileWriter>(writer)->WriteVideoFrame(pts, dts, data, size, key_frame);
    });
}

VEMX_EXPORT void vemx_mp4filewriter_write_audio_frame(void* writer, int64_t pts, int64_t dts,
                                                      const uint8_t* data, int size) {
    Guarded("vemx_mp4filewriter_write_audio_frame",
            [&] { FromHandle<MP4FileWriter>(writer)->WriteAudioFrame(pts, dts, data, size); });
}
