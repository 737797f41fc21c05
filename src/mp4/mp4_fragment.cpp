#include "mp4/mp4_fragment.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace vemx::mp4fragment {

using mp4box::BoxError;
using mp4box::Cursor;
using mp4box::ForEachBox;
using mp4box::FourCC;
using mp4movie::Kind;
using mp4movie::Track;

namespace {

constexpr uint32_t kBaseDataOffset = 0x1;
constexpr uint32_t kDescriptionIndex = 0x2;
constexpr uint32_t kDefaultDuration = 0x8;
constexpr uint32_t kDefaultSize = 0x10;
constexpr uint32_t kDefaultFlags = 0x20;
constexpr uint32_t kBaseIsMoof = 0x20000;

constexpr uint32_t kDataOffset = 0x1;
constexpr uint32_t kFirstSampleFlags = 0x4;
constexpr uint32_t kSampleDuration = 0x100;
constexpr uint32_t kSampleSize = 0x200;
constexpr uint32_t kSampleFlags = 0x400;
constexpr uint32_t kSampleCtsOffset = 0x800;

// Not a sync sample, or depends on others: what FFmpeg counts as not key.
constexpr uint32_t kNonKeyFlags = 0x10000 | 0x1000000;
// Empty samples carry nothing; a run of more than this many is not a recording.
constexpr uint64_t kMaxEmptySamples = 1 << 16;

struct Pending {
    uint64_t offset;
    uint32_t size;
    int64_t dts;
    int64_t cts_offset;
    uint32_t duration;
    bool key;
};

struct TrackRun {
    Track* track;
    std::vector<Pending> samples;
    int64_t next_decode_time;
};

void ParseTraf(Cursor traf, uint64_t moof_offset, uint64_t file_size, uint64_t& implicit_offset,
               mp4movie::Movie& movie, std::vector<TrackRun>& runs) {
    std::optional<Cursor> tfhd, tfdt;
    std::vector<Cursor> truns;
    ForEachBox(traf.here(), traf.remaining(), [&](const mp4box::Box& box, Cursor c) {
        if (box.type == FourCC("tfhd"))
            tfhd = c;
        else if (box.type == FourCC("tfdt"))
            tfdt = c;
        else if (box.type == FourCC("trun"))
            truns.push_back(c);
    });
    if (!tfhd) throw BoxError("traf without tfhd");
    Cursor h = *tfhd;
    const uint32_t flags = h.U32() & 0xffffff;
    Track* track = movie.ById(h.U32());
    if (!track) return;
    uint64_t base = (flags & kBaseIsMoof) ? moof_offset : implicit_offset;
    if (flags & kBaseDataOffset) base = h.U64();
    if (flags & kDescriptionIndex) h.Skip(4);
    const uint32_t default_duration =
        (flags & kDefaultDuration) ? h.U32() : track->default_duration;
    const uint32_t default_size = (flags & kDefaultSize) ? h.U32() : track->default_size;
    const uint32_t default_flags = (flags & kDefaultFlags) ? h.U32() : track->default_flags;

    TrackRun* run = nullptr;
    for (auto& r : runs)
        if (r.track == track) run = &r;
    if (!run) {
        runs.push_back(TrackRun{track, {}, track->next_decode_time});
        run = &runs.back();
    }
    if (tfdt) {
        Cursor c = *tfdt;
        const uint8_t version = c.U8();
        c.Skip(3);
        run->next_decode_time = version == 1 ? int64_t(c.U64()) : int64_t(c.U32());
    }

    uint64_t data_at = base;
    for (Cursor trun : truns) {
        const uint32_t tflags = trun.U32() & 0xffffff;
        const uint32_t count = trun.U32();
        if (tflags & kDataOffset) data_at = base + int64_t(int32_t(trun.U32()));
        const bool has_first_flags = tflags & kFirstSampleFlags;
        const uint32_t first_flags = has_first_flags ? trun.U32() : 0;
        const size_t per_sample = 4 * (!!(tflags & kSampleDuration) + !!(tflags & kSampleSize) +
                                       !!(tflags & kSampleFlags) + !!(tflags & kSampleCtsOffset));
        // Without per-sample fields the count alone costs nothing to claim,
        // so it is bounded by the bytes its samples would need.
        if (per_sample > 0)
            trun.Require(count, per_sample, "trun");
        else if (count > (default_size ? file_size / default_size : kMaxEmptySamples))
            throw BoxError("trun claims more samples than the file holds");
        run->samples.reserve(run->samples.size() + std::min<uint32_t>(count, 1u << 16));
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t duration = (tflags & kSampleDuration) ? trun.U32() : default_duration;
            const uint32_t size = (tflags & kSampleSize) ? trun.U32() : default_size;
            uint32_t sample_flags = (tflags & kSampleFlags) ? trun.U32() : default_flags;
            if (i == 0 && has_first_flags) sample_flags = first_flags;
            const int64_t cts = (tflags & kSampleCtsOffset) ? int32_t(trun.U32()) : 0;
            const bool key = track->kind == Kind::kAudio || !(sample_flags & kNonKeyFlags);
            run->samples.push_back(
                Pending{data_at, size, run->next_decode_time + track->shift, cts, duration, key});
            run->next_decode_time += duration;
            data_at += size;
        }
    }
    implicit_offset = data_at;
}

}  // namespace

bool AppendFragment(const uint8_t* data, size_t size, uint64_t moof_offset, uint64_t file_size,
                    mp4movie::Movie& movie) {
    std::vector<TrackRun> runs;
    uint64_t implicit_offset = moof_offset;
    ForEachBox(data, size, [&](const mp4box::Box& box, Cursor c) {
        if (box.type == FourCC("traf"))
            ParseTraf(c, moof_offset, file_size, implicit_offset, movie, runs);
    });
    for (const auto& run : runs)
        for (const Pending& s : run.samples)
            if (s.offset > file_size || s.size > file_size - s.offset) return false;
    for (auto& run : runs) {
        for (const Pending& s : run.samples)
            run.track->samples.Append(s.offset, s.size, s.dts, s.cts_offset, s.duration, s.key);
        run.track->next_decode_time = run.next_decode_time;
    }
    return true;
}

}  // namespace vemx::mp4fragment
