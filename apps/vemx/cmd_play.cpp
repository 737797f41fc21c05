// vemx play: plays an MP4 file through the player, printing a progress line
// per second and a summary; with --decode, decodes what the callbacks
// deliver, so that a broken sample order or a bad sample shows as errors.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "command.h"
#include "vemx/vemx.h"
#include "vemx/vemx_mp4reader.h"

namespace {

constexpr int64_t kSecond = 10000000;

int64_t now_100ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kSecond + ts.tv_nsec / 100;
}

struct CodecFree {
    void operator()(AVCodecContext* c) const noexcept { avcodec_free_context(&c); }
};
struct PacketFree {
    void operator()(AVPacket* p) const noexcept { av_packet_free(&p); }
};
struct FrameFree {
    void operator()(AVFrame* f) const noexcept { av_frame_free(&f); }
};

// Decodes one stream's samples in the order they arrive.
class Decoder {
  public:
    explicit Decoder(AVCodecID id) {
        const AVCodec* codec = avcodec_find_decoder(id);
        if (!codec) return;
        ctx_.reset(avcodec_alloc_context3(codec));
        if (ctx_ && avcodec_open2(ctx_.get(), codec, nullptr) < 0) ctx_.reset();
        packet_.reset(av_packet_alloc());
        frame_.reset(av_frame_alloc());
    }
    bool ok() const { return ctx_ && packet_ && frame_; }

    // Null data drains the decoder (end of stream).
    void Decode(const uint8_t* data, uint64_t size) {
        std::lock_guard guard(lock_);
        if (!ok()) return;
        int r;
        if (data) {
            packet_->data = const_cast<uint8_t*>(data);
            packet_->size = static_cast<int>(size);
            r = avcodec_send_packet(ctx_.get(), packet_.get());
        } else {
            r = avcodec_send_packet(ctx_.get(), nullptr);
        }
        if (r < 0 && r != AVERROR_EOF) ++errors;
        while ((r = avcodec_receive_frame(ctx_.get(), frame_.get())) >= 0) {
            if (frame_->decode_error_flags) ++errors;
            ++frames;
        }
        if (r != AVERROR(EAGAIN) && r != AVERROR_EOF) ++errors;
    }

    std::atomic<uint64_t> frames{0};
    std::atomic<uint64_t> errors{0};

  private:
    std::mutex lock_;
    std::unique_ptr<AVCodecContext, CodecFree> ctx_;
    std::unique_ptr<AVPacket, PacketFree> packet_;
    std::unique_ptr<AVFrame, FrameFree> frame_;
};

struct Play {
    double rate = 1.0;
    std::atomic<bool> paced{false};  // set once play() returned: walks are not paced
    std::atomic<uint64_t> video{0}, preroll{0}, audio{0};
    std::atomic<bool> video_end{false}, audio_end{false};
    std::atomic<int64_t> last_arrival{0};
    void* reader = nullptr;  // our own look at the file, for the decode times
    std::mutex lock;
    // arrival - due time / rate of the earliest sample: the schedule's offset.
    bool have_offset = false;
    int64_t offset = 0;
    int64_t window_worst = 0, worst = 0;
    std::unique_ptr<Decoder> video_decoder, audio_decoder;

    // Video is due at its decode time, audio at its presentation time.
    void Arrived(int64_t time, uint64_t video_id) {
        const int64_t now = now_100ns();
        last_arrival = now;
        if (!paced) return;
        if (video_id &&
            vemx_mp4reader_read_video_sample(reader, static_cast<uint32_t>(video_id), nullptr, 0,
                                             nullptr, &time, nullptr, nullptr) != 0)
            return;
        const int64_t o = now - static_cast<int64_t>(static_cast<double>(time) / rate);
        std::lock_guard g(lock);
        if (!have_offset || o < offset) {
            offset = o;
            have_offset = true;
        }
        window_worst = std::max(window_worst, o - offset);
        worst = std::max(worst, o - offset);
    }

    static void OnVideo(int64_t time, uint64_t id, const uint8_t* data, uint64_t size, uint8_t,
                        uint8_t preroll, void* ctx) {
        auto* p = static_cast<Play*>(ctx);
        if (p->video_decoder) p->video_decoder->Decode(data, size);
        if (!data) {
            p->video_end = true;
            return;
        }
        ++(preroll ? p->preroll : p->video);
        if (!preroll) p->Arrived(time, id);
    }

    static void OnAudio(int64_t time, uint64_t, const uint8_t* data, uint64_t size, void* ctx) {
        auto* p = static_cast<Play*>(ctx);
        if (p->audio_decoder) p->audio_decoder->Decode(data, size);
        if (!data) {
            p->audio_end = true;
            return;
        }
        ++p->audio;
        p->Arrived(time, 0);
    }
};

// The codecs of the file's first video and audio streams, for --decode.
bool probe_codecs(const std::string& path, AVCodecID& video, AVCodecID& audio) {
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return false;
    video = audio = AV_CODEC_ID_NONE;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVCodecParameters* par = fmt->streams[i]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && video == AV_CODEC_ID_NONE)
            video = par->codec_id;
        if (par->codec_type == AVMEDIA_TYPE_AUDIO && audio == AV_CODEC_ID_NONE)
            audio = par->codec_id;
    }
    avformat_close_input(&fmt);
    return true;
}

int usage() {
    std::fprintf(stderr,
                 "usage: vemx play FILE.mp4 [--rate R] [--seek SECONDS | --frame N] "
                 "[--time-shift] [--decode]\n");
    return 2;
}

