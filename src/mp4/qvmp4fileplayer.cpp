// The exported MP4 file player: a counted handle around the demuxer, which
// passes the samples on to the application's two callbacks.
#include "vemx/qvmp4fileplayer.h"

#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <string>

#include "frame/LazyWindow.h"
#include "frame/error.h"
#include "frame/handle.h"
#include "frame/log.h"
#include "mp4/mp4_file_demuxer.h"

namespace vemx::detail {

namespace {

constexpr wchar_t kSource[] = L"qvmp4fileplayer";
constexpr double kUnitsPerSecond = 10000000.0;

void NoVideo(int64_t, uint64_t, const uint8_t*, uint64_t, uint8_t, uint8_t, void*) {}
void NoAudio(int64_t, uint64_t, const uint8_t*, uint64_t, void*) {}

// The object-report layout with "] " for "][ERROR]: ", as an information line.
void LifeLine(int line, const wchar_t* function, const void* object) {
    wchar_t address[17];
    std::swprintf(address, 17, L"%016" PRIXPTR, reinterpret_cast<uintptr_t>(object));
    frame::WideInfo(std::wstring(L"[vemx] ") + kSource + L"(" + std::to_wstring(line) + L"): [" +
                    function + L"], 0x" + address + L" \n");
}

}  // namespace

class MP4FilePlayer final : public frame::RefCounted {
  public:
    MP4FilePlayer() : demuxer_(this) {
        LifeLine(__LINE__, L"vemx::detail::MP4FilePlayer::MP4FilePlayer", this);
        VIZur::LazyWindow::Initialize();
    }

    ~MP4FilePlayer() override {
        LifeLine(__LINE__, L"vemx::detail::MP4FilePlayer::~MP4FilePlayer", this);
        demuxer_.Stop();
        VIZur::LazyWindow::Uninitialize();
    }

    MP4FileDemuxer& demuxer() noexcept { return demuxer_; }

    void SetCallbacks(qvmp4fileplayer_video_callback_t video,
                      qvmp4fileplayer_audio_callback_t audio, void* user) {
        std::lock_guard guard(callbacks_lock_);
        video_ = video ? video : NoVideo;
        audio_ = audio ? audio : NoAudio;
        user_ = user;
    }

    void Init() {
        std::lock_guard guard(lifecycle_lock_);
        demuxer_.Start();
    }

    void Reset() {
        if (frame::ServingThread::Serves(this)) {
            // The threads to stop include the one asking.
            frame::ReportObject(L"vemx", kSource, __LINE__, L"vemx::detail::MP4FilePlayer::Reset",
                                this, L"called from a callback; ignored");
            return;
        }
        std::lock_guard guard(lifecycle_lock_);
        demuxer_.Stop();
    }

  private:
    void OnVideo(int64_t time, const VideoPacket& packet, int64_t) {
        qvmp4fileplayer_video_callback_t video;
        void* user;
        {
            std::lock_guard guard(callbacks_lock_);
            video = video_;
            user = user_;
        }
        // A release from the callback then destroys the player elsewhere.
        frame::ServingThread serving(this);
        video(time, packet.id, packet.data.get(), packet.size, packet.key, packet.preroll, user);
        if (packet.last)
            video(static_cast<int64_t>(demuxer_.Duration() * kUnitsPerSecond), packet.id, nullptr,
                  0, 1, 0, user);
    }

    void OnAudio(int64_t time, const AudioPacket& packet) {
        qvmp4fileplayer_audio_callback_t audio;
        void* user;
        {
            std::lock_guard guard(callbacks_lock_);
            audio = audio_;
            user = user_;
        }
        frame::ServingThread serving(this);
        audio(time, packet.id, packet.data.get(), packet.size, user);
        if (packet.last)
            audio(static_cast<int64_t>(demuxer_.Duration() * kUnitsPerSecond), packet.id, nullptr,
                  0, user);
    }

