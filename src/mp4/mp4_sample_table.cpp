#include "mp4/mp4_sample_table.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace vemx::mp4table {

void SampleTable::Append(uint64_t offset, uint32_t size, int64_t dts, int64_t cts_offset,
                         uint32_t duration, bool key) {
    if (size & kKeyBit) throw std::length_error("sample larger than 2 GB");
    if (cts_offset < std::numeric_limits<int32_t>::min() ||
        cts_offset > std::numeric_limits<int32_t>::max())
        throw std::length_error("composition offset out of range");
    const auto index = entries_.size();
    if (index >= kMaxSamples) throw std::length_error("more samples than a stream can have");
    if (index == 0) {
        min_offset_ = max_offset_ = int32_t(cts_offset);
        end_time_ = dts + cts_offset + duration;
    }
    min_offset_ = std::min(min_offset_, int32_t(cts_offset));
    max_offset_ = std::max(max_offset_, int32_t(cts_offset));
    end_time_ = std::max(end_time_, dts + cts_offset + int64_t(duration));
    if (!key && all_key_) {
        all_key_ = false;
        keys_.resize(index);
        for (size_t i = 0; i < index; ++i) keys_[i] = uint32_t(i);
    }
    if (key && !all_key_) keys_.push_back(uint32_t(index));
    entries_.push_back(Entry{offset, dts, size | (key ? kKeyBit : 0), int32_t(cts_offset)});
}

// Decode times rise, and pts lies within [dts + min_offset_, dts + max_offset_],
// so the samples shown at or before t are among those up to the last one whose
// dts + min_offset_ <= t, and the walk back stops once no earlier dts can beat
// the best pts found.  The walk is as long as the reorder depth.
size_t SampleTable::ShownAt(int64_t t) const noexcept {
    const auto past = std::upper_bound(
        entries_.begin(), entries_.end(), t,
        [this](int64_t time, const Entry& e) { return time < e.dts + min_offset_; });
    size_t best = count();
    int64_t best_pts = 0;
    for (size_t i = size_t(past - entries_.begin()); i-- > 0;) {
        if (best != count() && entries_[i].dts + max_offset_ < best_pts) break;
        const int64_t p = pts(i);
        if (p <= t && (best == count() || p > best_pts)) {
            best = i;
            best_pts = p;
        }
    }
    if (best != count()) return best;
    // Before everything: the earliest shown sample.
    size_t first = 0;
    for (size_t i = 1; i < count() && entries_[i].dts + min_offset_ <= pts(first); ++i)
        if (pts(i) < pts(first)) first = i;
    return first;
}

size_t SampleTable::KeyAtOrBefore(size_t i) const noexcept {
    if (all_key_) return i;
    const auto it = std::upper_bound(keys_.begin(), keys_.end(), uint32_t(i));
    return it == keys_.begin() ? 0 : *(it - 1);
}

}  // namespace vemx::mp4table
