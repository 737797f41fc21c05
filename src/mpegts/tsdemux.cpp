// The demultiplexer's life cycle: construction, Init and Uninit.
#include "mpegts/tsdemux.h"

#include <algorithm>

#include "frame/error.h"
#include "frame/log.h"
#include "frame/vemx.h"
#include "mpegts/tsdemux_common.h"

namespace vemx::tsdemux {

using frame::LogPrint;

using namespace detail;

const std::shared_ptr<MediaInfo>& MediaInfo::Empty() {
    static const std::shared_ptr<MediaInfo> empty = std::make_shared<MediaInfo>();
    return empty;
}

TsDemux::TsDemux()
    : media_info_callback_(&NoMediaInfo),
      format_callback_(&NoFormat),
      video_callback_(&NoVideo),
      audio_callback_(&NoAudio) {
    videos_.rehash(8);
    videos_.max_load_factor(1.0f);
    audios_.rehash(8);
    audios_.max_load_factor(1.0f);
}

TsDemux::~TsDemux() {
    Uninit();
}

void TsDemux::Report(int line, const wchar_t* function, const std::wstring& text) const noexcept {
    frame::ReportObject(L"vemx", L"tsdemux", line, function, this, text);
}

int TsDemux::Init() {
    constexpr const wchar_t* kName = L"vemx::tsdemux::TsDemux::Init";
    frame::GlobalInit();
    if (thread_.joinable() || format_) {
        Report(__LINE__, kName, L"already initialized");
        return 0;
    }
    format_ = avformat_alloc_context();
    if (!format_) {
        Report(__LINE__, kName, L"avformat_alloc_context");
        return 0;
    }
    const int size = buffer_size.load();
    auto* buffer = static_cast<uint8_t*>(size > 0 ? av_malloc(static_cast<size_t>(size)) : nullptr);
    if (!buffer) {
        Report(__LINE__, kName, L"av_malloc");
        return 0;
    }
    io_ = avio_alloc_context(buffer, size, 0, this, &TsDemux::onReadPacket, nullptr, nullptr);
    if (!io_) {
        av_freep(&buffer);
        Report(__LINE__, kName, L"avio_alloc_context");
        return 0;
    }
    format_->pb = io_;

    {
        std::lock_guard lock(feed_lock_);
        // Made once and kept until the object goes, so that a write racing
        // Uninit never copies into freed memory.
        if (!ring_) {
            ring_size_ = std::max(kRingSize, 4 * static_cast<size_t>(size));
            ring_ = std::make_unique<uint8_t[]>(ring_size_);
        }
        read_pos_ = 0;
        write_pos_ = 0;
        reader_wants_ = 0;
        writer_waiting_ = false;
        ++feed_session_;
        feed_ended_ = false;
        stopping_ = false;
    }
    // Running before the thread exists, so an early end of the thread is
    // never overwritten.
    running_.store(1, std::memory_order_release);
    try {
        thread_ = std::thread(&TsDemux::Main, this);
    } catch (const std::system_error& e) {
        running_.store(0, std::memory_order_release);
        {
            std::lock_guard lock(feed_lock_);
            feed_ended_ = true;
        }
        Report(__LINE__, kName, L"pthread_create, err=" + std::to_wstring(e.code().value()));
        return 0;
    }
    return 1;
}

void TsDemux::Uninit() {
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) {
        Report(__LINE__, L"vemx::tsdemux::TsDemux::Uninit", L"called from a callback, ignored");
        return;
    }
    LogPrint(kInfo, "Waiting for thread done...");
    {
        std::lock_guard lock(feed_lock_);
        stopping_ = true;
    }
    data_ready_.notify_all();
    space_free_.notify_all();
    if (thread_.joinable()) thread_.join();
    LogPrint(kInfo, "Thread terminated.");

    avformat_close_input(&format_);
    if (io_) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    {
        std::lock_guard lock(video_lock_);
        videos_ = video_map_t(8);
        videos_changed_.store(false);
    }
    {
        std::lock_guard lock(audio_lock_);
        audios_ = audio_map_t(8);
        audios_changed_.store(false);
    }
    {
        std::lock_guard lock(track_lock_);
        pending_tracks_.clear();
        tracks_pending_.store(false);
    }
    dispatch_.clear();
    clocks_.clear();
    info_pointers_.clear();
    infos_.clear();
}

}  // namespace vemx::tsdemux