    std::mutex lifecycle_lock_;  // init and reset from several threads
    std::mutex callbacks_lock_;
    qvmp4fileplayer_video_callback_t video_ = NoVideo;
    qvmp4fileplayer_audio_callback_t audio_ = NoAudio;
    void* user_ = nullptr;
    mp4_file_demuxer_t<MP4FilePlayer, &MP4FilePlayer::OnVideo, &MP4FilePlayer::OnAudio> demuxer_;
};

namespace {

// Reports a null handle for the export named; the player otherwise.
MP4FilePlayer* Player(void* handle, int line, const wchar_t* export_name) {
    if (!handle) {
        frame::ReportFunction(L"vemx", kSource, line, export_name, L"null pointer");
        return nullptr;
    }
    return frame::FromHandle<MP4FilePlayer>(handle);
}

MP4FileDemuxer* Demuxer(void* handle, int line, const wchar_t* export_name) {
    MP4FilePlayer* player = Player(handle, line, export_name);
    return player ? &player->demuxer() : nullptr;
}

}  // namespace

}  // namespace vemx::detail

using vemx::detail::Demuxer;
using vemx::detail::MP4FilePlayer;
using vemx::detail::Player;
using vemx::frame::Guarded;

VEMX_EXPORT void* qvmp4fileplayer_new(void) {
    return vemx::frame::NewHandle<MP4FilePlayer>();
}

VEMX_EXPORT void qvmp4fileplayer_add_ref(void* player) {
    if (Player(player, __LINE__, L"qvmp4fileplayer_add_ref")) vemx::frame::AddRefHandle(player);
}

VEMX_EXPORT void qvmp4fileplayer_release(void* player) {
    Guarded("qvmp4fileplayer_release", [&] {
        if (Player(player, __LINE__, L"qvmp4fileplayer_release"))
            vemx::frame::ReleaseHandle(player);
    });
}

VEMX_EXPORT void qvmp4fileplayer_set_filename(void* player, const char* path) {
    Guarded("qvmp4fileplayer_set_filename", [&] {
        auto* d = Demuxer(player, __LINE__, L"qvmp4fileplayer_set_filename");
        if (!d) return;
        if (!path) {
            vemx::frame::ReportFunction(L"vemx", L"qvmp4fileplayer", __LINE__,
                                        L"qvmp4fileplayer_set_filename", L"null pointer");
            return;
        }
        d->SetFilename(path);
    });
}

VEMX_EXPORT void qvmp4fileplayer_set_handle(void* player, void* reader) {
    Guarded("qvmp4fileplayer_set_handle", [&] {
        if (auto* d = Demuxer(player, __LINE__, L"qvmp4fileplayer_set_handle"))
            d->SetExternalHandle(reader);
    });
}

VEMX_EXPORT void qvmp4fileplayer_set_time_shift_mode(void* player, int on) {
    Guarded("qvmp4fileplayer_set_time_shift_mode", [&] {
        if (auto* d = Demuxer(player, __LINE__, L"qvmp4fileplayer_set_time_shift_mode"))
            d->SetTimeShift(on != 0);
    });
}

VEMX_EXPORT void qvmp4fileplayer_set_buffer_size(void* player, size_t bytes) {
    Guarded("qvmp4fileplayer_set_buffer_size", [&] {
        auto* d = Demuxer(player, __LINE__, L"qvmp4fileplayer_set_buffer_size");
        if (!d) return;
        if (bytes == 0) {
            vemx::frame::ReportFunction(L"vemx", L"qvmp4fileplayer", __LINE__,
                                        L"qvmp4fileplayer_set_buffer_size", L"size = 0");
            return;
        }
        d->SetBufferSize(bytes);
    });
}

VEMX_EXPORT void qvmp4fileplayer_set_callbacks(void* player, qvmp4fileplayer_video_callback_t video,
                                               qvmp4fileplayer_audio_callback_t audio, void* user) {
    Guarded("qvmp4fileplayer_set_callbacks", [&] {
        if (auto* p = Player(player, __LINE__, L"qvmp4fileplayer_set_callbacks"))
            p->SetCallbacks(video, audio, user);
    });
}

VEMX_EXPORT void qvmp4fileplayer_init(void* player) {
    Guarded("qvmp4fileplayer_init", [&] {
        if (auto* p = Player(player, __LINE__, L"qvmp4fileplayer_init")) p->Init();
    });
}

