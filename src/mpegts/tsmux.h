#pragma once
// The transport-stream multiplexer behind the vemx_tsmux_* exports: packs
// compressed frames into 188-byte packets with libavformat's "mpegts" muxer.
#include <atomic>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "frame/handle.h"
#include "vemx/vemx_tsmux.h"

namespace vemx::tsmux {

class TsMux : public frame::RefCounted {
  public:
    // 112 transport packets: what libavformat hands out per flush.
    static constexpr int kIoBufferSize = 21056;

    struct video_stream_t;
    struct audio_stream_t;
    using video_write_t = void (TsMux::*)(video_stream_t&, int64_t pts, int64_t dts,
                                          const uint8_t* data, int size, int key);
    using audio_write_t = void (TsMux::*)(audio_stream_t&, int64_t pts, int64_t dts,
                                          const uint8_t* data, int size);

    struct video_stream_t {
        int32_t pid = -1;  // negative: libavformat picks one
        std::string type;
        int32_t width = 0;
        int32_t height = 0;
        std::string pix_fmt;
        int32_t fps_num = 0;
        int32_t fps_den = 0;
        // Atomic because variant-4 writes of different threads may replace it.
        std::atomic<int64_t> time_offset{0};
        AVStream* stream = nullptr;  // owned by the format context
        video_write_t write = &TsMux::WriteNothingVideo;
    };

    struct audio_stream_t {
        int32_t pid = -1;
        std::string type;
        int32_t channels = 0;
        std::string sample_fmt;
        int32_t sample_rate = 0;
        int32_t stream_type = -1;  // -1: none
        std::atomic<int64_t> time_offset{0};
        AVStream* stream = nullptr;
        audio_write_t write = &TsMux::WriteNothingAudio;
    };

    struct program_t {
        uint32_t id = 0;
        std::string service_name;
        std::string service_provider;
        std::vector<uint32_t> pids;  // in the order added, duplicates kept
    };

    TsMux();
    ~TsMux() override;

    void SetCallbacks(vemx_tsmux_packet_callback_t cb, void* ctx);
    void SetCallbacks1(vemx_tsmux_packet_callback1_t cb, void* ctx, void* ctx2);
    void SetFilename(const char* filename);
    void SetVideoProperty(const char* type, int width, int height, const char* pix_fmt, int fps_num,
                          int fps_den);
    void SetAudioProperty(const char* type, int channels, const char* sample_fmt, int sample_rate);
    void SetVideoPid(int pid) { video_.pid = pid; }
    void SetAudioPid(int pid) { audio_.pid = pid; }
    void SetVideoProperty1(uint32_t pid, const char* type, int width, int height,
                           const char* pix_fmt, int fps_num, int fps_den);
    void SetAudioProperty2(uint32_t pid, const char* type, int channels, const char* sample_fmt,
                           int sample_rate, int stream_type);
    void SetServiceName(const char* name);
    void SetServiceProvider(const char* provider);
    void SetMuxRate(int kbps) { mux_rate_ = kbps; }
    void SetMaxDelay(int ms) { max_delay_ = ms; }
    void SetStartPid(int v) { start_pid_ = v; }
    void SetPmtStartPid(int v) { pmt_start_pid_ = v; }
    void SetServiceId(int v) { service_id_ = v; }
    void SetTransportStreamId(int v) { transport_stream_id_ = v; }
    void SetOriginalNetworkId(int v) { original_network_id_ = v; }
    void SetPcrPeriod(int ms) { pcr_period_ = ms; }
    void ProgramAddStream(uint32_t program_id, uint32_t pid);
    void ProgramSetServiceName(uint32_t program_id, const char* name);
    void ProgramSetServiceProvider(uint32_t program_id, const char* provider);

    int Init();
    void Uninit();

    // Frame writes; pid selects a map entry, the others use the single streams.
    void WriteVideo(int64_t pts, int64_t dts, const uint8_t* data, int size, int key);
    void WriteAudio(int64_t pts, int64_t dts, const uint8_t* data, int size);
    void WriteVideo(uint32_t pid, int64_t pts, int64_t dts, const int64_t* offset,
                    const uint8_t* data, int size, int key);
    void WriteAudio(uint32_t pid, int64_t pts, int64_t dts, const int64_t* offset,
                    const uint8_t* data, int size);

