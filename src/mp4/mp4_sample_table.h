#pragma once
// The per-stream sample table: where each sample lies, its times and its key
// flag, in 24 bytes a sample, so that an hour of video costs a few MB and
// every lookup is O(1) or a binary search.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vemx::mp4table {

class SampleTable {
  public:
    // Six days of 60 fps video; a table this long is 800 MB.  Past it a file
    // is taken for hostile rather than grown into memory exhaustion.
    static constexpr size_t kMaxSamples = size_t(1) << 25;

    // Times are in the track's timescale, edit-list shift already applied.
    // Throws std::length_error past 2^31 - 1 bytes for one sample or past
    // kMaxSamples samples.
    void Append(uint64_t offset, uint32_t size, int64_t dts, int64_t cts_offset, uint32_t duration,
                bool key);
    void Reserve(size_t n) { entries_.reserve(n < kMaxSamples ? n : kMaxSamples); }

    size_t count() const noexcept { return entries_.size(); }
    uint64_t offset(size_t i) const noexcept { return entries_[i].offset; }
    uint32_t size(size_t i) const noexcept { return entries_[i].size_key & ~kKeyBit; }
    bool key(size_t i) const noexcept { return entries_[i].size_key & kKeyBit; }
    int64_t dts(size_t i) const noexcept { return entries_[i].dts; }
    int64_t pts(size_t i) const noexcept { return entries_[i].dts + entries_[i].cts_offset; }
    // Latest presentation end: the stream's duration from time 0.
    int64_t end_time() const noexcept { return end_time_; }

    // The sample shown at time t: the one with the latest pts at or before t
    // (the last in storage order on ties); the earliest shown sample when t
    // is before all of them.  count() must not be 0.
    size_t ShownAt(int64_t t) const noexcept;
    // The key frame at or before sample i (storage order); the first sample
    // when there is none.
    size_t KeyAtOrBefore(size_t i) const noexcept;

    // Memory held by the table, for the open benchmark.
    size_t bytes() const noexcept {
        return entries_.capacity() * sizeof(Entry) + keys_.capacity() * sizeof(uint32_t);
    }

  private:
    static constexpr uint32_t kKeyBit = 0x80000000u;
    struct Entry {
        uint64_t offset;
        int64_t dts;
        uint32_t size_key;  // size, key flag in the top bit
        int32_t cts_offset;
    };
    static_assert(sizeof(Entry) == 24);

    std::vector<Entry> entries_;
    // Indices of the key samples; left empty while every sample is a key
    // (audio), which all_key_ says.
    std::vector<uint32_t> keys_;
    bool all_key_ = true;
    int32_t min_offset_ = 0;  // bounds of pts - dts, for ShownAt
    int32_t max_offset_ = 0;
    int64_t end_time_ = 0;
};

}  // namespace vemx::mp4table
