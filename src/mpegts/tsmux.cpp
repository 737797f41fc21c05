#include "mpegts/tsmux.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/opt.h>
}

#include <cstdio>
#include <stdexcept>
#include <string_view>

#include "frame/error.h"
#include "frame/log.h"
#include "frame/vemx.h"

namespace vemx::tsmux {

namespace {

constexpr const char* kTag = "ERROR[vemx|tsmux] ";
constexpr AVRational kMediaTimeBase{1, 10000000};

void Nothing(const uint8_t*, int64_t, void*) {}
void Nothing1(const uint8_t*, int64_t, void*, void*) {}

std::string Str(const char* s) {
    return s ? s : "";
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Timestamp sums and differences saturate instead of overflowing, and never
// land on INT64_MIN, which libavformat reads as "no timestamp".  An unknown
// timestamp stays unknown.
constexpr int64_t kFirstTime = INT64_MIN + 1;

int64_t AddTime(int64_t t, int64_t shift) {
    if (t == AV_NOPTS_VALUE) return t;
    int64_t r;
    if (__builtin_add_overflow(t, shift, &r)) return shift > 0 ? INT64_MAX : kFirstTime;
    return r == AV_NOPTS_VALUE ? kFirstTime : r;
}

int64_t SubTime(int64_t t, int64_t base) {
    if (t == AV_NOPTS_VALUE) return t;
    int64_t r;
    if (__builtin_sub_overflow(t, base, &r)) return base < 0 ? INT64_MAX : kFirstTime;
    return r == AV_NOPTS_VALUE ? kFirstTime : r;
}

std::wstring Wide(std::string_view s) {
    return std::wstring(s.begin(), s.end());
}

// Reports a failed stream set-up and abandons it; Init catches the exception.
[[noreturn]] void SetupFailed(int line, const wchar_t* function, const void* self,
                              const std::wstring& text) {
    frame::ReportObject(L"vemx", L"tsmux", line, function, self, text);
    throw std::runtime_error("stream set-up failed");
}

}  // namespace

void TsMux::IoFree::operator()(AVIOContext* io) const noexcept {
    // libavformat may have replaced the buffer; free the one it holds now.
    av_freep(&io->buffer);
    avio_context_free(&io);
}

TsMux::TsMux() : callback_(Nothing), callback1_(Nothing1), packet_(av_packet_alloc()) {
    if (!packet_) throw std::bad_alloc();
}

TsMux::~TsMux() {
    Uninit();
}

TsMux::WriteScope::WriteScope(TsMux& mux, const char* function) : mux_(mux) {
    // Only this thread ever stores its own id, so the relaxed read is exact
    // for the question asked.
    if (mux.lock_owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
        frame::LogPrint(kTag, "%s: called from a packet callback, ignored", function);
        return;
    }
    mux.write_lock_.lock();
    mux.lock_owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    owned_ = true;
}

TsMux::WriteScope::~WriteScope() {
    if (!owned_) return;
    mux_.lock_owner_.store(std::thread::id(), std::memory_order_relaxed);
    mux_.write_lock_.unlock();
}

void TsMux::SetCallbacks(vemx_tsmux_packet_callback_t cb, void* ctx) {
    callback_ = cb ? cb : Nothing;
    ctx_ = ctx;
}

void TsMux::SetCallbacks1(vemx_tsmux_packet_callback1_t cb, void* ctx, void* ctx2) {
    callback1_ = cb ? cb : Nothing1;
    ctx_ = ctx;
    ctx2_ = ctx2;
}

void TsMux::SetFilename(const char* filename) {
    filename_ = Str(filename);
}

void TsMux::SetVideoProperty(const char* type, int width, int height, const char* pix_fmt,
                             int fps_num, int fps_den) {
    WriteScope scope(*this, "vemx::tsmux::TsMux::SetVideoProperty");
    if (!scope) return;
    video_.type = Str(type);
    video_.width = width;
    video_.height = height;
    video_.pix_fmt = Str(pix_fmt);
    video_.fps_num = fps_num;
    video_.fps_den = fps_den;
    video_.time_offset = 0;
}

void TsMux::SetAudioProperty(const char* type, int channels, const char* sample_fmt,
                             int sample_rate) {
    WriteScope scope(*this, "vemx::tsmux::TsMux::SetAudioProperty");
    if (!scope) return;
    audio_.type = Str(type);
    audio_.channels = channels;
    audio_.sample_fmt = Str(sample_fmt);
    audio_.sample_rate = sample_rate;
    audio_.time_offset = 0;
}

void TsMux::SetVideoProperty1(uint32_t pid, const char* type, int width, int height,
                              const char* pix_fmt, int fps_num, int fps_den) {
    WriteScope scope(*this, "vemx::tsmux::TsMux::SetVideoProperty1");
    if (!scope) return;
    video_stream_t& v = video_map_[pid];
    v.pid = static_cast<int32_t>(pid);
    v.type = Str(type);
    v.width = width;
    v.height = height;
    v.pix_fmt = Str(pix_fmt);
    v.fps_num = fps_num;
    v.fps_den = fps_den;
    v.time_offset = 0;
    v.stream = nullptr;
    v.write = &TsMux::WriteNothingVideo;
}

void TsMux::SetAudioProperty2(uint32_t pid, const char* type, int channels, const char* sample_fmt,
                              int sample_rate, int stream_type) {
    WriteScope scope(*this, "vemx::tsmux::TsMux::SetAudioProperty2");
    if (!scope) return;
    audio_stream_t& a = audio_map_[pid];
    a.pid = static_cast<int32_t>(pid);
    a.type = Str(type);
    a.channels = channels;
    a.sample_fmt = Str(sample_fmt);
    a.sample_rate = sample_rate;
    a.stream_type = stream_type;
    a.time_offset = 0;
    a.stream = nullptr;
    a.write = &TsMux::WriteNothingAudio;
}

void TsMux::SetServiceName(const char* name) {
    service_name_ = Str(name);
}

void TsMux::SetServiceProvider(const char* provider) {
    service_provider_ = Str(provider);
}

void TsMux::ProgramAddStream(uint32_t program_id, uint32_t pid) {
    program_t& p = programs_[program_id];
    p.id = program_id;
    p.pids.push_back(pid);
}

void TsMux::ProgramSetServiceName(uint32_t program_id, const char* name) {
    program_t& p = programs_[program_id];
    p.id = program_id;
    p.service_name = Str(name);
}

void TsMux::ProgramSetServiceProvider(uint32_t program_id, const char* provider) {
    program_t& p = programs_[program_id];
    p.id = program_id;
    p.service_provider = Str(provider);
}

int TsMux::Init() {
    WriteScope scope(*this, "vemx::tsmux::TsMux::Init");
    if (!scope) return 0;
    // A second init without uninit would otherwise leak the running output.
    ReleaseOutput(true);
    frame::GlobalInit();
    first_frame_ = 1;
    ts_base_ = 0;
    bool ok = false;
    try {
        ok = Build();
    } catch (const std::exception&) {
        // Reported where it failed.
    }
    if (!ok) ReleaseOutput(false);
    return ok ? 1 : 0;
}

bool TsMux::Build() {
    format_.reset(avformat_alloc_context());
    VEMX_CHECK(format_, L"tsmux");
    AVFormatContext* fc = format_.get();
    fc->max_delay = max_delay_ * 1000;

    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
    VEMX_CHECK(buffer, L"tsmux");
    if (!filename_.empty()) {
        // A file that cannot be opened is not reported: the callbacks still
        // receive everything.
        file_.open(filename_, std::ios::out | std::ios::binary | std::ios::trunc);
    }
    io_.reset(avio_alloc_context(buffer, kIoBufferSize, 1, this, nullptr,
                                 filename_.empty() ? &TsMux::OnWritePacket : &TsMux::OnWritePacket1,
                                 nullptr));
    if (!io_) av_free(buffer);
    VEMX_CHECK(io_, L"tsmux");
    fc->pb = io_.get();

    const AVOutputFormat* fmt = av_guess_format("mpegts", nullptr, nullptr);
    VEMX_CHECK(fmt, L"tsmux");
    fc->oformat = fmt;
    if (fmt->priv_data_size > 0) {
        fc->priv_data = av_mallocz(fmt->priv_data_size);
        VEMX_CHECK(fc->priv_data, L"tsmux");
        if (fmt->priv_class) {
            *static_cast<const AVClass**>(fc->priv_data) = fmt->priv_class;
            av_opt_set_defaults(fc->priv_data);
        }
        if (pcr_period_ > 0) av_opt_set_int(fc->priv_data, "pcr_period", pcr_period_, 0);
        av_opt_set(fc->priv_data, "mpegts_service_type", "mpeg2_digital_hdtv", 0);
    }
    // Output formats are read-only now, so the format cannot be flagged
    // AVFMT_NOFILE.  What that flag bought was a muxer that never opens a file
    // and never flushes per packet; the custom-I/O flag and flush_packets = 0
    // give the same: blocks leave only when the 112-packet buffer is full.
    fc->flags |= AVFMT_FLAG_CUSTOM_IO;
    fc->flush_packets = 0;

    SetupVideoStream(video_);
    SetupAudioStream(audio_);
    for (auto& [pid, v] : video_map_) SetupVideoStream(v);
    for (auto& [pid, a] : audio_map_) SetupAudioStream(a);
    AddPrograms();

    av_dict_set(&fc->metadata, "service_name", service_name_.c_str(), 0);
    av_dict_set(&fc->metadata, "service_provider", service_provider_.c_str(), 0);

    AVDictionary* options = nullptr;
    char text[32];
    if (mux_rate_ > 0) {
        std::snprintf(text, sizeof text, "%dK", mux_rate_);
        av_dict_set(&options, "muxrate", text, 0);
    }
    const std::pair<const char*, int32_t> ids[] = {
        {"mpegts_pmt_start_pid", pmt_start_pid_},
        {"mpegts_start_pid", start_pid_},
        {"mpegts_service_id", service_id_},
        {"mpegts_transport_stream_id", transport_stream_id_},
        {"mpegts_original_network_id", original_network_id_},
    };
    for (const auto& [name, value] : ids) {
        if (value <= 0) continue;
        std::snprintf(text, sizeof text, "0x%x", value);
        av_dict_set(&options, name, text, 0);
    }
    // Positive results are success codes (how the streams were initialised).
    const int err = avformat_write_header(fc, &options);
    av_dict_free(&options);
    if (err < 0) {
        frame::ReportObject(L"vemx", L"tsmux", __LINE__, L"vemx::tsmux::TsMux::Init", this,
                            L"avformat_write_header, err=" + std::to_wstring(err));
        return false;
    }
    header_written_ = true;
    return true;
}

void TsMux::SetupVideoStream(video_stream_t& v) {
    static constexpr const wchar_t* kFn = L"vemx::tsmux::TsMux::SetupVideoStream";
    if (v.type.empty()) return;
    AVCodecID id;
    if (SameText(v.type, "h264")) {
        id = AV_CODEC_ID_H264;
    } else if (SameText(v.type, "mpeg2video")) {
        id = AV_CODEC_ID_MPEG2VIDEO;
    } else if (SameText(v.type, "hevc") || SameText(v.type, "h265")) {
        id = AV_CODEC_ID_HEVC;
    } else {
        SetupFailed(__LINE__, kFn, this, L"unsupported video_type=" + Wide(v.type));
    }
    // Nothing is encoded: the lookup only proves the codec is known to this
    // FFmpeg build, as the stream is created from it.
    const AVCodec* encoder = avcodec_find_encoder(id);
    if (!encoder)
        SetupFailed(__LINE__, kFn, this, L"libKESTREL unsupported video_type=" + Wide(v.type));
    AVStream* st = avformat_new_stream(format_.get(), encoder);
    VEMX_CHECK(st, L"tsmux");
    // Streams no longer carry a codec context; codecpar holds the description.
    AVCodecParameters* par = st->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = id;
    par->width = v.width;
    par->height = v.height;
    if (!SameText(v.pix_fmt, "yv12"))
        SetupFailed(__LINE__, kFn, this, L"unsupported pix_fmt=" + Wide(v.pix_fmt));
    par->format = AV_PIX_FMT_YUV420P;
    // One frame per tick; the muxer replaces it with its 90 kHz clock.
    st->time_base = AVRational{v.fps_den, v.fps_num};
    st->avg_frame_rate = AVRational{v.fps_num, v.fps_den};
    if (v.pid >= 0) st->id = v.pid;
    v.stream = st;
    v.write = &TsMux::WriteVideoFrame1;
}

void TsMux::SetupAudioStream(audio_stream_t& a) {
    static constexpr const wchar_t* kFn = L"vemx::tsmux::TsMux::SetupAudioStream";
    if (a.type.empty()) return;
    AVCodecID id;
    if (SameText(a.type, "adts")) {
        id = AV_CODEC_ID_AAC;
    } else if (SameText(a.type, "mp2")) {
        id = AV_CODEC_ID_MP2;
    } else if (SameText(a.type, "mp3")) {
        id = AV_CODEC_ID_MP3;
    } else if (SameText(a.type, "ac3")) {
        id = AV_CODEC_ID_AC3;
    } else if (SameText(a.type, "eac3")) {
        id = AV_CODEC_ID_EAC3;
    } else {
        SetupFailed(__LINE__, kFn, this, L"unsupported audio_type=" + Wide(a.type));
    }
    const AVCodec* encoder = avcodec_find_encoder(id);
    if (!encoder)
        SetupFailed(__LINE__, kFn, this, L"libKESTREL unsupported audio_type=" + Wide(a.type));
    AVStream* st = avformat_new_stream(format_.get(), encoder);
    VEMX_CHECK(st, L"tsmux");
    AVCodecParameters* par = st->codecpar;
    par->codec_type = AVMEDIA_TYPE_AUDIO;
    par->codec_id = id;
    AVSampleFormat sample_fmt;
    if (SameText(a.sample_fmt, "u8")) {
        sample_fmt = AV_SAMPLE_FMT_U8;
    } else if (SameText(a.sample_fmt, "s16")) {
        sample_fmt = AV_SAMPLE_FMT_S16;
    } else {
        SetupFailed(__LINE__, kFn, this, L"unsupported sample_fmt=" + Wide(a.sample_fmt));
    }
    par->format = sample_fmt;
    par->sample_rate = a.sample_rate;
    av_channel_layout_default(&par->ch_layout, a.channels);
    st->time_base = AVRational{1, a.sample_rate};
    if (a.pid >= 0) st->id = a.pid;
    // The stock mpegts muxer does not read this key (it picks the stream type
    // from the codec); it is kept so that a muxer honouring it gets it.
    if (a.stream_type >= 0) av_dict_set_int(&st->metadata, "stream_type", a.stream_type, 0);
    a.stream = st;
    a.write = &TsMux::WriteAudioFrame1;
}

void TsMux::AddPrograms() {
    AVFormatContext* fc = format_.get();
    for (const auto& [id, program] : programs_) {
        AVProgram* p = av_new_program(fc, static_cast<int>(id));
        VEMX_CHECK(p, L"tsmux");
        const std::string& name =
            program.service_name.empty() ? service_name_ : program.service_name;
        const std::string& provider =
            program.service_provider.empty() ? service_provider_ : program.service_provider;
        av_dict_set(&p->metadata, "service_name", name.c_str(), 0);
        av_dict_set(&p->metadata, "service_provider", provider.c_str(), 0);
        for (uint32_t pid : program.pids) {
            for (unsigned i = 0; i < fc->nb_streams; ++i) {
                if (static_cast<uint32_t>(fc->streams[i]->id) != pid) continue;
                // Adds the index once, however often the PID is listed.
                av_program_add_stream_index(fc, static_cast<int>(id), i);
                break;
            }
        }
    }
}

void TsMux::Uninit() {
    WriteScope scope(*this, "vemx::tsmux::TsMux::Uninit");
    if (scope) ReleaseOutput(true);
}

void TsMux::ReleaseOutput(bool write_trailer) {
    // The streams die with the format context: later writes must find the
    // do-nothing methods.
    video_.stream = nullptr;
    video_.write = &TsMux::WriteNothingVideo;
    audio_.stream = nullptr;
    audio_.write = &TsMux::WriteNothingAudio;
    for (auto& [pid, v] : video_map_) {
        v.stream = nullptr;
        v.write = &TsMux::WriteNothingVideo;
    }
    for (auto& [pid, a] : audio_map_) {
        a.stream = nullptr;
        a.write = &TsMux::WriteNothingAudio;
    }
    if (format_) {
        if (write_trailer && header_written_) av_write_trailer(format_.get());
        format_.reset();
    }
    header_written_ = false;
    io_.reset();
    if (file_.is_open()) file_.close();
}

void TsMux::WriteVideo(int64_t pts, int64_t dts, const uint8_t* data, int size, int key) {
    WriteScope scope(*this, "vemx::tsmux::TsMux::WriteVideo");
    if (scope) (this->*video_.write)(video_, pts, dts, data, size, key);
}

void TsMux::WriteAudio(int64_t pts, int64_t dts, const uint8_t* data, int size) {
    WriteScope scope(*this, "vemx::tsmux::TsMux::WriteAudio");
    if (scope) (this->*audio_.write)(audio_, pts, dts, data, size);
}

void TsMux::WriteVideo(uint32_t pid, int64_t pts, int64_t dts, const int64_t* offset,
                       const uint8_t* data, int size, int key) {
    WriteScope scope(*this, "vemx::tsmux::TsMux::WriteVideo");
    if (!scope) return;
    auto it = video_map_.find(pid);
    if (it == video_map_.end()) return;
    video_stream_t& v = it->second;
    if (offset) {
        if (*offset != 0) v.time_offset = *offset;
        const int64_t shift = v.time_offset;
        pts = AddTime(pts, shift);
        dts = AddTime(dts, shift);
    }
    (this->*v.write)(v, pts, dts, data, size, key);
}

void TsMux::WriteAudio(uint32_t pid, int64_t pts, int64_t dts, const int64_t* offset,
                       const uint8_t* data, int size) {
    WriteScope scope(*this, "vemx::tsmux::TsMux::WriteAudio");
    if (!scope) return;
    auto it = audio_map_.find(pid);
    if (it == audio_map_.end()) return;
    audio_stream_t& a = it->second;
    if (offset) {
        if (*offset != 0) a.time_offset = *offset;
        const int64_t shift = a.time_offset;
        pts = AddTime(pts, shift);
        dts = AddTime(dts, shift);
    }
    (this->*a.write)(a, pts, dts, data, size);
}

void TsMux::WriteVideoFrame1(video_stream_t& v, int64_t pts, int64_t dts, const uint8_t* data,
                             int size, int key) {
    WriteFrame("vemx::tsmux::TsMux::WriteVideoFrame1", v.stream, pts, dts, data, size,
               key ? AV_PKT_FLAG_KEY : 0);
}

void TsMux::WriteAudioFrame1(audio_stream_t& a, int64_t pts, int64_t dts, const uint8_t* data,
                             int size) {
    WriteFrame("vemx::tsmux::TsMux::WriteAudioFrame1", a.stream, pts, dts, data, size, 0);
}

void TsMux::WriteFrame(const char* writer, AVStream* st, int64_t pts, int64_t dts,
                       const uint8_t* data, int size, int flags) {
    // An empty packet would reach the muxer as a request to flush.
    if (!data || size <= 0) {
        frame::LogPrint(kTag, "%s: empty frame (size %d) dropped", writer, size);
        return;
    }
    // The first frame with a known timestamp sets the base.
    if (first_frame_ && (pts != AV_NOPTS_VALUE || dts != AV_NOPTS_VALUE)) {
        ts_base_ = pts != AV_NOPTS_VALUE ? pts : dts;
        first_frame_ = 0;
    }
    AVPacket* pkt = packet_.get();
    // Refers to the caller's bytes; libavformat copies what it keeps.
    pkt->data = const_cast<uint8_t*>(data);
    pkt->size = size;
    pkt->stream_index = st->index;
    pkt->flags = flags;
    pkt->pts = SubTime(pts, ts_base_);
    pkt->dts = SubTime(dts, ts_base_);
    av_packet_rescale_ts(pkt, kMediaTimeBase, st->time_base);
    const int err = av_interleaved_write_frame(format_.get(), pkt);
    if (err != 0) {
        char text[1024];
        av_strerror(err, text, sizeof text);
        frame::LogPrint(kTag, "%s: av_interleaved_write_frame, %s(%d)", writer, text, err);
    }
    av_packet_unref(pkt);
}

int TsMux::OnWritePacket(void* opaque, uint8_t* buf, int size) {
    static_cast<TsMux*>(opaque)->Deliver(L"vemx::tsmux::TsMux::OnWritePacket", buf, size);
    return size;
}

int TsMux::OnWritePacket1(void* opaque, uint8_t* buf, int size) {
    auto* self = static_cast<TsMux*>(opaque);
    self->Deliver(L"vemx::tsmux::TsMux::OnWritePacket1", buf, size);
    // A failing file write is not reported; the callbacks had the data.
    self->file_.write(reinterpret_cast<const char*>(buf), size);
    return size;
}

void TsMux::Deliver(const wchar_t* writer, const uint8_t* buf, int size) {
    if (size % 188 != 0) {
        frame::ReportObject(L"vemx", L"tsmux", __LINE__, writer, this,
                            L"buf_size % 188 = " + std::to_wstring(size % 188));
    }
    callback_(buf, size, ctx_);
    callback1_(buf, size, ctx_, ctx2_);
}

}  // namespace vemx::tsmux

using vemx::frame::FromHandle;
using vemx::frame::Guarded;
using vemx::tsmux::TsMux;

namespace {

TsMux* Mux(void* h) {
    return FromHandle<TsMux>(h);
}

}  // namespace

VEMX_EXPORT void* vemx_tsmux_new(void) {
    return vemx::frame::NewHandle<TsMux>();
}

VEMX_EXPORT void vemx_tsmux_addref(void* h) {
    vemx::frame::AddRefHandle(h);
}

VEMX_EXPORT void vemx_tsmux_release(void* h) {
    vemx::frame::ReleaseHandle(h);
}

VEMX_EXPORT void vemx_tsmux_set_callbacks(void* h, vemx_tsmux_packet_callback_t cb, void* ctx) {
    Mux(h)->SetCallbacks(cb, ctx);
}

VEMX_EXPORT void vemx_tsmux_set_callbacks1(void* h, vemx_tsmux_packet_callback1_t cb, void* ctx,
                                           void* ctx2) {
    Mux(h)->SetCallbacks1(cb, ctx, ctx2);
}

VEMX_EXPORT void vemx_tsmux_set_filename(void* h, const char* filename) {
    Guarded("vemx_tsmux_set_filename", [&] { Mux(h)->SetFilename(filename); });
}

VEMX_EXPORT void vemx_tsmux_set_video_property(void* h, const char* video_type, int width,
                                               int height, const char* pix_fmt, int fps_num,
                                               int fps_den) {
    Guarded("vemx_tsmux_set_video_property", [&] {
        Mux(h)->SetVideoProperty(video_type, width, height, pix_fmt, fps_num, fps_den);
    });
}

VEMX_EXPORT void vemx_tsmux_set_audio_property(void* h, const char* audio_type, int channels,
                                               const char* sample_fmt, int sample_rate) {
    Guarded("vemx_tsmux_set_audio_property",
            [&] { Mux(h)->SetAudioProperty(audio_type, channels, sample_fmt, sample_rate); });
}

VEMX_EXPORT void vemx_tsmux_set_video_pid(void* h, int pid) {
    Mux(h)->SetVideoPid(pid);
}

VEMX_EXPORT void vemx_tsmux_set_audio_pid(void* h, int pid) {
    Mux(h)->SetAudioPid(pid);
}

VEMX_EXPORT void vemx_tsmux_set_video_property1(void* h, unsigned int pid, const char* video_type,
                                                int width, int height, const char* pix_fmt,
                                                int fps_num, int fps_den) {
    Guarded("vemx_tsmux_set_video_property1", [&] {
        Mux(h)->SetVideoProperty1(pid, video_type, width, height, pix_fmt, fps_num, fps_den);
    });
}

VEMX_EXPORT void vemx_tsmux_set_audio_property1(void* h, unsigned int pid, const char* audio_type,
                                                int channels, const char* sample_fmt,
                                                int sample_rate) {
    Guarded("vemx_tsmux_set_audio_property1", [&] {
        Mux(h)->SetAudioProperty2(pid, audio_type, channels, sample_fmt, sample_rate, -1);
    });
}

VEMX_EXPORT void vemx_tsmux_set_audio_property2(void* h, unsigned int pid, const char* audio_type,
                                                int channels, const char* sample_fmt,
                                                int sample_rate, int stream_type) {
    Guarded("vemx_tsmux_set_audio_property2", [&] {
        Mux(h)->SetAudioProperty2(pid, audio_type, channels, sample_fmt, sample_rate, stream_type);
    });
}

VEMX_EXPORT void vemx_tsmux_set_service_name(void* h, const char* name) {
    Guarded("vemx_tsmux_set_service_name", [&] { Mux(h)->SetServiceName(name); });
}

VEMX_EXPORT void vemx_tsmux_set_service_provider(void* h, const char* provider) {
    Guarded("vemx_tsmux_set_service_provider", [&] { Mux(h)->SetServiceProvider(provider); });
}

VEMX_EXPORT void vemx_tsmux_set_mux_rate(void* h, int kbps) {
    Mux(h)->SetMuxRate(kbps);
}

VEMX_EXPORT void vemx_tsmux_set_max_delay(void* h, int ms) {
    Mux(h)->SetMaxDelay(ms);
}

VEMX_EXPORT void vemx_tsmux_set_start_pid(void* h, int pid) {
    Mux(h)->SetStartPid(pid);
}

VEMX_EXPORT void vemx_tsmux_set_pmt_start_pid(void* h, int pid) {
    Mux(h)->SetPmtStartPid(pid);
}

VEMX_EXPORT void vemx_tsmux_set_service_id(void* h, int id) {
    Mux(h)->SetServiceId(id);
}

VEMX_EXPORT void vemx_tsmux_set_transport_stream_id(void* h, int id) {
    Mux(h)->SetTransportStreamId(id);
}

VEMX_EXPORT void vemx_tsmux_set_original_network_id(void* h, int id) {
    Mux(h)->SetOriginalNetworkId(id);
}

VEMX_EXPORT void vemx_tsmux_set_pcr_period(void* h, int ms) {
    Mux(h)->SetPcrPeriod(ms);
}

VEMX_EXPORT void vemx_tsmux_program_add_stream(void* h, unsigned int program_id, unsigned int pid) {
    Guarded("vemx_tsmux_program_add_stream", [&] { Mux(h)->ProgramAddStream(program_id, pid); });
}

VEMX_EXPORT void vemx_tsmux_program_set_service_name(void* h, unsigned int program_id,
                                                     const char* name) {
    Guarded("vemx_tsmux_program_set_service_name",
            [&] { Mux(h)->ProgramSetServiceName(program_id, name); });
}

VEMX_EXPORT void vemx_tsmux_program_set_service_provider(void* h, unsigned int program_id,
                                                         const char* provider) {
    Guarded("vemx_tsmux_program_set_service_provider",
            [&] { Mux(h)->ProgramSetServiceProvider(program_id, provider); });
}

VEMX_EXPORT int vemx_tsmux_init(void* h) {
    return Guarded("vemx_tsmux_init", 0, [&] { return Mux(h)->Init(); });
}

VEMX_EXPORT void vemx_tsmux_uninit(void* h) {
    Guarded("vemx_tsmux_uninit", [&] { Mux(h)->Uninit(); });
}

VEMX_EXPORT void vemx_tsmux_write_video_frame(void* h, int64_t ts, const uint8_t* data, int size,
                                              int key) {
    Guarded("vemx_tsmux_write_video_frame", [&] { Mux(h)->WriteVideo(ts, ts, data, size, key); });
}

VEMX_EXPORT void vemx_tsmux_write_video_frame2(void* h, int64_t pts, int64_t dts,
                                               const uint8_t* data, int size, int key) {
    Guarded("vemx_tsmux_write_video_frame2",
            [&] { Mux(h)->WriteVideo(pts, dts, data, size, key); });
}

VEMX_EXPORT void vemx_tsmux_write_video_frame3(void* h, unsigned int pid, int64_t pts, int64_t dts,
                                               const uint8_t* data, int size, int key) {
    Guarded("vemx_tsmux_write_video_frame3",
            [&] { Mux(h)->WriteVideo(pid, pts, dts, nullptr, data, size, key); });
}

VEMX_EXPORT void vemx_tsmux_write_video_frame4(void* h, unsigned int pid, int64_t pts, int64_t dts,
                                               int64_t offset, const uint8_t* data, int size,
                                               int key) {
    Guarded("vemx_tsmux_write_video_frame4",
            [&] { Mux(h)->WriteVideo(pid, pts, dts, &offset, data, size, key); });
}

VEMX_EXPORT void vemx_tsmux_write_audio_frame(void* h, int64_t ts, const uint8_t* data, int size) {
    Guarded("vemx_tsmux_write_audio_frame", [&] { Mux(h)->WriteAudio(ts, ts, data, size); });
}

VEMX_EXPORT void vemx_tsmux_write_audio_frame2(void* h, int64_t pts, int64_t dts,
                                               const uint8_t* data, int size) {
    Guarded("vemx_tsmux_write_audio_frame2", [&] { Mux(h)->WriteAudio(pts, dts, data, size); });
}

VEMX_EXPORT void vemx_tsmux_write_audio_frame3(void* h, unsigned int pid, int64_t pts, int64_t dts,
                                               const uint8_t* data, int size) {
    Guarded("vemx_tsmux_write_audio_frame3",
            [&] { Mux(h)->WriteAudio(pid, pts, dts, nullptr, data, size); });
}

VEMX_EXPORT void vemx_tsmux_write_audio_frame4(void* h, unsigned int pid, int64_t pts, int64_t dts,
                                               int64_t offset, const uint8_t* data, int size) {
    Guarded("vemx_tsmux_write_audio_frame4",
            [&] { Mux(h)->WriteAudio(pid, pts, dts, &offset, data, size); });
}
