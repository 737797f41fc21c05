#pragma once
// One open MP4 file: its stream tables, the file descriptor samples are read
// from, and the take-in of fragments appended while it is being recorded.
// Every public call takes the object's lock.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mp4/mp4_movie.h"

namespace vemx::mp4file {

class FileReader {
  public:
    // Null, with reason set, when the file cannot be opened as MP4.
    static std::unique_ptr<FileReader> Open(const std::string& path, std::string& reason);
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    const std::string& path() const noexcept { return path_; }

    // The status codes are those of mp4/mp4_reader.h.
    int VideoFormat(unsigned long* codec, unsigned long* width, unsigned long* height,
                    unsigned long* bits, double* frame_rate);
    int AudioFormat(unsigned long* codec, unsigned long* rate, unsigned long* channels,
                    unsigned long* bits);
    // Both take in fragments appended since the last look.
    int Duration(double* seconds);
    int Counts(unsigned long* video, unsigned long* audio);

    int ReadSample(mp4movie::Kind kind, unsigned long id, unsigned char** data, unsigned int* size,
                   int64_t* decode_time, int64_t* presentation_time, int* key);
    int SampleAt(mp4movie::Kind kind, double seconds, unsigned long* id);
    int VideoTime(unsigned long id, double* seconds);
    int KeyFrame(unsigned long id, unsigned long* video_id, unsigned long* audio_id,
                 double* video_seconds, double* audio_seconds);

    // Bytes held by the sample tables.
    size_t TableBytes();

  private:
    FileReader(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
    // Walks the top-level boxes from scan_offset_; see the .cpp.
    void Scan();
    void Refresh();
    void ReadAt(uint64_t offset, uint8_t* out, size_t n) const;
    mp4movie::Track* TrackOf(mp4movie::Kind kind) const noexcept;

    const std::string path_;
    const int fd_;
    std::mutex lock_;
    mp4movie::Movie movie_;
    bool have_movie_ = false;
    uint64_t file_size_ = 0;
    uint64_t scan_offset_ = 0;
    bool scan_broken_ = false;  // a malformed fragment stops further take-in
    std::vector<uint8_t> scratch_;
};

}  // namespace vemx::mp4file
