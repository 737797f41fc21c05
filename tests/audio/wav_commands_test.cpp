// The tool's WAV input (tone-freq and encode share one reader): files whose
// headers lie are refused with one line, or read as far as they really go.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>

#include "common/log_capture.h"

namespace {

// A WAV file from its parts; extensible when sub_format is non-zero.
struct Wav {
    uint16_t tag = 1;
    uint16_t channels = 1;
    uint32_t rate = 8000;
    uint16_t bits = 16;
    int block_align = -1;  // -1: channels * bits / 8
    uint16_t sub_format = 0;
    bool ksdataformat = true;  // the GUID tail of the extensible sub-format
    int64_t data_size = -1;    // -1: the samples' size
    std::string samples;

    std::string bytes() const {
        std::string fmt;
        const uint16_t align = block_align < 0 ? channels * bits / 8 : uint16_t(block_align);
        put16(fmt, sub_format ? 0xFFFE : tag);
        put16(fmt, channels);
        put32(fmt, rate);
        put32(fmt, rate * align);
        put16(fmt, align);
        put16(fmt, bits);
        if (sub_format) {
            put16(fmt, 22);
            put16(fmt, bits);
            put32(fmt, 0);
            put16(fmt, sub_format);
            fmt += ksdataformat ? std::string("\0\0\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71", 14)
                                : std::string(14, 'x');
        }
        std::string out = "RIFF";
        put32(out, 0);  // as streaming writers leave it
        out += "WAVEfmt ";
        put32(out, uint32_t(fmt.size()));
        out += fmt + "data";
        put32(out, data_size < 0 ? uint32_t(samples.size()) : uint32_t(data_size));
        return out + samples;
    }
    static void put16(std::string& s, uint16_t v) { s += char(v & 0xFF), s += char(v >> 8); }
    static void put32(std::string& s, uint32_t v) {
        put16(s, uint16_t(v & 0xFFFF));
        put16(s, uint16_t(v >> 16));
    }
};

// A tone of freq Hz, 16-bit, the same on every channel.
std::string tone(int frames, int channels, double freq, uint32_t rate) {
    std::string s;
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            Wav::put16(s, uint16_t(int16_t(8000 * std::sin(2 * M_PI * freq * i / rate))));
    return s;
}

struct Result {
    int status;
    std::string output;  // stdout and stderr
};

Result tool(const std::string& args) {
    Result r{-1, ""};
    r.output =
        vemx_test::run_command(std::string("'") + VEMX_TOOL + "' " + args + " 2>&1", &r.status);
    return r;
}

void save(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace

TEST(WavCommands, HeadersThatLieAreRefusedWithOneLine) {
    vemx_test::TempDir dir;
    Wav wide;  // 60 bytes that claim 65535 channels and 4 GiB of samples
    wide.channels = 65535;
    wide.data_size = 0xFFFFFFFF;
    wide.samples = std::string(16, '\0');
    Wav alaw;  // extensible, A-law inside: no integer PCM
    alaw.sub_format = 6, alaw.bits = 8, alaw.samples = std::string(800, '\x55');
    Wav foreign = alaw;  // a sub-format GUID of another family
    foreign.sub_format = 1, foreign.ksdataformat = false;
    Wav misaligned;
    misaligned.block_align = 3, misaligned.samples = std::string(600, '\0');
    Wav rate;
    rate.rate = 0, rate.samples = std::string(600, '\0');
    Wav empty;
    std::string cut = Wav{}.bytes().substr(0, 30);  // ends inside the fmt chunk

    const struct {
        std::string bytes, reason;
    } cases[] = {
        {wide.bytes(), "65535 channels (1..64 supported)"},
        {alaw.bytes(), "format 0x0006 is not integer PCM"},
        {foreign.bytes(), "unknown extensible sub-format"},
        {misaligned.bytes(), "block alignment 3 does not match 1 channels of 16 bits"},
        {rate.bytes(), "sample rate 0 Hz (1..768000 supported)"},
        {empty.bytes(), "no samples"},
        {cut, "truncated fmt chunk"},
        {"RIFX0000WAVE", "not a RIFF/WAVE file"},
    };
    for (const auto& c : cases) {
        save("in.wav", c.bytes);
        for (const std::string command :
             {"tone-freq in.wav", "encode --codec mp2 in.wav out.mp2"}) {
            const Result r = tool(command);
            const std::string name = command.substr(0, command.find(' '));
            EXPECT_EQ(r.status, 1) << command << ": " << c.reason;
            EXPECT_EQ(r.output, "vemx " + name + ": in.wav: " + c.reason + "\n");
        }
    }
}

TEST(WavCommands, SamplesAreReadAsFarAsTheFileGoes) {
    vemx_test::TempDir dir;
    // A data size past the end of the file, as a recorder that was cut off
    // leaves it: the frames that are there count.
    Wav streamed;
    streamed.data_size = 0xFFFFFFFF;
    streamed.samples = tone(8000, 1, 1000, 8000) + "x";  // and half a frame
    save("streamed.wav", streamed.bytes());
    Result r = tool("tone-freq streamed.wav");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("8000 frames analysed"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("channel 0: 1000.00 Hz"), std::string::npos) << r.output;

    // Extensible integer PCM is plain PCM in another header.
    Wav surround;
    surround.sub_format = 1, surround.channels = 3, surround.rate = 48000;
    surround.samples = tone(4800, 3, 440, 48000);
    save("surround.wav", surround.bytes());
    r = tool("tone-freq surround.wav");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("channel 2: 440.00 Hz"), std::string::npos) << r.output;
    r = tool("encode --codec ac3 surround.wav out.ac3");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("encoded 4800 samples (48000 Hz, 3 ch)"), std::string::npos)
        << r.output;
}
