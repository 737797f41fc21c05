#pragma once
// Reads the samples of an MP4 file on a service thread and hands each one to
// its owner when it is due, through two scheduler timers (video, audio) that
// are kept a few samples ahead of the clock.  Video is scheduled at its
// decode time, so that a decoder receives frames in the order it needs them,
// and passed on with its presentation time.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "frame/LazyWindow.h"
#include "frame/media_timer.h"
#include "platform/file_watch.h"
#include "platform/refclock.h"
#include "platform/waitable.h"

namespace vemx::detail {

struct VideoPacket {
    std::unique_ptr<uint8_t[]> data;
    uint64_t size = 0;
    uint64_t id = 0;   // 1-based sample number
    int64_t time = 0;  // presentation time, 100 ns
    int64_t dts = 0;   // decode time, 100 ns
    bool key = false;
    bool last = false;  // the stream's last sample
    bool preroll = false;
    uint32_t epoch = 0;  // the flush generation it was scheduled in
};

struct AudioPacket {
    std::unique_ptr<uint8_t[]> data;
    uint64_t size = 0;
    uint64_t id = 0;
    int64_t time = 0;
    bool last = false;
    uint32_t epoch = 0;
};

class MP4FileDemuxer : public VIZur::Service {
  public:
    enum Command : uint32_t {
        kPlay = 1,
        kPause = 2,
        kStop = 3,
        kSeek = 4,
        kSeekByFrame = 5,
        kUpdateDuration = 6,
        kSetRate = 7,
    };
    enum State : int32_t { kStopped = 0, kPaused = 1, kPlaying = 2 };
    static constexpr uint64_t kDefaultBufferSize = 8294400;  // 3840 x 2160

    MP4FileDemuxer();
    ~MP4FileDemuxer() override;

    // Settings; they take effect at the next Start.
    void SetFilename(std::string path);
    void SetExternalHandle(void* handle);
    void SetBufferSize(uint64_t bytes);
    void SetTimeShift(bool on);

    // Each waits until the service thread has run it; nothing happens while
    // the thread is not running.
    void Play() { Send(kPlay, 0, 0.0); }
    void Pause() { Send(kPause, 0, 0.0); }
    void StopPlayback() { Send(kStop, 0, 0.0); }
    void Seek(int64_t time) { Send(kSeek, time, 0.0); }
    void SeekByFrame(uint64_t frame) { Send(kSeekByFrame, static_cast<int64_t>(frame), 0.0); }
    void SetRate(double rate) { Send(kSetRate, 0, rate); }
    // Queued without waiting.
    void UpdateDuration();

    int64_t LastTime() const;
    uint64_t LastFrame() const;
    int32_t GetState() const noexcept { return state_.load(); }
    double GetRate() const noexcept { return rate_.load(); }
    double Duration() const noexcept { return duration_.load(); }

  protected:
    // lateness is 0 for frames delivered by a seek on the service thread.
    virtual void OnVideoPacket(int64_t time, const VideoPacket& packet, int64_t lateness) = 0;
    virtual void OnAudioPacket(int64_t time, const AudioPacket& packet) = 0;

  private:
    struct Request;

    void OnCreate(VIZur::HWND) override;
    void OnClose() override;
    void Run() override;  // the message loop
    intptr_t OnCommand(uint32_t command, VIZur::CommandRequest* request) override;

    void Send(uint32_t command, int64_t value, double rate);
    void StoreRate(double rate);

    void Fill();
    void TakeInGrowth();  // time shift: samples appended to the file
    void FillVideo(int32_t rate_num);
    void FillAudio(int32_t rate_num);
    // Reads a sample into a packet.  False when the read failed; a sample
    // that does not fit the buffer is reported once and `skipped` is set.
    bool ReadVideo(uint32_t id, VideoPacket& packet, bool& skipped, const wchar_t* function);
    bool ReadAudio(uint32_t id, AudioPacket& packet, bool& skipped);
    bool VideoTimes(uint32_t id, int64_t* dts, int64_t* pts);
    bool AudioTime(uint32_t id, int64_t* pts);

