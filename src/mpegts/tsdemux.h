#pragma once
// Transport-stream demultiplexer: the caller pushes byte blocks, a demux
// thread runs libavformat over them and hands each packet of a selected
// stream to that stream's handler.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "audio/VIZur.h"
#include "frame/handle.h"
#include "mpegts/ts_clock.h"
#include "vemx/vemx_tsdemux.h"

namespace vemx::tsdemux {

// One usable audio or video stream as probing found it.
class MediaInfo {
  public:
    virtual ~MediaInfo() = default;

    int32_t stream_index = -1;
    std::string media_type;
    std::string type;
    int32_t stream_id = -1;
    int32_t program_id = -1;
    int32_t width = 0;
    int32_t height = 0;
    std::string pix_fmt;
    int32_t fps_num = 0;
    int32_t fps_den = 0;
    int32_t channels = 0;
    std::string sample_fmt;
    int32_t sample_rate = 0;
    uint8_t decoded = 0;

    // Stands in for a stream that was asked for and not found.
    static const std::shared_ptr<MediaInfo>& Empty();

    ::MediaInfo* AsPublic() noexcept { return reinterpret_cast<::MediaInfo*>(this); }
    static const MediaInfo* FromPublic(const ::MediaInfo* p) noexcept {
        return reinterpret_cast<const MediaInfo*>(p);
    }
};

class TsDemux : public frame::RefCounted {
  public:
    // What every stream handler shares: where its packets come from and how
    // their timestamps are rebased.
    class stream_handler_t {
      public:
        stream_handler_t(int32_t stream_id, void* context)
            : stream_id(stream_id), context(context) {}
        stream_handler_t(const stream_handler_t&) = delete;
        stream_handler_t& operator=(const stream_handler_t&) = delete;
        virtual ~stream_handler_t() = default;

        virtual void start() = 0;
        virtual void on_packet(const AVPacket& packet) = 0;

        // Attaches the stream's record and picks the packet method.
        virtual void SetUp(AVFormatContext* format, const std::shared_ptr<MediaInfo>& media) = 0;
        bool active() const noexcept { return stream != nullptr; }

        const int32_t stream_id;
        void* const context;
        AVFormatContext* format = nullptr;
        AVStream* stream = nullptr;
        int64_t start_time = 0;
        std::shared_ptr<MediaInfo> info;
        // The stream's position, which the demux thread follows packet by
        // packet; a handler on its own reads near the input's start.
        const tsclock::TsClock* clock = &own_clock_;

      protected:
        // Binds the handler to its stream; our clock unwraps its timestamps.
        void Attach(AVFormatContext* fmt, const std::shared_ptr<MediaInfo>& media);
        // Start time from the input, with the information line for `kind`.
        void StartClock(const wchar_t* kind);
        // Stream time base to 100 ns from the start, unwrapped near the
        // stream's position.
        int64_t Rebase(int64_t value) const noexcept;

      private:
        tsclock::TsClock own_clock_;
    };

    class video_callback_t final : public stream_handler_t {
      public:
        struct listener_t {
            uint32_t tag;
            vemx_tsdemux_video_callback2_t callback;
            void* context;
        };
        using method_t = bool (video_callback_t::*)(const AVPacket&);

        video_callback_t(int32_t stream_id, vemx_tsdemux_video_callback_t callback, void* context);

        void start() override;
        void on_packet(const AVPacket& packet) override { (this->*method)(packet); }
        void SetUp(AVFormatContext* format, const std::shared_ptr<MediaInfo>& media) override;

        // False when the timestamps are unusable; nothing is delivered then.
        bool FireOnVideoPacket(int64_t pts, int64_t dts, const uint8_t* data, int64_t size,
                               bool key, void* ctx);

        // True when the payload holds an SPS behind a four-byte start code.
        static bool HasSequenceParameterSet(const uint8_t* data, size_t size) noexcept;
        // The two ways of scanning; the one the CPU supports best is chosen
        // once.  Both are public so that both can be tested anywhere.
        static bool ScanSse2(const uint8_t* data, size_t size) noexcept;
        static bool ScanAvx2(const uint8_t* data, size_t size) noexcept;

