#include "wav_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace vemx_tool::wav {

namespace {

constexpr uint16_t kPcm = 1;
constexpr uint16_t kExtensible = 0xFFFE;
// The sub-format GUID of an extensible header is the format tag followed by
// these 14 bytes (KSDATAFORMAT_SUBTYPE_* of the tag).
constexpr uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                   0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// A format chunk is 16, 18 or 40 bytes; anything much larger is not one.
constexpr uint32_t kMaxFormatSize = 1024;

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}

}  // namespace

void Reader::Fail(const std::string& reason) const {
    throw std::runtime_error(name_ + ": " + reason);
}

Reader::Reader(std::istream& in, std::string name) : in_(in), name_(std::move(name)) {
    in_.seekg(0, std::ios::end);
    const std::streamoff end = in_.tellg();
    in_.seekg(0);
    if (end < 0 || !in_) Fail("cannot read the file");
    const auto left = [&] { return uint64_t(end - std::streamoff(in_.tellg())); };

    uint8_t riff[12];
    if (!in_.read(reinterpret_cast<char*>(riff), 12) || std::memcmp(riff, "RIFF", 4) != 0 ||
        std::memcmp(riff + 8, "WAVE", 4) != 0)
        Fail("not a RIFF/WAVE file");
    // The RIFF size is not trusted: streaming writers leave it 0 or -1.
    bool have_format = false;
    uint8_t header[8];
    while (in_.read(reinterpret_cast<char*>(header), 8)) {
        const uint32_t size = le32(header + 4);
        if (std::memcmp(header, "fmt ", 4) == 0) {
            if (size > left()) Fail("truncated fmt chunk");
            ReadFormat(size);
            have_format = true;
        } else if (std::memcmp(header, "data", 4) == 0) {
            if (!have_format) Fail("data chunk before fmt chunk");
            // A data size past the end of the file (streaming writers, or a
            // lie): the whole frames that are there.
            frames_left_ = std::min<uint64_t>(size, left()) / format_.frame_bytes();
            if (frames_left_ == 0) Fail("no samples");
            return;
        } else {
            const uint64_t skip = uint64_t(size) + (size & 1);
            if (skip > left()) break;
            in_.seekg(std::streamoff(skip), std::ios::cur);
        }
    }
    Fail("no data chunk");
}

void Reader::ReadFormat(uint32_t size) {
    if (size < 16 || size > kMaxFormatSize) Fail("bad fmt chunk");
    std::vector<uint8_t> fmt(size + (size & 1));
    in_.read(reinterpret_cast<char*>(fmt.data()), std::streamsize(size));
    if (size & 1) in_.ignore(1);
    if (!in_) Fail("truncated fmt chunk");

    uint16_t tag = le16(fmt.data());
    const int channels = le16(fmt.data() + 2);
    const uint32_t rate = le32(fmt.data() + 4);
    const int block_align = le16(fmt.data() + 12);
    const int bits = le16(fmt.data() + 14);
    if (tag == kExtensible) {
        // cbSize 22: valid bits, channel mask, sub-format GUID.
        if (size < 40 || le16(fmt.data() + 16) < 22) Fail("bad extensible fmt chunk");
        const int valid_bits = le16(fmt.data() + 18);
        if (std::memcmp(fmt.data() + 26, kGuidTail, sizeof kGuidTail) != 0)
            Fail("unknown extensible sub-format");
        tag = le16(fmt.data() + 24);
        if (valid_bits > bits) Fail("more valid bits than bits per sample");
    }
    if (tag != kPcm) {
        char text[64];
        std::snprintf(text, sizeof text, "format 0x%04X is not integer PCM", tag);
        Fail(text);
    }
    if (bits != 8 && bits != 16) Fail("only 8- and 16-bit samples are supported");
    if (channels < 1 || channels > kMaxChannels)
        Fail(std::to_string(channels) + " channels (1.." + std::to_string(kMaxChannels) +
             " supported)");
    if (rate < 1 || rate > uint32_t(kMaxSampleRate))
        Fail("sample rate " + std::to_string(rate) + " Hz (1.." + std::to_string(kMaxSampleRate) +
             " supported)");
    format_ = Format{channels, int(rate), bits};
    if (size_t(block_align) != format_.frame_bytes())
        Fail("block alignment " + std::to_string(block_align) + " does not match " +
             std::to_string(channels) + " channels of " + std::to_string(bits) + " bits");
}

size_t Reader::Read(std::vector<uint8_t>& out, size_t max_frames) {
    const size_t frames = size_t(std::min<uint64_t>(max_frames, frames_left_));
    const size_t at = out.size();
    out.resize(at + frames * format_.frame_bytes());
    in_.read(reinterpret_cast<char*>(out.data() + at), std::streamsize(out.size() - at));
    // The file may have shrunk since the header was read.
    const size_t got = size_t(in_.gcount()) / format_.frame_bytes();
    out.resize(at + got * format_.frame_bytes());
    frames_left_ = got < frames ? 0 : frames_left_ - got;
    return got;
}

}  // namespace vemx_tool::wav