    void DoPlay();
    bool DoResume();  // false when the reader failed before the walk
    void DoPause();   // leaves the state to the caller
    void DoStop();
    bool SeekTo(int64_t time);
    bool SeekToFrame(uint64_t frame);
    // Delivers the video samples after video_index_ up to target at once,
    // all but the target as preroll, then makes the target's decode time
    // "now" on the clock.
    void Walk(uint32_t target, int64_t fallback_time);
    void Rebase(int64_t stream_time);
    void FlushTimers();
    bool ReadCounts(bool report);
    int64_t Now() const;
    int64_t Scaled(int64_t time, int32_t rate_num) const;
    void SetPosition(int64_t time, uint64_t frame);

    void OnVideoDue(int64_t time, int64_t item, int64_t lateness);
    void OnVideoRelease(int64_t item);
    void OnAudioDue(int64_t time, int64_t item, int64_t lateness);
    void OnAudioRelease(int64_t item);

    // Settings, copied at OnCreate.
    std::mutex settings_lock_;
    std::string filename_;
    void* external_handle_ = nullptr;
    uint64_t buffer_size_ = kDefaultBufferSize;
    bool time_shift_setting_ = false;

    // Service thread, between OnCreate and OnClose.
    std::string path_;
    void* handle_ = nullptr;
    bool own_handle_ = false;
    bool time_shift_ = false;
    bool grown_ = false;  // written to since the reader last looked
    std::vector<uint8_t> buffer_;
    std::shared_ptr<platform::ReferenceClock> clock_;
    std::unique_ptr<platform::FileWatch> watch_;
    int64_t start_time_ = 0;
    uint32_t video_index_ = 0;
    uint32_t audio_index_ = 0;
    uint32_t paused_index_ = 0;
    bool audio_held_ = false;      // audio left unread at a rate other than 1
    uint32_t video_reported_ = 0;  // last sample whose read failure was reported
    uint32_t audio_reported_ = 0;

    // Read by the timer threads too.
    std::atomic<uint32_t> video_samples_{0};
    std::atomic<uint32_t> audio_samples_{0};
    std::atomic<double> duration_{0.0};
    std::atomic<int32_t> state_{kStopped};
    std::atomic<int32_t> rate_num_{100000};
    static constexpr int32_t kRateDen = 100000;
    std::atomic<double> rate_{1.0};
    std::atomic<bool> rate_changed_{false};
    // The last samples the timers handed over (delivered or dropped), so
    // that a pause resumes right after them.
    std::atomic<uint32_t> video_delivered_{0};
    std::atomic<uint32_t> audio_delivered_{0};

    // Held while a timer delivers.  A flush takes it to wait for a delivery
    // under way and starts a new epoch, so that nothing scheduled before the
    // flush is delivered after it.
    std::mutex video_delivery_;
    std::mutex audio_delivery_;
    uint32_t video_epoch_ = 0;
    uint32_t audio_epoch_ = 0;

    mutable std::mutex position_lock_;
    int64_t last_time_ = 0;
    uint64_t last_frame_ = 0;  // 0 until the first open

    platform::Event wake_event_;

    // Last, so that they stop before anything they call back into goes.
    VIZur::media_timer_t<MP4FileDemuxer> video_timer_;
    VIZur::media_timer_t<MP4FileDemuxer> audio_timer_;
};

// Forwards the two packet operations to member functions of an owner.
template <class Owner, void (Owner::*Video)(int64_t, const VideoPacket&, int64_t),
          void (Owner::*Audio)(int64_t, const AudioPacket&)>
class mp4_file_demuxer_t final : public MP4FileDemuxer {
  public:
    explicit mp4_file_demuxer_t(Owner* owner) : owner_(owner) {}
    ~mp4_file_demuxer_t() override { Stop(); }

  private:
    void OnVideoPacket(int64_t time, const VideoPacket& packet, int64_t lateness) override {
        (owner_->*Video)(time, packet, lateness);
    }
    void OnAudioPacket(int64_t time, const AudioPacket& packet) override {
        (owner_->*Audio)(time, packet);
    }

    Owner* owner_;
};

}  // namespace vemx::detail
