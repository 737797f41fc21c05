// vemx mux: writes a transport stream of built-in synthetic media through the
// multiplexer.  The video is H.264 made here without an encoder (I_PCM key
// frames of a moving colour ramp, all-skip frames between them), the audio
// silent MPEG-1 layer II frames, so the result plays in any player.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "command.h"
#include "options.h"
#include "vemx/vemx.h"

namespace {

constexpr int kWidthMbs = 8;  // 128 x 96 pixels
constexpr int kHeightMbs = 6;
constexpr int kFps = 25;
constexpr int kGop = 25;

// Big-endian bit writer for the H.264 syntax (fixed bits and Exp-Golomb).
class Bits {
  public:
    void u(int n, uint32_t v) {
        for (int i = n - 1; i >= 0; --i) bit((v >> i) & 1);
    }
    void ue(uint32_t v) {
        const uint32_t x = v + 1;
        int n = 0;
        while ((x >> n) > 1) ++n;
        u(n, 0);
        u(n + 1, x);
    }
    void se(int32_t v) { ue(v > 0 ? 2 * v - 1 : -2 * v); }
    void align_zero() {
        while (used_) bit(0);
    }
    void trailing() {
        bit(1);
        align_zero();
    }
    void byte(uint8_t b) { u(8, b); }
    const std::vector<uint8_t>& data() const { return data_; }

