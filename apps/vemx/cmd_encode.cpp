// vemx encode: a PCM WAV file through the audio encoder, into raw packets or,
// for AAC to a .mp4/.m4a/.mov name, into a file through the MP4 writer.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "command.h"
#include "options.h"
#include "vemx/vemx.h"
#include "wav_reader.h"

namespace {

bool ends_with(const std::string& s, const char* suffix) {
    const size_t n = std::strlen(suffix);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != suffix[i])
            return false;
    return true;
}

struct Sink {
    FILE* raw = nullptr;
    void* writer = nullptr;
    int64_t packets = 0;
    int64_t bytes = 0;
};

void put(Sink& sink, int64_t pts, int64_t dts, const uint8_t* data, int64_t size) {
    ++sink.packets;
    sink.bytes += size;
    if (sink.writer)
        vemx_mp4filewriter_write_audio_frame(sink.writer, pts, dts, data, int(size));
    else
        std::fwrite(data, 1, size_t(size), sink.raw);
}

constexpr char kUsage[] = "usage: vemx encode --codec NAME [--bitrate BPS] IN.wav OUT\n";

int run_encode(const std::vector<std::string>& args) {
    std::string codec, in_path, out_path;
    int bit_rate = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--codec" && i + 1 < args.size()) {
            codec = args[++i];
        } else if (args[i] == "--bitrate" && i + 1 < args.size()) {
            bit_rate = int(vemx_tool::IntOption(kUsage, "--bitrate", args[++i], 0, 100000000));
        } else if (in_path.empty()) {
            in_path = args[i];
        } else if (out_path.empty()) {
            out_path = args[i];
        } else {
            in_path.clear();
            break;
        }
    }
    if (codec.empty() || in_path.empty() || out_path.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::ifstream in(in_path, std::ios::binary);
    if (!in) throw std::runtime_error(in_path + ": cannot open file");
    // The samples are read a frame at a time: a file of any length fits.
    vemx_tool::wav::Reader reader(in, in_path);
    const vemx_tool::wav::Format wav = reader.format();

    void* enc = vemx_mediaencoder_new();
    vemx_mediaencoder_set_codec_name(enc, codec.c_str());
    vemx_mediaencoder_set_format_name(enc, wav.bits == 8 ? "u8" : "s16");
    vemx_mediaencoder_set_sample_rate(enc, wav.sample_rate);
    vemx_mediaencoder_set_channels(enc, wav.channels);
    vemx_mediaencoder_set_bit_rate(enc, bit_rate);
    if (!vemx_mediaencoder_init(enc)) {
        std::fprintf(stderr, "vemx encode: the encoder refused these settings (see the log)\n");
        vemx_mediaencoder_release(enc);
        return 1;
    }

    Sink sink;
    const bool to_container =
        (codec == "aac" || codec == "AAC") &&
        (ends_with(out_path, ".mp4") || ends_with(out_path, ".m4a") || ends_with(out_path, ".mov"));
    if (to_container) {
        sink.writer = vemx_mp4filewriter_new();
        vemx_mp4filewriter_set_audio_property(sink.writer, "aac", wav.channels, "s16",
                                              wav.sample_rate);
        vemx_mp4filewriter_set_filename(sink.writer, out_path.c_str());
        if (!vemx_mp4filewriter_init(sink.writer)) {
            std::fprintf(stderr, "vemx encode: cannot write %s\n", out_path.c_str());
            vemx_mp4filewriter_release(sink.writer);
            vemx_mediaencoder_release(enc);
            return 1;
        }
    } else if (!(sink.raw = std::fopen(out_path.c_str(), "wb"))) {
        std::fprintf(stderr, "vemx encode: cannot write %s\n", out_path.c_str());
        vemx_mediaencoder_release(enc);
        return 1;
    }

    int frame_size = 0;
    vemx_mediaencoder_get_frame_size(enc, &frame_size);
    if (frame_size <= 0) frame_size = 1024;
    const size_t block = wav.frame_bytes();
    const size_t chunk = block * size_t(frame_size);
    const uint8_t silence = wav.bits == 8 ? 0x80 : 0;
    std::vector<uint8_t> buf;
    buf.reserve(chunk);
    const uint8_t* out;
    int64_t size, pts, dts;
    uint64_t samples = 0;
    while (reader.frames_left() > 0) {
        buf.clear();
        const size_t n = reader.Read(buf, size_t(frame_size));
        if (n == 0) break;
        // The last buffer is padded with silence to a whole frame.
        buf.resize(chunk, silence);
        const int64_t t = int64_t(samples * 10000000 / uint64_t(wav.sample_rate));
        samples += n;
        if (vemx_mediaencoder_encode1(enc, buf.data(), int(chunk), t, &out, &size, &pts, &dts))
            put(sink, pts, dts, out, size);
    }
    // What the encoder still holds.
    while (vemx_mediaencoder_encode_more(enc, &out, &size, &pts, &dts))
        put(sink, pts, dts, out, size);
    if (sink.writer) vemx_mp4filewriter_release(sink.writer);
    if (sink.raw) std::fclose(sink.raw);
    vemx_mediaencoder_release(enc);
    std::printf("encoded %llu samples (%d Hz, %d ch) with %s into %lld packets, %lld bytes: %s\n",
                static_cast<unsigned long long>(samples), wav.sample_rate, wav.channels,
                codec.c_str(), static_cast<long long>(sink.packets),
                static_cast<long long>(sink.bytes), out_path.c_str());
    return 0;
}

}  // namespace

VEMX_TOOL_COMMAND(
    "encode", "--codec NAME [--bitrate BPS] IN.wav OUT: encode PCM audio (AAC to .mp4 is muxed)",
    run_encode);
