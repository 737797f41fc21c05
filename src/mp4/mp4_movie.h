#pragma once
// The streams of an MP4 file as read from its moov box: the first video and
// the first audio track, each with its description and its sample table.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "mp4/mp4_sample_format.h"
#include "mp4/mp4_sample_table.h"

namespace vemx::mp4movie {

enum class Kind { kVideo, kAudio };

struct Track {
    Kind kind = Kind::kVideo;
    uint32_t id = 0;
    uint32_t timescale = 0;
    uint32_t fourcc = 0;  // sample entry type, first character in the low byte
    uint32_t width = 0, height = 0, depth = 0;
    uint32_t rate = 0, channels = 0, bits = 0;
    mp4sample::SampleFormat format;
    // Added to every decode and presentation time: the start of the edit
    // list, so that times match what FFmpeg reports.
    int64_t shift = 0;
    // Fragment defaults (trex), and where the next fragment's decode times
    // continue when it has no tfdt.
    uint32_t default_duration = 0, default_size = 0, default_flags = 0;
    int64_t next_decode_time = 0;
    mp4table::SampleTable samples;
};

struct Movie {
    std::unique_ptr<Track> video;
    std::unique_ptr<Track> audio;
    bool fragmented = false;  // has mvex: samples also come in moof boxes

    Track* ById(uint32_t id) const noexcept;
};

// Parses a moov payload.  Sample data must lie within file_size bytes.
// Throws mp4box::BoxError (or std::length_error) with the reason.
Movie ParseMovie(const uint8_t* data, size_t size, uint64_t file_size);

}  // namespace vemx::mp4movie