VEMX_EXPORT void qvmp4fileplayer_reset(void* player) {
    Guarded("qvmp4fileplayer_reset", [&] {
        if (auto* p = Player(player, __LINE__, L"qvmp4fileplayer_reset")) p->Reset();
    });
}

VEMX_EXPORT void qvmp4fileplayer_play(void* player) {
    Guarded("qvmp4fileplayer_play", [&] {
        if (auto* d = Demuxer(player, __LINE__, L"qvmp4fileplayer_play")) d->Play();
    });
}

VEMX_EXPORT void qvmp4fileplayer_pause(void* player) {
    Guarded("qvmp4fileplayer_pause", [&] {
        if (auto* d = Demuxer(player, __LINE__, L"qvmp4fileplayer_pause")) d->Pause();
    });
}

VEMX_EXPORT void qvmp4fileplayer_stop(void* player) {
    Guarded("qvmp4fileplayer_stop", [&] {
        if (auto* d = Demuxer(player, __LINE__, L"qvmp4fileplayer_stop")) d->StopPlayback();
    });
}

VEMX_EXPORT void qvmp4fileplayer_seek(void* player, int64_t time) {
    Guarded("qvmp4fileplayer_seek", [&] {
        if (auto* d = Demuxer(player, __LINE__, L"qvmp4fileplayer_seek")) d->Seek(time);
    });
}

VEMX_EXPORT void qvmp4fileplayer_seek_by_frame(void* player, uint64_t frame) {
    Guarded("qvmp4fileplayer_seek_by_frame", [&] {
        if (auto* d = Demuxer(player, __LINE__, L"qvmp4fileplayer_seek_by_frame"))
            d->SeekByFrame(frame);
    });
}

VEMX_EXPORT int64_t qvmp4fileplayer_get_pts(void* player) {
    return Guarded("qvmp4fileplayer_get_pts", int64_t{-1}, [&]() -> int64_t {
        auto* d = Demuxer(player, __LINE__, L"qvmp4fileplayer_get_pts");
        return d ? d->LastTime() : -1;
    });
}

VEMX_EXPORT uint64_t qvmp4fileplayer_get_frame_number(void* player) {
    return Guarded("qvmp4fileplayer_get_frame_number", uint64_t{0}, [&]() -> uint64_t {
        auto* d = Demuxer(player, __LINE__, L"qvmp4fileplayer_get_frame_number");
        return d ? d->LastFrame() : 0;
    });
}

VEMX_EXPORT int qvmp4fileplayer_get_state(void* player) {
    return Guarded("qvmp4fileplayer_get_state", -1, [&]() -> int {
        auto* d = Demuxer(player, __LINE__, L"qvmp4fileplayer_get_state");
        return d ? d->GetState() : -1;
    });
}

VEMX_EXPORT void qvmp4fileplayer_set_rate(void* player, double rate) {
    Guarded("qvmp4fileplayer_set_rate", [&] {
        auto* d = Demuxer(player, __LINE__, L"qvmp4fileplayer_set_rate");
        if (!d) return;
        if (!(rate >= 0.001)) {
            vemx::frame::ReportFunction(L"vemx", L"qvmp4fileplayer", __LINE__,
                                        L"qvmp4fileplayer_set_rate",
                                        L"playback rate is too small or negative");
            return;
        }
        d->SetRate(rate);
    });
}

VEMX_EXPORT double qvmp4fileplayer_get_rate(void* player) {
    return Guarded("qvmp4fileplayer_get_rate", 0.0, [&]() -> double {
        auto* d = Demuxer(player, __LINE__, L"qvmp4fileplayer_get_rate");
        return d ? d->GetRate() : 0.0;
    });
}

VEMX_EXPORT void qvmp4fileplayer_update_duration(void* player) {
    Guarded("qvmp4fileplayer_update_duration", [&] {
        if (auto* d = Demuxer(player, __LINE__, L"qvmp4fileplayer_update_duration"))
            d->UpdateDuration();
    });
}
