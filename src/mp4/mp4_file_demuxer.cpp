#include "mp4/mp4_file_demuxer.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <sstream>
#include <system_error>

#include "frame/error.h"
#include "frame/log.h"
#include "mp4/mp4_reader.h"

namespace vemx::detail {

using namespace vemx::mp4reader;

namespace {

constexpr wchar_t kComponent[] = L"vemx";
constexpr wchar_t kSource[] = L"qvmp4fileplayer";
constexpr wchar_t kMessageLoop[] = L"vemx::detail::MP4FileDemuxer::MessageLoop";
constexpr wchar_t kSeekTo[] = L"vemx::detail::MP4FileDemuxer::SeekTo";
constexpr size_t kLookAhead = 4;  // due times per stream ahead of the clock
// A stream is refilled once this few are left: one wake-up of the service
// thread per few samples, with two sample times to spare.
constexpr size_t kRefillAt = 2;
constexpr int64_t kLateAudio = 1000000;
constexpr double kUnitsPerSecond = 10000000.0;

// The demuxer whose packet callback runs on this thread, if any: commands
// from there would wait for the thread that waits for them.
thread_local const MP4FileDemuxer* in_callback = nullptr;

struct CallbackScope {
    explicit CallbackScope(const MP4FileDemuxer* d) noexcept : saved(in_callback) {
        in_callback = d;
    }
    ~CallbackScope() { in_callback = saved; }
    const MP4FileDemuxer* saved;
};

int64_t Saturate(__int128 v) noexcept {
    return v > INT64_MAX ? INT64_MAX : v < INT64_MIN ? INT64_MIN : static_cast<int64_t>(v);
}

}  // namespace

struct MP4FileDemuxer::Request final : VIZur::CommandRequest {
    Request(platform::Event* done, int64_t v, double r) noexcept
        : CommandRequest(done), value(v), rate(r) {}
    int64_t value;
    double rate;
};

MP4FileDemuxer::MP4FileDemuxer()
    : video_timer_(this, &MP4FileDemuxer::OnVideoDue, &MP4FileDemuxer::OnVideoRelease),
      audio_timer_(this, &MP4FileDemuxer::OnAudioDue, &MP4FileDemuxer::OnAudioRelease) {}

MP4FileDemuxer::~MP4FileDemuxer() {
    Stop();
}

void MP4FileDemuxer::SetFilename(std::string path) {
    std::lock_guard guard(settings_lock_);
    filename_ = std::move(path);
}

void MP4FileDemuxer::SetExternalHandle(void* handle) {
    std::lock_guard guard(settings_lock_);
    external_handle_ = handle;
}

void MP4FileDemuxer::SetBufferSize(uint64_t bytes) {
    std::lock_guard guard(settings_lock_);
    buffer_size_ = bytes;
}

void MP4FileDemuxer::SetTimeShift(bool on) {
    std::lock_guard guard(settings_lock_);
    time_shift_setting_ = on;
}

int64_t MP4FileDemuxer::LastTime() const {
    std::lock_guard guard(position_lock_);
    return last_time_;
}

uint64_t MP4FileDemuxer::LastFrame() const {
    std::lock_guard guard(position_lock_);
    return last_frame_;
}

void MP4FileDemuxer::SetPosition(int64_t time, uint64_t frame) {
    std::lock_guard guard(position_lock_);
    last_time_ = time;
    last_frame_ = frame;
}

void MP4FileDemuxer::Send(uint32_t command, int64_t value, double rate) {
    if (in_callback == this || OnServiceThread()) {
        frame::ReportFunction(
            kComponent, kSource, __LINE__, L"vemx::detail::MP4FileDemuxer::SendCommand",
            L"command " + std::to_wstring(command) + L" from inside a callback ignored");
        return;
    }
    if (!Window()) {
        // Not running: only the rate is kept for the next init.
        if (command == kSetRate) StoreRate(rate);
        return;
    }
    platform::Event done;
    SendCommand(command, std::make_unique<Request>(&done, value, rate).release());
}

void MP4FileDemuxer::UpdateDuration() {
    if (VIZur::HWND window = Window())
        VIZur::PostMessageGuaranteed(window, VIZur::WM_SERVICE_COMMAND + kUpdateDuration, 0);
}

void MP4FileDemuxer::StoreRate(double rate) {
    rate_ = rate;
    rate_changed_ = std::fabs(rate - 1.0) > 0.001;
    rate_num_ = static_cast<int32_t>(std::clamp(100000.0 / rate, 1.0, 1e9));
}

// ---- service thread ----

void MP4FileDemuxer::OnCreate(VIZur::HWND) {
    std::string path;
    void* external;
    uint64_t buffer_size;
    {
        std::lock_guard guard(settings_lock_);
        path = filename_;
        external = external_handle_;
        buffer_size = buffer_size_;
        time_shift_ = time_shift_setting_;
        grown_ = false;
    }
    try {
        buffer_.resize(buffer_size);
    } catch (const std::exception&) {
        frame::ReportFunction(
            kComponent, kSource, __LINE__, L"vemx::detail::MP4FileDemuxer::OnCreate",
            L"no memory for a sample buffer of " + std::to_wstring(buffer_size) + L" bytes");
    }
    own_handle_ = external == nullptr;
    path_ = path;
    if (own_handle_)
        QvMP4CreateEditFileRead(path.c_str(), &handle_);
    else
        handle_ = external;

    unsigned long v[4] = {}, a[4] = {};
    double frame_rate = 0;
    QvMP4GetVideoStreamFormat(handle_, &v[0], &v[1], &v[2], &v[3], &frame_rate);
    QvMP4GetAudioStreamFormat(handle_, &a[0], &a[1], &a[2], &a[3]);
    ReadCounts(false);

    std::wostringstream format;
    format << L"File Format: Video[" << v[0] << L"," << v[1] << L"x" << v[2] << L"x" << v[3] << L","
           << frame_rate << L"], Audio[" << a[0] << L"," << a[1] << L"x" << a[2] << L"x" << a[3]
           << L"]";
    frame::InfoLine(kComponent, format.str());
    std::wostringstream duration;
    duration << L"Duration: " << duration_.load() << L"secs";
    frame::InfoLine(kComponent, duration.str());
    frame::InfoLine(kComponent, L"Samples: Video=" + std::to_wstring(video_samples_.load()) +
                                    L", Audio=" + std::to_wstring(audio_samples_.load()));

    SetPosition(0, 1);
    wake_event_.reset();
    try {
        frame::HRESULT hr = frame::E_FAIL;
        clock_ = platform::ReferenceClock::Create(&hr);
        if (!clock_) frame::RaiseComError(hr, kSource, __LINE__);
        // A recording in progress may gain the stream it lacks now.
        if (video_samples_ || time_shift_) {
            video_timer_.SetClock(clock_);
            video_timer_.Start();
        }
        if (audio_samples_ || time_shift_) {
            audio_timer_.SetClock(clock_);
            audio_timer_.Start();
        }
    } catch (const frame::ComError&) {
        clock_.reset();  // reported; nothing is scheduled without a clock
    }

    if (time_shift_) {
        const char* watched = own_handle_ ? path.c_str() : ReaderPath(handle_);
        try {
            if (watched) watch_ = std::make_unique<platform::FileWatch>(watched);
        } catch (const std::system_error& e) {
            frame::ReportFunction(
                kComponent, kSource, __LINE__, L"vemx::detail::MP4FileDemuxer::OnCreate",
                L"cannot follow the file's growth, err=" + std::to_wstring(e.code().value()));
        }
    }
}

void MP4FileDemuxer::OnClose() {
    video_timer_.Stop();
    audio_timer_.Stop();
    watch_.reset();
    video_samples_ = 0;
    audio_samples_ = 0;
    duration_ = 0.0;
    if (own_handle_) QvMP4ReleaseEditFileRead(handle_);
    handle_ = nullptr;
    clock_.reset();
    buffer_.clear();
    buffer_.shrink_to_fit();
}

void MP4FileDemuxer::Run() {
    platform::Waitable* objects[2] = {&wake_event_, nullptr};
    while (running_) {
        size_t count = 1;
        if (watch_ && state_ == kPlaying) objects[count++] = watch_.get();
        const int r = VIZur::MsgWaitForMultipleObjects(std::span(objects, count));
        if (r < 0) {
            frame::ReportShort(kComponent,
                               L"MsgWaitForMultipleObjects failed, err=" + std::to_wstring(errno));
            return;
        }
        if (static_cast<size_t>(r) == count) {
            VIZur::MSG m;
            while (VIZur::PeekMessageW(m, nullptr, 0, UINT32_MAX)) {
                if (m.message == VIZur::WM_QUIT) {
                    msg_ = m;
                    return;
                }
                VIZur::DispatchMessageW(m);
            }
            continue;
        }
        if (state_ != kPlaying) continue;
        try {
            // The reader takes in what was appended once a stream has run
            // out of known samples; the change may have come long before.
            if (r == 1) grown_ = true;
            if (grown_ && (video_index_ >= video_samples_ || audio_index_ >= audio_samples_))
                TakeInGrowth();
            Fill();
        } catch (const frame::ComError&) {
            // Reported; the next wake-up tries again.
        }
    }
}

void MP4FileDemuxer::TakeInGrowth() {
    grown_ = false;
    double seconds = 0;
    if (own_handle_ && !video_samples_ && !audio_samples_ &&
        QvMP4GetTotalDuration(handle_, &seconds) == kReaderBadHandle) {
        // Opened before the recording had written its first fragment.
        QvMP4ReleaseEditFileRead(handle_);
        handle_ = nullptr;
        QvMP4CreateEditFileRead(path_.c_str(), &handle_);
    }
    const bool starved = video_timer_.PendingCount() == 0 && audio_timer_.PendingCount() == 0;
    if (!ReadCounts(false) || !starved) return;
    // Playback waited for the recording: go on from the next sample instead
    // of delivering it late (and dropping the audio).
    int64_t next = INT64_MAX, t = 0;
    if (video_index_ < video_samples_ && VideoTimes(video_index_ + 1, &t, nullptr))
        next = std::min(next, t);
    if (audio_index_ < audio_samples_ && AudioTime(audio_index_ + 1, &t)) next = std::min(next, t);
    if (next == INT64_MAX) return;
    const int64_t due = Saturate(static_cast<__int128>(start_time_) + Scaled(next, rate_num_));
    if (due < Now()) Rebase(next);
}

void MP4FileDemuxer::Fill() {
    if (!clock_) return;
    const int32_t rate_num = rate_num_.load();
    FillVideo(rate_num);
    FillAudio(rate_num);
}

void MP4FileDemuxer::FillVideo(int32_t rate_num) {
    while (video_index_ < video_samples_ && video_timer_.PendingCount() < kLookAhead) {
        const uint32_t id = video_index_ + 1;
        auto packet = std::make_unique<VideoPacket>();
        bool skipped = false;
        if (!ReadVideo(id, *packet, skipped, kMessageLoop)) {
            if (!skipped) return;  // tried again at the next wake-up
            video_index_ = id;
            continue;
        }
        video_index_ = id;
        packet->epoch = video_epoch_;
        const int64_t due = Scaled(packet->dts, rate_num);
        video_timer_.Schedule(due, reinterpret_cast<int64_t>(packet.release()));
    }
}

void MP4FileDemuxer::FillAudio(int32_t rate_num) {
    // Audio is not played at other rates; with pictures to follow it is not
    // read either, and taken up again where they are when it plays again.
    if (rate_changed_ && video_samples_) {
        audio_held_ = true;
        return;
    }
    while (audio_index_ < audio_samples_ && audio_timer_.PendingCount() < kLookAhead) {
        const uint32_t id = audio_index_ + 1;
        auto packet = std::make_unique<AudioPacket>();
        bool skipped = false;
        if (!ReadAudio(id, *packet, skipped)) {
            if (!skipped) return;
            audio_index_ = id;
            continue;
        }
        audio_index_ = id;
        packet->epoch = audio_epoch_;
        const int64_t due = Scaled(packet->time, rate_num);
        audio_timer_.Schedule(due, reinterpret_cast<int64_t>(packet.release()));
    }
}

bool MP4FileDemuxer::VideoTimes(uint32_t id, int64_t* dts, int64_t* pts) {
    int key = 0;
    return QvMP4GetVideoSample(handle_, id, nullptr, nullptr, dts, pts, &key) >= 0;
}

bool MP4FileDemuxer::AudioTime(uint32_t id, int64_t* pts) {
    return QvMP4GetAudioSample(handle_, id, nullptr, nullptr, pts, nullptr) >= 0;
}

namespace {

// Reports a failed read once per sample, so that a retry on every wake-up
// does not repeat the line.
void ReportRead(uint32_t id, uint32_t& reported, const wchar_t* function, const wchar_t* what,
                int hr) {
    if (reported == id) return;
    reported = id;
    frame::ReportFunction(kComponent, kSource, __LINE__, function,
                          std::wstring(what) + std::to_wstring(hr));
}

void ReportTooLarge(uint32_t id, uint32_t& reported, const wchar_t* function, const wchar_t* kind,
                    unsigned int needed, size_t capacity) {
    if (reported == id) return;
    reported = id;
    frame::ReportFunction(kComponent, kSource, __LINE__, function,
                          std::wstring(kind) + L" sample " + std::to_wstring(id) + L" needs " +
                              std::to_wstring(needed) + L" bytes, more than the buffer of " +
                              std::to_wstring(capacity) + L"; skipped");
}

std::unique_ptr<uint8_t[]> Copy(const unsigned char* data, unsigned int size) {
    auto copy = std::make_unique_for_overwrite<uint8_t[]>(std::max(size, 1u));
    if (size) std::memcpy(copy.get(), data, size);
    return copy;
}

}  // namespace

bool MP4FileDemuxer::ReadVideo(uint32_t id, VideoPacket& packet, bool& skipped,
                               const wchar_t* function) {
    int key = 0;
    int hr = QvMP4GetVideoSample(handle_, id, nullptr, nullptr, &packet.dts, &packet.time, &key);
    if (hr < 0) {
        ReportRead(id, video_reported_, function,
                   L"Failed to call QvMP4GetVideoSample to get time stamp, hr=", hr);
        return false;
    }
    unsigned char* data = buffer_.data();
    const size_t capacity = std::min<size_t>(buffer_.size(), UINT_MAX);
    auto size = static_cast<unsigned int>(capacity);
    hr = QvMP4GetVideoSample(handle_, id, &data, &size, nullptr, nullptr, nullptr);
    if (hr == kReaderBufferTooSmall) {
        ReportTooLarge(id, video_reported_, function, L"Video", size, capacity);
        skipped = true;
        return false;
    }
    if (hr < 0) {
        ReportRead(id, video_reported_, function,
                   L"Failed to call QvMP4GetVideoSample to get frame buffer, hr=", hr);
        return false;
    }
    packet.data = Copy(data, size);
    packet.size = size;
    packet.id = id;
    packet.key = key != 0;
    packet.last = !time_shift_ && id >= video_samples_;
    return true;
}

bool MP4FileDemuxer::ReadAudio(uint32_t id, AudioPacket& packet, bool& skipped) {
    int hr = QvMP4GetAudioSample(handle_, id, nullptr, nullptr, &packet.time, nullptr);
    if (hr < 0) {
        ReportRead(id, audio_reported_, kMessageLoop,
                   L"Failed to call QvMP4GetAudioSample to get time stamp, hr=", hr);
        return false;
    }
    unsigned char* data = buffer_.data();
    const size_t capacity = std::min<size_t>(buffer_.size(), UINT_MAX);
    auto size = static_cast<unsigned int>(capacity);
    hr = QvMP4GetAudioSample(handle_, id, &data, &size, nullptr, nullptr);
    if (hr == kReaderBufferTooSmall) {
        ReportTooLarge(id, audio_reported_, kMessageLoop, L"Audio", size, capacity);
        skipped = true;
        return false;
    }
    if (hr < 0) {
        ReportRead(id, audio_reported_, kMessageLoop,
                   L"Failed to call QvMP4GetAudioSample to get frame buffer, hr=", hr);
        return false;
    }
    packet.data = Copy(data, size);
    packet.size = size;
    packet.id = id;
    packet.last = !time_shift_ && id >= audio_samples_;
    return true;
}

int64_t MP4FileDemuxer::Now() const {
    int64_t now = 0;
    if (!clock_ || clock_->GetTime(&now) < 0) return 0;
    return now;
}

int64_t MP4FileDemuxer::Scaled(int64_t time, int32_t rate_num) const {
    return Saturate(static_cast<__int128>(time) * rate_num / kRateDen);
}

void MP4FileDemuxer::Rebase(int64_t stream_time) {
    start_time_ = Saturate(static_cast<__int128>(Now()) - Scaled(stream_time, rate_num_.load()));
    video_timer_.SetBaseTime(start_time_);
    audio_timer_.SetBaseTime(start_time_);
}

void MP4FileDemuxer::FlushTimers() {
    video_timer_.Flush();
    audio_timer_.Flush();
    {
        std::lock_guard guard(video_delivery_);
        ++video_epoch_;
    }
    std::lock_guard guard(audio_delivery_);
    ++audio_epoch_;
}

bool MP4FileDemuxer::ReadCounts(bool report) {
    double seconds = 0;
    int hr = QvMP4GetTotalDuration(handle_, &seconds);
    if (hr < 0) {
        if (report)
            frame::ReportShort(
                kComponent,
                L"Failed to call QvMP4GetTotalDuration to get duration! hr=" + std::to_wstring(hr));
        return false;
    }
    unsigned long video = 0, audio = 0;
    hr = QvMP4GetSampleNumber(handle_, &video, &audio);
    if (hr < 0) {
        if (report)
            frame::ReportShort(kComponent,
                               L"Failed to call QvMP4GetSampleNumber to get a & v samples! hr=" +
                                   std::to_wstring(hr));
        return false;
    }
    duration_ = seconds;
    video_samples_ = static_cast<uint32_t>(std::min<unsigned long>(video, UINT32_MAX));
    audio_samples_ = static_cast<uint32_t>(std::min<unsigned long>(audio, UINT32_MAX));
    return true;
}

void MP4FileDemuxer::Walk(uint32_t target, int64_t fallback_time) {
    int64_t base = fallback_time;
    for (uint32_t id = video_index_ + 1; id <= target; ++id) {
        VideoPacket packet;
        bool skipped = false;
        if (!ReadVideo(id, packet, skipped, kSeekTo)) {
            if (!skipped) break;
            video_index_ = id;
            continue;
        }
        packet.preroll = id != target;
        {
            CallbackScope scope(this);
            OnVideoPacket(packet.time, packet, 0);
        }
        if (packet.last && !packet.preroll)
            SetPosition(static_cast<int64_t>(duration_.load() * kUnitsPerSecond), id);
        else
            SetPosition(packet.time, id);
        video_delivered_ = id;
        video_index_ = id;
        if (id == target) base = packet.dts;
    }
    Rebase(base);
}

bool MP4FileDemuxer::SeekTo(int64_t time) {
    const double seconds = time / kUnitsPerSecond;
    unsigned long audio_id = 1;
    if (QvMP4GetAudioSampleId(handle_, seconds, &audio_id) < 0 || audio_id == 0) audio_id = 1;
    if (!video_samples_) {
        audio_index_ = static_cast<uint32_t>(audio_id - 1);
        audio_delivered_ = audio_index_;
        int64_t start = time;
        AudioTime(audio_index_ + 1, &start);
        Rebase(start);
        return true;
    }
    unsigned long target = 0, key = 0, key_audio = 0;
    if (QvMP4GetVideoFrameId(handle_, seconds, &target) < 0) return false;
    if (QvMP4GetKeyFrameTimeAndId(handle_, target, &key, &key_audio, nullptr, nullptr) < 0 ||
        key == 0)
        return false;
    video_index_ = static_cast<uint32_t>(key - 1);
    audio_index_ = static_cast<uint32_t>(audio_id - 1);
    audio_delivered_ = audio_index_;
    Walk(static_cast<uint32_t>(target), time);
    paused_index_ = video_index_ + 1;
    return true;
}

bool MP4FileDemuxer::SeekToFrame(uint64_t frame) {
    if (!video_samples_ || frame == 0 || frame > video_samples_) return false;
    double seconds = 0;
    unsigned long key = 0, key_audio = 0, audio_id = 1;
    if (QvMP4GetVideoFrameTime(handle_, frame, &seconds) < 0) return false;
    if (QvMP4GetAudioSampleId(handle_, seconds, &audio_id) < 0 || audio_id == 0) audio_id = 1;
    if (QvMP4GetKeyFrameTimeAndId(handle_, frame, &key, &key_audio, nullptr, nullptr) < 0 ||
        key == 0)
        return false;
    video_index_ = static_cast<uint32_t>(key - 1);
    audio_index_ = static_cast<uint32_t>(audio_id - 1);
    audio_delivered_ = audio_index_;
    Walk(static_cast<uint32_t>(frame), static_cast<int64_t>(seconds * kUnitsPerSecond));
    paused_index_ = video_index_ + 1;
    return true;
}

void MP4FileDemuxer::DoPlay() {
    FlushTimers();
    video_index_ = 0;
    audio_index_ = 0;
    if (video_samples_) {
        unsigned long target = 0, key = 0, key_audio = 0;
        if (QvMP4GetVideoFrameId(handle_, 0.0, &target) < 0) return;
        if (QvMP4GetKeyFrameTimeAndId(handle_, target, &key, &key_audio, nullptr, nullptr) < 0 ||
            key == 0)
            return;
        video_index_ = static_cast<uint32_t>(key - 1);
        // From the first picture on, audio starts with its first sample,
        // also those before time 0 (priming).
        audio_index_ = key > 1 && key_audio ? static_cast<uint32_t>(key_audio - 1) : 0;
    }
    // Samples before time 0 (decode times ahead of the first picture, audio
    // priming) start the clock, so that none of them is late.
    int64_t first = 0, t = 0;
    if (video_index_ < video_samples_ && VideoTimes(video_index_ + 1, &t, nullptr))
        first = std::min(first, t);
    if (audio_index_ < audio_samples_ && AudioTime(audio_index_ + 1, &t))
        first = std::min(first, t);
    Rebase(first);
    video_delivered_ = video_index_;
    audio_delivered_ = audio_index_;
    audio_held_ = false;
    paused_index_ = video_index_ + 1;
    state_ = kPlaying;
    wake_event_.set();
}

void MP4FileDemuxer::DoPause() {
    FlushTimers();
    // What was flushed was never delivered: resume right after what was.
    video_index_ = std::min(video_delivered_.load(), video_samples_.load());
    audio_index_ = std::min(audio_delivered_.load(), audio_samples_.load());
    paused_index_ = video_index_ + 1;
    wake_event_.reset();
}

bool MP4FileDemuxer::DoResume() {
    FlushTimers();
    if (video_samples_ && paused_index_ >= 1 && paused_index_ <= video_samples_) {
        double seconds = 0;
        unsigned long key = 0, key_audio = 0;
        if (QvMP4GetVideoFrameTime(handle_, paused_index_, &seconds) < 0) return false;
        if (QvMP4GetKeyFrameTimeAndId(handle_, paused_index_, &key, &key_audio, nullptr, nullptr) <
                0 ||
            key == 0)
            return false;
        int64_t dts = 0;
        unsigned long audio_id = 1;
        if (audio_held_ && VideoTimes(paused_index_, &dts, nullptr) &&
            QvMP4GetAudioSampleId(handle_, dts / kUnitsPerSecond, &audio_id) >= 0 && audio_id)
            audio_index_ = static_cast<uint32_t>(audio_id - 1);
        audio_held_ = false;
        video_index_ = static_cast<uint32_t>(key - 1);
        Walk(paused_index_, static_cast<int64_t>(seconds * kUnitsPerSecond));
    } else {
        // No picture left to walk to: the audio goes on where it stopped.
        if (audio_held_) audio_index_ = audio_samples_;
        audio_held_ = false;
        int64_t t = 0;
        if (audio_index_ < audio_samples_) AudioTime(audio_index_ + 1, &t);
        Rebase(t);
    }
    wake_event_.set();
    return true;
}

void MP4FileDemuxer::DoStop() {
    frame::LogPrint("INFO[vemx!qvmp4player] ", "%s", "vemx::detail::MP4FileDemuxer::DoStop");
    FlushTimers();
    wake_event_.reset();
    state_ = kStopped;
}

intptr_t MP4FileDemuxer::OnCommand(uint32_t command, VIZur::CommandRequest* request) {
    const auto* args = dynamic_cast<const Request*>(request);
    const int32_t state = state_.load();
    switch (command) {
        case kPlay:
            if (state == kStopped)
                DoPlay();
            else if (state == kPaused && DoResume())
                state_ = kPlaying;
            break;
        case kPause:
            if (state == kStopped) {
                FlushTimers();
                SeekTo(LastTime());
                state_ = kPaused;
            } else if (state == kPlaying) {
                DoPause();
                state_ = kPaused;
            }
            break;
        case kStop:
            if (state != kStopped) DoStop();
            break;
        case kSeek:
            if (!args) break;
            if (state == kPaused) {
                SeekTo(args->value);
            } else if (state == kPlaying) {
                FlushTimers();
                wake_event_.reset();
                SeekTo(args->value);
                wake_event_.set();
            }
            break;
        case kSeekByFrame:
            if (args && state == kPaused) SeekToFrame(static_cast<uint64_t>(args->value));
            break;
        case kUpdateDuration:
            if (ReadCounts(true) && state == kPlaying) wake_event_.set();
            break;
        case kSetRate:
            if (!args) break;
            StoreRate(args->rate);
            if (state == kPlaying) {
                // Carry on from the last sample delivered, at the new pace.
                DoPause();
                if (!DoResume()) state_ = kPaused;
            }
            break;
        default:
            break;
    }
    return 0;
}

// ---- timer threads ----

void MP4FileDemuxer::OnVideoDue(int64_t, int64_t item, int64_t lateness) {
    const auto* packet = reinterpret_cast<const VideoPacket*>(item);
    std::lock_guard guard(video_delivery_);
    if (packet->epoch != video_epoch_) return;
    video_delivered_ = static_cast<uint32_t>(packet->id);
    SetPosition(packet->time, packet->id);
    {
        CallbackScope scope(this);
        OnVideoPacket(packet->time, *packet, lateness);
    }
    if (packet->last)
        SetPosition(static_cast<int64_t>(duration_.load() * kUnitsPerSecond),
                    video_samples_.load());
}

void MP4FileDemuxer::OnVideoRelease(int64_t item) {
    std::unique_ptr<VideoPacket> packet(reinterpret_cast<VideoPacket*>(item));
    if (video_timer_.PendingCount() <= kRefillAt) wake_event_.set();
}

void MP4FileDemuxer::OnAudioDue(int64_t, int64_t item, int64_t lateness) {
    const auto* packet = reinterpret_cast<const AudioPacket*>(item);
    std::lock_guard guard(audio_delivery_);
    if (packet->epoch != audio_epoch_) return;
    audio_delivered_ = static_cast<uint32_t>(packet->id);
    if (rate_changed_) return;  // audio plays at the normal rate only
    if (lateness > kLateAudio) {
        frame::ReportShort(kComponent, L"Audio drop, " + std::to_wstring(lateness / 10000));
        return;
    }
    CallbackScope scope(this);
    OnAudioPacket(packet->time, *packet);
}

void MP4FileDemuxer::OnAudioRelease(int64_t item) {
    std::unique_ptr<AudioPacket> packet(reinterpret_cast<AudioPacket*>(item));
    if (audio_timer_.PendingCount() <= kRefillAt) wake_event_.set();
}

}  // namespace vemx::detail