  private:
    void bit(int b) {
        cur_ = static_cast<uint8_t>(cur_ << 1 | b);
        if (++used_ == 8) {
            data_.push_back(cur_);
            used_ = 0;
            cur_ = 0;
        }
    }
    std::vector<uint8_t> data_;
    uint8_t cur_ = 0;
    int used_ = 0;
};

// Appends a start code and the NAL unit with emulation prevention.
void put_nal(std::vector<uint8_t>& out, uint8_t header, const std::vector<uint8_t>& rbsp) {
    out.insert(out.end(), {0, 0, 0, 1, header});
    int zeros = 0;
    for (uint8_t b : rbsp) {
        if (zeros == 2 && b <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
}

std::vector<uint8_t> h264_frame(int index) {
    std::vector<uint8_t> out;
    const bool idr = index % kGop == 0;
    Bits aud;
    aud.u(3, idr ? 0 : 1);
    aud.trailing();
    put_nal(out, 0x09, aud.data());
    if (idr) {
        Bits sps;
        sps.byte(66);    // Baseline
        sps.byte(0xC0);  // constraint_set0 and 1
        sps.byte(30);
        sps.ue(0);  // sps id
        sps.ue(0);  // log2_max_frame_num - 4
        sps.ue(2);  // picture order from frame_num
        sps.ue(1);  // one reference frame
        sps.u(1, 0);
        sps.ue(kWidthMbs - 1);
        sps.ue(kHeightMbs - 1);
        sps.u(1, 1);  // frames only
        sps.u(1, 1);  // direct 8x8 inference
        sps.u(1, 0);  // no cropping
        sps.u(1, 0);  // no VUI
        sps.trailing();
        put_nal(out, 0x67, sps.data());
        Bits pps;
        pps.ue(0);
        pps.ue(0);
        pps.u(1, 0);  // CAVLC
        pps.u(1, 0);
        pps.ue(0);  // one slice group
        pps.ue(0);
        pps.ue(0);
        pps.u(1, 0);
        pps.u(2, 0);
        pps.se(0);
        pps.se(0);
        pps.se(0);
        pps.u(1, 1);  // deblocking control present
        pps.u(1, 0);
        pps.u(1, 0);
        pps.trailing();
        put_nal(out, 0x68, pps.data());
    }
    Bits slice;
    slice.ue(0);            // first macroblock
    slice.ue(idr ? 7 : 5);  // all I or all P
    slice.ue(0);            // pps id
    slice.u(4, index % kGop % 16);
    if (idr) slice.ue(index / kGop % 2);  // idr_pic_id
    if (!idr) {
        slice.u(1, 0);  // no ref count override
        slice.u(1, 0);  // no list modification
    }
    slice.u(1, 0);           // idr: no_output_of_prior_pics / p: no adaptive marking
    if (idr) slice.u(1, 0);  // not long-term
    slice.se(0);             // qp delta
    slice.ue(1);             // deblocking off
    if (idr) {
        // Every macroblock as raw samples: a ramp that moves each second.
        const int second = index / kGop;
        for (int mb = 0; mb < kWidthMbs * kHeightMbs; ++mb) {
            slice.ue(25);  // I_PCM
            slice.align_zero();
            const int mx = mb % kWidthMbs, my = mb / kWidthMbs;
            for (int y = 0; y < 16; ++y)
                for (int x = 0; x < 16; ++x)
                    slice.byte(static_cast<uint8_t>(
                        16 + ((mx * 16 + x + my * 16 + y + second * 24) % 220)));
            for (int i = 0; i < 64; ++i)
                slice.byte(static_cast<uint8_t>(128 + (second * 37 % 64) - 32));
            for (int i = 0; i < 64; ++i)
                slice.byte(static_cast<uint8_t>(128 - (second * 53 % 64) + 32));
        }
    } else {
        slice.ue(kWidthMbs * kHeightMbs);  // every macroblock skipped
    }
    slice.trailing();
    put_nal(out, idr ? 0x65 : 0x41, slice.data());
    return out;
}

// A silent MPEG-1 layer II frame: 48 kHz, 128 kbit/s, stereo, no CRC; with
// every bit allocation zero the rest of the frame carries no samples.
std::vector<uint8_t> mp2_silence() {
    std::vector<uint8_t> frame(144 * 128000 / 48000, 0);
    frame[0] = 0xFF;
    frame[1] = 0xFD;
    frame[2] = 0x84;
    return frame;
}

struct Counter {
    int64_t bytes = 0;
    int64_t blocks = 0;
};

void count_block(const uint8_t*, int64_t size, void* ctx) {
    auto* c = static_cast<Counter*>(ctx);
    c->bytes += size;
    ++c->blocks;
}

constexpr char kUsage[] =
    "usage: vemx mux OUT.ts [--seconds N] [--video-pid PID] [--audio-pid PID]\n"
    "                [--mux-rate KBPS] [--service NAME] [--provider NAME]\n";

int run_mux(const std::vector<std::string>& args) {
    std::string out;
    int seconds = 5, video_pid = -1, audio_pid = -1, mux_rate = 0;
    std::string service = "Program", provider = "Dovrex";
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool has_value = i + 1 < args.size();
        if (a == "--seconds" && has_value)
            seconds = int(vemx_tool::IntOption(kUsage, a, args[++i], 1, 3600));
        else if (a == "--video-pid" && has_value)
            video_pid = int(vemx_tool::IntOption(kUsage, a, args[++i], 0x10, 0x1FFE));
        else if (a == "--audio-pid" && has_value)
            audio_pid = int(vemx_tool::IntOption(kUsage, a, args[++i], 0x10, 0x1FFE));
        else if (a == "--mux-rate" && has_value)
            mux_rate = int(vemx_tool::IntOption(kUsage, a, args[++i], 0, 1000000));
        else if (a == "--service" && has_value)
            service = args[++i];
        else if (a == "--provider" && has_value)
            provider = args[++i];
        else if (out.empty() && a[0] != '-')
            out = a;
        else {
            std::fprintf(stderr, "vemx mux: unexpected argument '%s'\n", a.c_str());
            return 2;
        }
    }
    if (out.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    void* mux = vemx_tsmux_new();
    if (!mux) return 1;
    Counter counter;
    vemx_tsmux_set_callbacks(mux, count_block, &counter);
    vemx_tsmux_set_filename(mux, out.c_str());
    vemx_tsmux_set_video_property(mux, "h264", kWidthMbs * 16, kHeightMbs * 16, "yv12", kFps, 1);
    vemx_tsmux_set_audio_property(mux, "mp2", 2, "s16", 48000);
    vemx_tsmux_set_video_pid(mux, video_pid);
    vemx_tsmux_set_audio_pid(mux, audio_pid);
    vemx_tsmux_set_mux_rate(mux, mux_rate);
    vemx_tsmux_set_service_name(mux, service.c_str());
    vemx_tsmux_set_service_provider(mux, provider.c_str());
    if (!vemx_tsmux_init(mux)) {
        std::fprintf(stderr, "vemx mux: the multiplexer did not start (see the log)\n");
        vemx_tsmux_release(mux);
        return 1;
    }
    const std::vector<uint8_t> audio = mp2_silence();
    const int64_t frame_time = 10000000 / kFps;
    const int64_t audio_time = 1152 * 10000000LL / 48000;
    const int frames = seconds * kFps;
    int64_t next_audio = 0;
    int audio_frames = 0;
    for (int i = 0; i < frames; ++i) {
        const int64_t t = i * frame_time;
        for (; next_audio <= t; next_audio = ++audio_frames * audio_time)
            vemx_tsmux_write_audio_frame(mux, next_audio, audio.data(),
                                         static_cast<int>(audio.size()));
        const std::vector<uint8_t> video = h264_frame(i);
        vemx_tsmux_write_video_frame(mux, t, video.data(), static_cast<int>(video.size()),
                                     i % kGop == 0);
    }
    vemx_tsmux_uninit(mux);
    vemx_tsmux_release(mux);
    std::printf("%s: %d video and %d audio frames, %lld bytes (%lld packets) in %lld blocks\n",
                out.c_str(), frames, audio_frames, static_cast<long long>(counter.bytes),
                static_cast<long long>(counter.bytes / 188),
                static_cast<long long>(counter.blocks));
    return 0;
}

}  // namespace

VEMX_TOOL_COMMAND("mux",
                  "OUT.ts [--seconds N] [--video-pid PID] ...: mux built-in test media to TS",
                  run_mux);
