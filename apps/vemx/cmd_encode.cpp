// vemx encode: a PCM WAV file through the audio encoder, into raw packets or,
// for AAC to a .mp4/.m4a/.mov name, into a file through the MP4 writer.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "command.h"
#include "vemx/vemx.h"

namespace {

struct Wav {
    int channels = 0;
    int sample_rate = 0;
    int bits = 0;
    std::vector<uint8_t> data;
};

uint32_t le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}
uint16_t le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}

// Reads an integer PCM WAV file (8 or 16 bits); false with a message otherwise.
bool read_wav(const std::string& path, Wav& wav, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) ||
        std::memcmp(file.data() + 8, "WAVE", 4)) {
        error = path + " is not a WAV file";
        return false;
    }
    bool have_fmt = false;
    for (size_t pos = 12; pos + 8 <= file.size();) {
        const uint8_t* chunk = file.data() + pos;
        const size_t size = le32(chunk + 4);
        const size_t body = pos + 8;
        const size_t avail = std::min(size, file.size() - body);
        if (!std::memcmp(chunk, "fmt ", 4) && avail >= 16) {
            const uint16_t tag = le16(chunk + 8);
            wav.channels = le16(chunk + 10);
            wav.sample_rate = int(le32(chunk + 12));
            wav.bits = le16(chunk + 22);
            if ((tag != 1 && tag != 0xFFFE) || (wav.bits != 8 && wav.bits != 16)) {
                error = path + ": only 8- or 16-bit integer PCM is supported";
                return false;
            }
            have_fmt = true;
        } else if (!std::memcmp(chunk, "data", 4) && have_fmt) {
            wav.data.assign(file.begin() + long(body), file.begin() + long(body + avail));
            return true;
        }
        pos = body + size + (size & 1);
    }
    error = path + ": no PCM data found";
    return false;
}

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

int run_encode(const std::vector<std::string>& args) {
    std::string codec, in_path, out_path;
    int bit_rate = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--codec" && i + 1 < args.size()) {
            codec = args[++i];
        } else if (args[i] == "--bitrate" && i + 1 < args.size()) {
            bit_rate = std::atoi(args[++i].c_str());
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
        std::fprintf(stderr, "usage: vemx encode --codec NAME [--bitrate BPS] IN.wav OUT\n");
        return 2;
    }
    Wav wav;
    std::string error;
    if (!read_wav(in_path, wav, error)) {
        std::fprintf(stderr, "vemx encode: %s\n", error.c_str());
        return 1;
    }

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
    const size_t block = size_t(wav.channels) * size_t(wav.bits / 8);
    const size_t chunk = block * size_t(frame_size);
    const uint8_t silence = wav.bits == 8 ? 0x80 : 0;
    std::vector<uint8_t> buf(chunk);
    const uint8_t* out;
    int64_t size, pts, dts;
    for (size_t pos = 0; pos < wav.data.size(); pos += chunk) {
        // The last buffer is padded with silence to a whole frame.
        const size_t n = std::min(chunk, wav.data.size() - pos);
        std::memcpy(buf.data(), wav.data.data() + pos, n);
        std::memset(buf.data() + n, silence, chunk - n);
        const int64_t t = int64_t(pos / block) * 10000000 / wav.sample_rate;
        if (vemx_mediaencoder_encode1(enc, buf.data(), int(chunk), t, &out, &size, &pts, &dts))
            put(sink, pts, dts, out, size);
    }
    // What the encoder still holds.
    while (vemx_mediaencoder_encode_more(enc, &out, &size, &pts, &dts))
        put(sink, pts, dts, out, size);
    if (sink.writer) vemx_mp4filewriter_release(sink.writer);
    if (sink.raw) std::fclose(sink.raw);
    vemx_mediaencoder_release(enc);
    std::printf("encoded %zu samples (%d Hz, %d ch) with %s into %lld packets, %lld bytes: %s\n",
                wav.data.size() / block, wav.sample_rate, wav.channels, codec.c_str(),
                static_cast<long long>(sink.packets), static_cast<long long>(sink.bytes),
                out_path.c_str());
    return 0;
}

}  // namespace

VEMX_TOOL_COMMAND(
    "encode", "--codec NAME [--bitrate BPS] IN.wav OUT: encode PCM audio (AAC to .mp4 is muxed)",
    run_encode);