        const vemx_tsdemux_video_callback_t callback;
        std::vector<listener_t> listeners;
        method_t method = &video_callback_t::OnNothing;

      private:
        bool OnNothing(const AVPacket&) { return true; }
        bool OnPacket(const AVPacket& packet);
        bool OnPacket_H264(const AVPacket& packet);
    };

    class audio_callback_t final : public stream_handler_t {
      public:
        struct listener_t {
            uint32_t tag;
            vemx_tsdemux_audio_callback2_t callback;
            void* context;
        };
        using method_t = bool (audio_callback_t::*)(const AVPacket&);

        audio_callback_t(int32_t stream_id, vemx_tsdemux_audio_callback_t callback, void* context);
        ~audio_callback_t() override;

        void start() override;
        void on_packet(const AVPacket& packet) override { (this->*method)(packet); }
        void SetUp(AVFormatContext* format, const std::shared_ptr<MediaInfo>& media) override;

        bool FireOnAudioPacket(int64_t pts, int64_t dts, const uint8_t* data, int64_t size,
                               void* ctx);

        // The length of the first ADTS frame, bounded by the packet.
        static int64_t AdtsFrameSize(const uint8_t* data, int64_t size) noexcept;

        const vemx_tsdemux_audio_callback_t callback;
        std::vector<listener_t> listeners;
        method_t method = &audio_callback_t::OnNothing;
        AVCodecContext* decoder = nullptr;
        VIZur::SimpleResampler resampler;

      private:
        bool OnNothing(const AVPacket&) { return true; }
        bool OnPacket(const AVPacket& packet);
        bool OnPacket_Adts(const AVPacket& packet);
        bool OnAudioPacket_Decoded(const AVPacket& packet);
        bool DeliverDecoded(const AVFrame* decoded);
        void OpenDecoder();
        void CloseDecoder() noexcept;

        AVFrame* frame_ = nullptr;
    };

    struct track_info_t {
        uint32_t tag;
        int32_t video_selector;
        int32_t audio_selector;
        vemx_tsdemux_format_callback2_t format_callback;
        vemx_tsdemux_video_callback2_t video_callback;
        vemx_tsdemux_audio_callback2_t audio_callback;
        void* context;
    };

    TsDemux();
    ~TsDemux() override;

    // Options, read at Init or when the demux thread opens the input.
    std::atomic<int32_t> buffer_size{4096};
    std::atomic<int32_t> scan_all_pmts{0};
    std::atomic<int64_t> probe_size{0};        // KiB
    std::atomic<int64_t> analyze_duration{0};  // ms

    void SetMediaInfoCallback(vemx_tsdemux_media_info_callback_t callback, void* ctx) noexcept;
    void SetCallbacks(int32_t video_selector, int32_t audio_selector,
                      vemx_tsdemux_format_callback_t format, vemx_tsdemux_video_callback_t video,
                      vemx_tsdemux_audio_callback_t audio, void* ctx);
    void AddTrack(const track_info_t& track);
    void SetVideoCallback(int32_t stream_id, vemx_tsdemux_video_callback_t callback, void* ctx);
    void SetAudioCallback(int32_t stream_id, vemx_tsdemux_audio_callback_t callback, void* ctx);

    int Init();
    void Uninit();
    int WriteData(const uint8_t* data, uint64_t size);

    bool running() const noexcept { return running_.load(std::memory_order_acquire) != 0; }

  private:
    using video_map_t = std::unordered_map<int32_t, std::shared_ptr<video_callback_t>>;
    using audio_map_t = std::unordered_map<int32_t, std::shared_ptr<audio_callback_t>>;

    static int onReadPacket(void* opaque, uint8_t* buffer, int buffer_size);
    int ReadPacket(uint8_t* buffer, int size);

