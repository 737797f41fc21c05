#pragma once
// Writes already-encoded video and audio frames into a container file chosen
// by the file name.  The codec names only describe the streams.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "frame/handle.h"

struct AVFormatContext;
struct AVStream;
struct AVPacket;

namespace vemx::mp4filewriter {

struct FormatContextCloser {
    void operator()(AVFormatContext* ctx) const noexcept;
};
struct PacketFree {
    void operator()(AVPacket* pkt) const noexcept;
};

class MP4FileWriter : public frame::RefCounted {
  public:
    MP4FileWriter() = default;
    // Finishes the file: trailer (when the header was written), then close.
    ~MP4FileWriter() override;

    void SetVideoProperty(const char* video_type, int width, int height, const char* pix_fmt,
                          int fps_num, int fps_den);
    void SetAudioProperty(const char* audio_type, int channels, const char* sample_fmt,
                          int sample_rate);
    void SetFilename(const char* filename);
    // A fragment per video key frame, written out as it closes, so that the
    // file can be played while it is recorded.  Before Init.
    void SetFragmented(bool fragmented) { fragmented_ = fragmented; }

    int Init();
    void WriteVideoFrame(int64_t pts, int64_t dts, const uint8_t* data, int size, int key_frame);
    void WriteAudioFrame(int64_t pts, int64_t dts, const uint8_t* data, int size);

    // For tests: the streams as created by Init (null when absent).
    AVStream* video_stream() const noexcept { return video_stream_; }
    AVStream* audio_stream() const noexcept { return audio_stream_; }
    bool header_written() const noexcept { return header_written_; }

  private:
    bool AddVideoStream();
    bool AddAudioStream();
    void Write(AVStream* stream, const wchar_t* function, int64_t pts, int64_t dts,
               const uint8_t* data, int size, bool key_frame);
    void Error(int line, const std::wstring& text) const;

    std::string video_type_;
    int width_ = 0;
    int height_ = 0;
    std::string pix_fmt_;
    int fps_num_ = 0;
    int fps_den_ = 0;
    std::string audio_type_;
    int channels_ = 0;
    std::string sample_fmt_;
    int sample_rate_ = 0;
    std::string filename_;
    bool fragmented_ = false;

    std::unique_ptr<AVFormatContext, FormatContextCloser> ctx_;
    AVStream* video_stream_ = nullptr;
    AVStream* audio_stream_ = nullptr;
    bool header_written_ = false;

    std::mutex lock_;  // serialises the two write calls
    std::unique_ptr<AVPacket, PacketFree> packet_;
    bool first_packet_ = true;
    int64_t base_time_ = 0;
};

}  // namespace vemx::mp4filewriter
