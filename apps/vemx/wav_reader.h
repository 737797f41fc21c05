#pragma once
// The tool's one reader of WAV files: RIFF/WAVE with 8- or 16-bit integer
// PCM, plain or extensible.  Everything it allocates is sized by what the
// file really holds, never by what its header claims.
#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace vemx_tool::wav {

inline constexpr int kMaxChannels = 64;
inline constexpr int kMaxSampleRate = 768000;

struct Format {
    int channels = 0;
    int sample_rate = 0;
    int bits = 0;  // 8 (unsigned) or 16 (signed)
    size_t frame_bytes() const { return size_t(channels) * size_t(bits / 8); }
};

class Reader {
  public:
    // Reads the header up to the first sample of in, which must be seekable.
    // Throws std::runtime_error "<name>: <reason>" for anything else than a
    // WAV file with samples of the kind above.
    Reader(std::istream& in, std::string name);

    const Format& format() const noexcept { return format_; }
    // Whole frames not read yet: the data chunk, cut to the end of the file.
    uint64_t frames_left() const noexcept { return frames_left_; }

    // Appends up to max_frames whole frames to out; returns how many.
    size_t Read(std::vector<uint8_t>& out, size_t max_frames);

  private:
    void ReadFormat(uint32_t size);
    [[noreturn]] void Fail(const std::string& reason) const;

    std::istream& in_;
    std::string name_;
    Format format_;
    uint64_t frames_left_ = 0;
};

}  // namespace vemx_tool::wav
