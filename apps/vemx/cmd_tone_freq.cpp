// vemx tone-freq FILE.wav: the dominant frequency of each channel of a PCM
// WAV file (8- or 16-bit), over its first frames.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "command.h"
#include "vemx/vemx.h"

namespace {

// At most this many frames are analysed: about 22 s at 48 kHz.
constexpr uint32_t kMaxFrames = 1u << 20;

struct Wav {
    int channels = 0;
    int sample_rate = 0;
    int bits = 0;
    std::vector<char> data;  // the first frames, interleaved
};

uint32_t Le32(const char* p) {
    return uint32_t(uint8_t(p[0])) | uint32_t(uint8_t(p[1])) << 8 | uint32_t(uint8_t(p[2])) << 16 |
           uint32_t(uint8_t(p[3])) << 24;
}
uint16_t Le16(const char* p) {
    return uint16_t(uint8_t(p[0]) | uint8_t(p[1]) << 8);
}

// Reads a RIFF/WAVE file with a PCM "fmt " chunk (plain or extensible);
// empty text on success, the reason otherwise.
std::string ReadWav(const std::string& path, Wav& wav) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot open file";
    char riff[12];
    if (!in.read(riff, 12) || std::memcmp(riff, "RIFF", 4) != 0 ||
        std::memcmp(riff + 8, "WAVE", 4) != 0)
        return "not a RIFF/WAVE file";
    bool have_format = false;
    char header[8];
    while (in.read(header, 8)) {
        const uint32_t size = Le32(header + 4);
        if (std::memcmp(header, "fmt ", 4) == 0) {
            if (size < 16 || size > 1024) return "bad fmt chunk";
            std::vector<char> fmt(size);
            if (!in.read(fmt.data(), size)) return "truncated fmt chunk";
            uint16_t tag = Le16(fmt.data());
            if (tag == 0xFFFE && size >= 26) tag = Le16(fmt.data() + 24);  // extensible: sub-format
            if (tag != 1) return "not PCM";
            wav.channels = Le16(fmt.data() + 2);
            wav.sample_rate = static_cast<int>(Le32(fmt.data() + 4));
            wav.bits = Le16(fmt.data() + 14);
            if (wav.channels < 1 || wav.sample_rate < 1) return "bad fmt chunk";
            if (wav.bits != 8 && wav.bits != 16) return "only 8- and 16-bit samples are supported";
            have_format = true;
            if (size % 2) in.ignore(1);
        } else if (std::memcmp(header, "data", 4) == 0) {
            if (!have_format) return "data chunk before fmt chunk";
            const uint64_t frame_bytes = uint64_t(wav.channels) * (wav.bits / 8);
            uint64_t frames = size / frame_bytes;
            if (frames > kMaxFrames) frames = kMaxFrames;
            wav.data.resize(frames * frame_bytes);
            in.read(wav.data.data(), static_cast<std::streamsize>(wav.data.size()));
            // A data size that overstates the file (streamed writers): keep
            // the whole frames that are there.
            wav.data.resize(static_cast<size_t>(in.gcount()) / frame_bytes * frame_bytes);
            if (wav.data.empty()) return "no samples";
            return "";
        } else {
            in.ignore(size + (size % 2));
        }
    }
    return "no data chunk";
}

int RunToneFreq(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: vemx tone-freq FILE.wav\n");
        return 2;
    }
    Wav wav;
    if (const std::string error = ReadWav(args[0], wav); !error.empty()) {
        std::fprintf(stderr, "vemx tone-freq: %s: %s\n", args[0].c_str(), error.c_str());
        return 1;
    }
    const int frames = static_cast<int>(wav.data.size() / (size_t(wav.channels) * (wav.bits / 8)));
    std::printf("%s: %d Hz, %d channel%s, %d-bit, %d frames analysed\n", args[0].c_str(),
                wav.sample_rate, wav.channels, wav.channels == 1 ? "" : "s", wav.bits, frames);
    for (int c = 0; c < wav.channels; ++c) {
        double frequency = 0, power = 0;
        vemx_audio_dominant_freqency(wav.data.data(), wav.bits, wav.channels, wav.sample_rate,
                                     frames, c, &frequency, &power);
        // Silence reports a frequency above the sample rate and no power.
        if (power > 0)
            std::printf("channel %d: %.2f Hz (power %.6g)\n", c, frequency, power);
        else
            std::printf("channel %d: silent\n", c);
    }
    return 0;
}

}  // namespace

VEMX_TOOL_COMMAND("tone-freq", "FILE.wav: dominant frequency of each channel (8/16-bit PCM)",
                  RunToneFreq);
