// vemx tone-freq FILE.wav: the dominant frequency of each channel of a PCM
// WAV file (8- or 16-bit), over its first frames.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "command.h"
#include "vemx/vemx.h"
#include "wav_reader.h"

namespace {

// At most this many frames are analysed: about 22 s at 48 kHz.
constexpr size_t kMaxFrames = size_t(1) << 20;

int RunToneFreq(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: vemx tone-freq FILE.wav\n");
        return 2;
    }
    std::ifstream in(args[0], std::ios::binary);
    if (!in) throw std::runtime_error(args[0] + ": cannot open file");
    vemx_tool::wav::Reader reader(in, args[0]);
    const vemx_tool::wav::Format wav = reader.format();
    std::vector<uint8_t> data;
    const int frames = static_cast<int>(reader.Read(data, kMaxFrames));
    std::printf("%s: %d Hz, %d channel%s, %d-bit, %d frames analysed\n", args[0].c_str(),
                wav.sample_rate, wav.channels, wav.channels == 1 ? "" : "s", wav.bits, frames);
    for (int c = 0; c < wav.channels; ++c) {
        double frequency = 0, power = 0;
        vemx_audio_dominant_freqency(data.data(), wav.bits, wav.channels, wav.sample_rate, frames,
                                     c, &frequency, &power);
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
