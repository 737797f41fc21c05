// The MP4 writer through its exports: stream properties, file type and a
// run of frames with arbitrary timestamps, all taken from the input, written
// to a file in /dev/shm that is removed afterwards.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "vemx/vemx.h"

namespace {

// Takes values off the front of the input; zeros once it is used up.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return size_ == 0; }
    uint8_t byte() { return size_ ? (--size_, *data_++) : 0; }
    int64_t i64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v = v << 8 | byte();
        return static_cast<int64_t>(v);
    }
    int32_t i32() { return static_cast<int32_t>(i64() >> 32); }
    template <size_t N>
    const char* pick(const char* const (&names)[N]) {
        return names[byte() % N];
    }
    // Up to max bytes of the input as they stand.
    const uint8_t* take(size_t want, size_t& got) {
        got = want < size_ ? want : size_;
        const uint8_t* p = data_;
        data_ += got;
        size_ -= got;
        return p;
    }

  private:
    const uint8_t* data_;
    size_t size_;
};

const char* const kVideo[] = {"", "h264", "HEVC", "h265", "mpeg2video", "h263"};
const char* const kAudio[] = {"", "aac", "adts", "mp2", "mp3", "ac3", "eac3", "vorbis"};
const char* const kPixFmt[] = {"yv12", "YV12", "nv12"};
const char* const kSampleFmt[] = {"s16", "u8", "flt"};
const char* const kExtension[] = {".mp4", ".mov", ".ts", ".m4a"};
// Times near the usual ones and at the ends of the range.
const int64_t kTimes[] = {0, 400000, -400000, INT64_MIN, INT64_MAX, INT64_MIN + 1};

int64_t next_time(Input& in, int64_t& clock) {
    const uint8_t how = in.byte();
    if (how < 160) return clock += (how - 40) * 10000;  // steps around 0..12 ms
    if (how < 224) return kTimes[how % 6];
    return in.i64();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vemx_set_log_sink([](const char*, void*) {}, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    void* w = vemx_mp4filewriter_new();
    const char* video = in.pick(kVideo);
    const int width = in.byte() * 4, height = in.byte() * 4;
    const char* pix_fmt = in.pick(kPixFmt);
    const int fps_num = in.byte() % 4 ? 25 : in.i32(), fps_den = in.byte() % 4 ? 1 : in.i32();
    vemx_mp4filewriter_set_video_property(w, video, width, height, pix_fmt, fps_num, fps_den);
    const char* audio = in.pick(kAudio);
    const int channels = in.byte() % 4 ? 2 : in.i32();
    const char* sample_fmt = in.pick(kSampleFmt);
    const int rate = in.byte() % 4 ? 48000 : in.i32();
    vemx_mp4filewriter_set_audio_property(w, audio, channels, sample_fmt, rate);
    const std::string path =
        "/dev/shm/vemx-mp4writer-fuzz-" + std::to_string(getpid()) + in.pick(kExtension);
    vemx_mp4filewriter_set_filename(w, path.c_str());

    if (vemx_mp4filewriter_init(w)) {
        int64_t video_clock = 0, audio_clock = 0;
        for (int frames = 0; frames < 64 && !in.empty(); ++frames) {
            const uint8_t kind = in.byte();
            int64_t& clock = kind & 1 ? audio_clock : video_clock;
            const int64_t pts = next_time(in, clock);
            const int64_t dts = kind & 2 ? pts : next_time(in, clock);
            size_t got = 0;
            const uint8_t* bytes = in.take(in.byte() * 4u, got);
            if (kind & 1)
                vemx_mp4filewriter_write_audio_frame(w, pts, dts, bytes, int(got));
            else
                vemx_mp4filewriter_write_video_frame(w, pts, dts, bytes, int(got), kind & 4);
        }
    }
    vemx_mp4filewriter_release(w);
    std::remove(path.c_str());
    return 0;
}