int run_play(const std::vector<std::string>& args) {
    std::string path;
    double rate = 1.0, seek = -1;
    long long frame = 0;
    bool time_shift = false, decode = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool has_value = i + 1 < args.size();
        char* end = nullptr;
        if (a == "--rate" && has_value) {
            rate = std::strtod(args[++i].c_str(), &end);
            if (*end || !(rate >= 0.001 && rate <= 1000)) return usage();
        } else if (a == "--seek" && has_value) {
            seek = std::strtod(args[++i].c_str(), &end);
            if (*end || !(seek >= 0 && seek < 1e9)) return usage();
        } else if (a == "--frame" && has_value) {
            frame = std::strtoll(args[++i].c_str(), &end, 10);
            if (*end || frame < 1) return usage();
        } else if (a == "--time-shift") {
            time_shift = true;
        } else if (a == "--decode") {
            decode = true;
        } else if (path.empty() && a.rfind("--", 0) != 0) {
            path = a;
        } else {
            return usage();
        }
    }
    if (path.empty() || (seek >= 0 && frame > 0)) return usage();

    Play play;
    play.rate = rate;
    if (decode) {
        AVCodecID v = AV_CODEC_ID_NONE, a = AV_CODEC_ID_NONE;
        av_log_set_level(AV_LOG_QUIET);
        // A recording describes its streams with its first fragment.
        bool known = probe_codecs(path, v, a);
        for (int i = 0; !known && time_shift && i < 100; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            known = probe_codecs(path, v, a);
        }
        if (!known) {
            std::fprintf(stderr, "vemx play: %s: cannot find the codecs to decode with\n",
                         path.c_str());
            return 1;
        }
        if (v != AV_CODEC_ID_NONE) play.video_decoder = std::make_unique<Decoder>(v);
        if (a != AV_CODEC_ID_NONE) play.audio_decoder = std::make_unique<Decoder>(a);
    }

    play.reader = vemx_mp4reader_open(path.c_str());
    void* player = qvmp4fileplayer_new();
    if (!player) {
        vemx_mp4reader_release(play.reader);
        return 1;
    }
    qvmp4fileplayer_set_filename(player, path.c_str());
    qvmp4fileplayer_set_time_shift_mode(player, time_shift ? 1 : 0);
    qvmp4fileplayer_set_callbacks(player, &Play::OnVideo, &Play::OnAudio, &play);
    qvmp4fileplayer_init(player);
    if (rate != 1.0) qvmp4fileplayer_set_rate(player, rate);
    if (seek >= 0 || frame > 0) {
        qvmp4fileplayer_pause(player);  // shows the first frame; seeks act while paused
        if (seek >= 0)
            qvmp4fileplayer_seek(player, static_cast<int64_t>(seek * kSecond));
        else
            qvmp4fileplayer_seek_by_frame(player, static_cast<uint64_t>(frame));
    }
    const int64_t started = now_100ns();
    qvmp4fileplayer_play(player);
    play.last_arrival = now_100ns();
    play.paced = true;

    // Ends half a second after the last sample once a stream has ended, or
    // after three quiet seconds: a time-shift recording that stopped
    // growing, or a file with nothing to play.
    for (int64_t tick = 1;; ++tick) {
        std::this_thread::sleep_until(std::chrono::steady_clock::now() +
                                      std::chrono::milliseconds(100));
        const int64_t now = now_100ns();
        const int64_t quiet = now - play.last_arrival;
        const bool ended = !time_shift && (play.video_end || play.audio_end);
        const bool done = quiet > (ended ? kSecond / 2 : 3 * kSecond);
        if (tick % 10 == 0) {
            int64_t worst;
            {
                std::lock_guard g(play.lock);
                worst = play.window_worst;
                play.window_worst = 0;
            }
            std::printf("%6.1f s  position %8.3f s  frames %6llu  audio %6llu  late max %6.2f ms\n",
                        static_cast<double>(now - started) / kSecond,
                        static_cast<double>(qvmp4fileplayer_get_pts(player)) / kSecond,
                        static_cast<unsigned long long>(play.video.load()),
                        static_cast<unsigned long long>(play.audio.load()),
                        static_cast<double>(worst) / 10000.0);
            std::fflush(stdout);
        }
        if (done) break;
    }
    const double elapsed = static_cast<double>(now_100ns() - started) / kSecond;
    qvmp4fileplayer_reset(player);
    qvmp4fileplayer_release(player);
    vemx_mp4reader_release(play.reader);

    std::printf(
        "played %.2f s of %s at rate %g: %llu frames (+%llu preroll), %llu audio samples, "
        "late max %.2f ms\n",
        elapsed, path.c_str(), rate, static_cast<unsigned long long>(play.video.load()),
        static_cast<unsigned long long>(play.preroll.load()),
        static_cast<unsigned long long>(play.audio.load()),
        static_cast<double>(play.worst) / 10000.0);
    // Nothing at all: the file could not be read (the library said why).
    int status = play.video + play.preroll + play.audio == 0 ? 1 : 0;
    for (auto* d : {play.video_decoder.get(), play.audio_decoder.get()}) {
        if (!d) continue;
        const char* kind = d == play.video_decoder.get() ? "video" : "audio";
        if (!d->ok()) {
            std::printf("decoded %s: no decoder\n", kind);
            status = 1;
            continue;
        }
        std::printf("decoded %s: %llu frames, %llu errors\n", kind,
                    static_cast<unsigned long long>(d->frames.load()),
                    static_cast<unsigned long long>(d->errors.load()));
        if (d->errors) status = 1;
    }
    return status;
}

}  // namespace

VEMX_TOOL_COMMAND("play",
                  "FILE.mp4 [--rate R] [--seek S | --frame N] [--time-shift] [--decode]: play "
                  "through the MP4 player",
                  run_play);