    void Main();
    bool OpenInput();
    void DiscoverStreams();
    void ReportMediaInfos();
    void Deliver();
    void FollowClock(const AVPacket& packet);
    void ApplySettings();
    void ApplyHandlers(video_map_t& videos, audio_map_t& audios);
    void ApplyTracks();
    void RebuildDispatch(const video_map_t& videos, const audio_map_t& audios);
    struct format_args_t {
        const char* type;
        int channels;
        const char* sample_fmt;
        int sample_rate;
    };
    static format_args_t FormatArgs(const MediaInfo& audio) noexcept;
    std::shared_ptr<MediaInfo> Choose(AVMediaType kind, int32_t selector) const;
    // The body every registration shares: a negative id is reported;
    // otherwise `change` edits the id's entry of `map` under `lock`.
    template <class Map, class Change>
    void Register(int32_t stream_id, const wchar_t* function, const wchar_t* kind, std::mutex& lock,
                  Map& map, std::atomic<bool>& changed, Change change);
    void SetVideoCallback1(uint32_t tag, int32_t stream_id, vemx_tsdemux_video_callback2_t callback,
                           void* ctx);
    void SetAudioCallback1(uint32_t tag, int32_t stream_id, vemx_tsdemux_audio_callback2_t callback,
                           void* ctx);
    void EndOfThread() noexcept;
    // The ring between the writer and the demux thread.  A few hundred KiB
    // let a writer run far ahead of libavformat, so each side sleeps only
    // now and then, and is woken once per batch rather than per block.
    static constexpr size_t kRingSize = 512 * 1024;
    // A read short of its size takes what the ring holds after this long, so
    // that a slow live source is not held back waiting for a full read.
    static constexpr std::chrono::milliseconds kShortReadDelay{10};
    // Copies between a caller's memory and the ring at a running position;
    // done outside the feed lock, on bytes the other side does not touch.
    void CopyIn(uint64_t at, const uint8_t* data, size_t n) noexcept;
    void CopyOut(uint64_t at, uint8_t* buffer, size_t n) const noexcept;
    void Report(int line, const wchar_t* function, const std::wstring& text) const noexcept;

    vemx_tsdemux_media_info_callback_t media_info_callback_;
    void* media_info_context_ = nullptr;

    std::mutex callback_lock_;
    std::atomic<bool> pending_{false};
    int32_t video_selector_ = -1;
    int32_t audio_selector_ = -1;
    vemx_tsdemux_format_callback_t format_callback_;
    vemx_tsdemux_video_callback_t video_callback_;
    vemx_tsdemux_audio_callback_t audio_callback_;
    void* callback_context_ = nullptr;

    AVFormatContext* format_ = nullptr;
    AVIOContext* io_ = nullptr;

    std::vector<std::shared_ptr<MediaInfo>> infos_;
    std::vector<::MediaInfo*> info_pointers_;

    std::mutex video_lock_;
    video_map_t videos_;
    std::atomic<bool> videos_changed_{false};
    std::mutex audio_lock_;
    audio_map_t audios_;
    std::atomic<bool> audios_changed_{false};
    std::mutex track_lock_;
    std::vector<std::shared_ptr<track_info_t>> pending_tracks_;
    std::atomic<bool> tracks_pending_{false};

    std::vector<std::shared_ptr<stream_handler_t>> dispatch_;
    // One per stream, handled or not, so that a handler set late still
    // finds the stream's position after any number of wraps.
    std::vector<tsclock::TsClock> clocks_;

    std::thread thread_;
    // Hand-over: the writer copies each block into the ring and returns; the
    // demux thread reads from it.  Positions count bytes since Init, so the
    // ring holds write_pos_ - read_pos_ bytes.
    std::mutex feed_lock_;
    std::condition_variable data_ready_;  // a reader waits for reader_wants_ bytes
    std::condition_variable space_free_;  // a writer waits for a quarter of the ring
    std::unique_ptr<uint8_t[]> ring_;
    size_t ring_size_ = 0;
    uint64_t read_pos_ = 0;
    uint64_t write_pos_ = 0;
    uint64_t reader_wants_ = 0;  // 0 while the reader is not waiting
    bool writer_waiting_ = false;
    bool feed_ended_ = true;
    // Set when Uninit begins: from then on writes return at once, and the
    // reader drains what the ring holds and then reports the end.
    bool stopping_ = false;
    // Counts Inits, so that a write left over from an earlier run never
    // commits into a later one.
    uint32_t feed_session_ = 0;

    std::atomic<int32_t> running_{0};
};

}  // namespace vemx::tsdemux
