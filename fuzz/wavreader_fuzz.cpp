// The tool's WAV reader on arbitrary bytes: it refuses the file, or its
// format is one the tool handles and it yields whole frames, never more
// than the input holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "wav_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    try {
        vemx_tool::wav::Reader reader(in, "input");
        const auto& f = reader.format();
        if ((f.bits != 8 && f.bits != 16) || f.channels < 1 ||
            f.channels > vemx_tool::wav::kMaxChannels || f.sample_rate < 1 ||
            f.sample_rate > vemx_tool::wav::kMaxSampleRate)
            std::abort();
        if (reader.frames_left() * f.frame_bytes() > size) std::abort();
        // Pieces of an odd size, as the encoder's frame size may be.
        std::vector<uint8_t> samples;
        uint64_t frames = 0;
        while (const size_t n = reader.Read(samples, 1000)) frames += n;
        if (samples.size() != frames * f.frame_bytes() || reader.frames_left() != 0) std::abort();
    } catch (const std::runtime_error&) {
    }
    return 0;
}