    // The live output context while writing, else null.
    const AVFormatContext* format_context() const noexcept { return format_.get(); }

  private:
    struct FormatFree {
        void operator()(AVFormatContext* fc) const noexcept { avformat_free_context(fc); }
    };
    struct IoFree {
        void operator()(AVIOContext* io) const noexcept;
    };
    struct PacketFree {
        void operator()(AVPacket* p) const noexcept { av_packet_free(&p); }
    };

    bool Build();
    void SetupVideoStream(video_stream_t& v);
    void SetupAudioStream(audio_stream_t& a);
    void AddPrograms();
    // Callers hold write_lock_.
    void ReleaseOutput(bool write_trailer);

    // Holds write_lock_ unless this thread holds it already, which happens
    // only when a packet callback calls back into this multiplexer: that
    // call is refused (an error line naming `function`) instead of
    // deadlocking on the lock or freeing the output under the running write.
    class WriteScope {
      public:
        WriteScope(TsMux& mux, const char* function);
        ~WriteScope();
        WriteScope(const WriteScope&) = delete;
        WriteScope& operator=(const WriteScope&) = delete;
        explicit operator bool() const noexcept { return owned_; }

      private:
        TsMux& mux_;
        bool owned_ = false;
    };

    void WriteNothingVideo(video_stream_t&, int64_t, int64_t, const uint8_t*, int, int) {}
    void WriteNothingAudio(audio_stream_t&, int64_t, int64_t, const uint8_t*, int) {}
    void WriteVideoFrame1(video_stream_t& v, int64_t pts, int64_t dts, const uint8_t* data,
                          int size, int key);
    void WriteAudioFrame1(audio_stream_t& a, int64_t pts, int64_t dts, const uint8_t* data,
                          int size);
    void WriteFrame(const char* writer, AVStream* st, int64_t pts, int64_t dts, const uint8_t* data,
                    int size, int flags);

    static int OnWritePacket(void* opaque, uint8_t* buf, int size);
    static int OnWritePacket1(void* opaque, uint8_t* buf, int size);
    void Deliver(const wchar_t* writer, const uint8_t* buf, int size);

    vemx_tsmux_packet_callback_t callback_;
    void* ctx_ = nullptr;
    vemx_tsmux_packet_callback1_t callback1_;
    void* ctx2_ = nullptr;
    std::string filename_;
    video_stream_t video_;
    audio_stream_t audio_;
    std::string service_name_ = "Program";
    std::string service_provider_ = "Dovrex";
    int32_t mux_rate_ = 0;      // kbit/s
    int32_t max_delay_ = 1000;  // ms
    int32_t start_pid_ = -1;
    int32_t pmt_start_pid_ = -1;
    int32_t service_id_ = -1;
    int32_t transport_stream_id_ = -1;
    int32_t original_network_id_ = -1;
    int32_t pcr_period_ = -1;  // ms
    // Ordered so that streams get the same indices on every run: ascending PID.
    std::map<uint32_t, video_stream_t> video_map_;
    std::map<uint32_t, audio_stream_t> audio_map_;
    std::map<uint32_t, program_t> programs_;

    std::unique_ptr<AVFormatContext, FormatFree> format_;
    std::unique_ptr<AVIOContext, IoFree> io_;
    bool header_written_ = false;

    // Guards the output and every stream's write method and stream: writes,
    // init and uninit all run under it.
    std::mutex write_lock_;
    std::atomic<std::thread::id> lock_owner_{};
    int32_t first_frame_ = 1;  // guarded by write_lock_
    int64_t ts_base_ = 0;      // guarded by write_lock_
    // Packets on the stack (av_init_packet) are deprecated; this one is
    // refilled for every frame under write_lock_.
    std::unique_ptr<AVPacket, PacketFree> packet_;

    std::ofstream file_;
};

}  // namespace vemx::tsmux
