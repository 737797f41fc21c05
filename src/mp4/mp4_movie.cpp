#include "mp4/mp4_movie.h"

#include <optional>
#include <string>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace vemx::mp4movie {

using mp4box::BoxError;
using mp4box::Cursor;
using mp4box::ForEachBox;
using mp4box::FourCC;

namespace {

// The boxes of one trak that matter here, found before any is interpreted.
struct TrakBoxes {
    std::optional<Cursor> tkhd, mdhd, hdlr, stsd, stts, ctts, stss, stsz, stz2, stsc, stco, co64,
        elst;
};

void Collect(const Cursor& parent, TrakBoxes& boxes, int depth) {
    // trak > mdia > minf > stbl is the deepest path read; anything deeper is
    // not ours to look at.
    if (depth > 4) return;
    ForEachBox(parent.here(), parent.remaining(), [&](const mp4box::Box& box, Cursor c) {
        switch (box.type) {
            case FourCC("mdia"):
            case FourCC("minf"):
            case FourCC("stbl"):
            case FourCC("edts"):
                Collect(c, boxes, depth + 1);
                break;
            case FourCC("tkhd"):
                boxes.tkhd = c;
                break;
            case FourCC("mdhd"):
                boxes.mdhd = c;
                break;
            case FourCC("hdlr"):
                boxes.hdlr = c;
                break;
            case FourCC("stsd"):
                boxes.stsd = c;
                break;
            case FourCC("stts"):
                boxes.stts = c;
                break;
            case FourCC("ctts"):
                boxes.ctts = c;
                break;
            case FourCC("stss"):
                boxes.stss = c;
                break;
            case FourCC("stsz"):
                boxes.stsz = c;
                break;
            case FourCC("stz2"):
                boxes.stz2 = c;
                break;
            case FourCC("stsc"):
                boxes.stsc = c;
                break;
            case FourCC("stco"):
                boxes.stco = c;
                break;
            case FourCC("co64"):
                boxes.co64 = c;
                break;
            case FourCC("elst"):
                boxes.elst = c;
                break;
            default:
                break;
        }
    });
}

uint32_t LittleEndianTag(uint32_t type) {
    return (type >> 24) | ((type >> 8) & 0xff00) | ((type << 8) & 0xff0000) | (type << 24);
}

void ParseVideoEntry(Cursor c, Track& t) {
    c.Skip(6 + 2 + 16);  // reserved, data reference, pre-defined and reserved
    t.width = c.U16();
    t.height = c.U16();
    c.Skip(4 + 4 + 4 + 2 + 32);  // resolutions, reserved, frame count, compressor
    t.depth = c.U16();
    c.Skip(2);
    ForEachBox(c.here(), c.remaining(), [&](const mp4box::Box& box, Cursor child) {
        if (box.type == FourCC("avcC"))
            mp4sample::ParseAvcConfig(child, t.format);
        else if (box.type == FourCC("hvcC"))
            mp4sample::ParseHevcConfig(child, t.format);
    });
}

void ParseAudioEntry(Cursor c, Track& t) {
    c.Skip(6 + 2);  // reserved, data reference
    const uint16_t version = c.U16();
    c.Skip(6);
    t.channels = c.U16();
    t.bits = c.U16();
    c.Skip(4);
    t.rate = c.U32() >> 16;
    // QuickTime sound descriptions carry more fields before the children.
    if (version == 1)
        c.Skip(16);
    else if (version == 2)
        c.Skip(36);
    ForEachBox(c.here(), c.remaining(), [&](const mp4box::Box& box, Cursor child) {
        if (box.type == FourCC("esds")) mp4sample::ParseEsds(child, t.format, t.rate, t.channels);
    });
}

void ParseSampleDescription(Cursor c, Track& t) {
    c.Skip(4);
    if (c.U32() == 0) throw BoxError("no sample description");
    // Only the first description is used; files with several are rare and
    // their later entries normally repeat the first.
    const mp4box::Box entry = mp4box::ReadBoxHeader(c.here(), c.remaining(), 0);
    Cursor body(c.here() + entry.payload, entry.size);
    t.fourcc = LittleEndianTag(entry.type);
    if (t.kind == Kind::kVideo)
        ParseVideoEntry(body, t);
    else
        ParseAudioEntry(body, t);
}

// The shift FFmpeg gives a track with an edit list: leading empty edits
// delay it, and the first real edit's media time becomes time 0.
int64_t EditShift(Cursor c, uint32_t movie_timescale, uint32_t timescale) {
    const uint8_t version = c.U8();
    c.Skip(3);
    const uint32_t n = c.U32();
    c.Require(n, version == 1 ? 20 : 12, "elst");
    int64_t empty = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const int64_t duration = version == 1 ? int64_t(c.U64()) : c.U32();
        const int64_t media_time = version == 1 ? int64_t(c.U64()) : int32_t(c.U32());
        c.Skip(4);
        if (media_time == -1) {
            empty += duration;
            continue;
        }
        const int64_t delay = movie_timescale ? av_rescale(empty, timescale, movie_timescale) : 0;
        return delay - media_time;
    }
    return 0;
}

// Reads the run-length tables one sample at a time, so a table of counts
// never has to be expanded in memory.
class RunReader {
  public:
    RunReader() = default;
    RunReader(Cursor c, const char* what) : c_(c) {
        c_.Skip(4);
        runs_ = c_.U32();
        c_.Require(runs_, 8, what);
    }
    // The value for the next sample; the last value repeats past the table.
    int64_t Next(bool is_signed) {
        while (left_ == 0 && runs_ > 0) {
            left_ = c_.U32();
            const uint32_t v = c_.U32();
            value_ = is_signed ? int64_t(int32_t(v)) : int64_t(v);
            --runs_;
        }
        if (left_ > 0) --left_;
        return value_;
    }

  private:
    Cursor c_{nullptr, 0};
    uint32_t runs_ = 0;
    uint32_t left_ = 0;
    int64_t value_ = 0;
};

// FFmpeg moves decode times down by the largest negative composition offset
// (leaving the last entry aside), so that pts never precede dts.
int64_t DecodeShift(std::optional<Cursor> ctts) {
    if (!ctts) return 0;
    Cursor c = *ctts;
    c.Skip(4);
    const uint32_t n = c.U32();
    c.Require(n, 8, "ctts");
    int64_t shift = 0;
    for (uint32_t i = 0; i + 2 < n; ++i) {
        c.Skip(4);
        const int32_t offset = int32_t(c.U32());
        if (offset < 0 && offset != INT32_MIN) shift = std::max<int64_t>(shift, -int64_t(offset));
    }
    return shift;
}

class SizeReader {
  public:
    SizeReader(const TrakBoxes& b, uint64_t file_size) {
        if (b.stsz) {
            c_ = *b.stsz;
            c_.Skip(4);
            constant_ = c_.U32();
            count_ = c_.U32();
            if (constant_ == 0) {
                c_.Require(count_, 4, "stsz");
                field_bits_ = 32;
            } else if (count_ > file_size / constant_) {
                throw BoxError("stsz claims more samples than the file holds");
            }
        } else if (b.stz2) {
            c_ = *b.stz2;
            c_.Skip(7);
            field_bits_ = c_.U8();
            count_ = c_.U32();
            if (field_bits_ != 4 && field_bits_ != 8 && field_bits_ != 16)
                throw BoxError("stz2 field size " + std::to_string(field_bits_));
            c_.Require((uint64_t(count_) * field_bits_ + 7) / 8, 1, "stz2");
        } else {
            throw BoxError("no sample size table");
        }
    }
    uint32_t count() const noexcept { return count_; }
    uint32_t Next() {
        switch (field_bits_) {
            case 0:
                return constant_;
            case 32:
                return c_.U32();
            case 16:
                return c_.U16();
            case 8:
                return c_.U8();
            default:
                if (nibble_ < 0) {
                    nibble_ = c_.U8();
                    return uint32_t(nibble_) >> 4;
                }
                const uint32_t v = uint32_t(nibble_) & 0xf;
                nibble_ = -1;
                return v;
        }
    }

  private:
    Cursor c_{nullptr, 0};
    uint32_t constant_ = 0;
    uint32_t count_ = 0;
    int field_bits_ = 0;
    int nibble_ = -1;
};

void BuildSampleTable(const TrakBoxes& b, uint64_t file_size, Track& t) {
    SizeReader sizes(b, file_size);
    const uint32_t n = sizes.count();
    if (n == 0) return;
    if (!b.stts) throw BoxError("no decoding time table");
    if (!b.stsc) throw BoxError("no sample-to-chunk table");
    if (!b.stco && !b.co64) throw BoxError("no chunk offset table");

    RunReader durations(*b.stts, "stts");
    std::optional<RunReader> offsets;
    if (b.ctts) offsets.emplace(*b.ctts, "ctts");
    const int64_t decode_shift = DecodeShift(b.ctts);

    std::optional<Cursor> sync;
    uint32_t sync_left = 0;
    uint32_t next_sync = 0;
    if (b.stss) {
        sync = *b.stss;
        sync->Skip(4);
        sync_left = sync->U32();
        sync->Require(sync_left, 4, "stss");
        if (sync_left > 0) {
            next_sync = sync->U32();
            --sync_left;
        }
    }

    Cursor chunks = b.co64 ? *b.co64 : *b.stco;
    const size_t offset_size = b.co64 ? 8 : 4;
    chunks.Skip(4);
    const uint32_t chunk_count = chunks.U32();
    chunks.Require(chunk_count, offset_size, b.co64 ? "co64" : "stco");

    Cursor stsc = *b.stsc;
    stsc.Skip(4);
    uint32_t stsc_left = stsc.U32();
    stsc.Require(stsc_left, 12, "stsc");
    if (stsc_left == 0) throw BoxError("empty sample-to-chunk table");
    uint32_t per_chunk = 0;
    uint32_t next_first = stsc.U32();
    auto advance_stsc = [&](uint32_t chunk) {
        while (stsc_left > 0 && next_first <= chunk) {
            per_chunk = stsc.U32();
            stsc.Skip(4);
            --stsc_left;
            next_first = stsc_left > 0 ? stsc.U32() : UINT32_MAX;
        }
    };

    t.samples.Reserve(n);
    int64_t decode_time = 0;
    uint32_t sample = 0;
    for (uint32_t chunk = 1; chunk <= chunk_count && sample < n; ++chunk) {
        advance_stsc(chunk);
        uint64_t at = offset_size == 8 ? chunks.U64() : chunks.U32();
        for (uint32_t i = 0; i < per_chunk && sample < n; ++i, ++sample) {
            const uint32_t size = sizes.Next();
            if (at > file_size || size > file_size - at)
                throw BoxError("sample " + std::to_string(sample + 1) +
                               " lies past the end of the file");
            const int64_t duration = durations.Next(false);
            const int64_t offset = offsets ? offsets->Next(true) : 0;
            bool key = true;
            if (sync) {
                // Unsorted or repeated entries are skipped, not trusted.
                while (sync_left > 0 && next_sync < sample + 1) {
                    next_sync = sync->U32();
                    --sync_left;
                }
                key = sample + 1 == next_sync;
            }
            t.samples.Append(at, size, decode_time - decode_shift + t.shift, offset + decode_shift,
                             uint32_t(duration), key);
            decode_time += duration;
            at += size;
        }
    }
    if (sample < n) throw BoxError("chunk tables hold fewer samples than stsz");
    t.next_decode_time = decode_time;
}

uint32_t HandlerType(Cursor c) {
    c.Skip(8);
    return c.U32();
}

std::unique_ptr<Track> ParseTrak(const Cursor& trak, uint32_t movie_timescale, uint64_t file_size) {
    TrakBoxes b;
    Collect(trak, b, 0);
    if (!b.hdlr || !b.mdhd || !b.stsd) return nullptr;
    const uint32_t handler = HandlerType(*b.hdlr);
    if (handler != FourCC("vide") && handler != FourCC("soun")) return nullptr;

    auto t = std::make_unique<Track>();
    t->kind = handler == FourCC("vide") ? Kind::kVideo : Kind::kAudio;
    if (b.tkhd) {
        Cursor c = *b.tkhd;
        const uint8_t version = c.U8();
        c.Skip(3 + (version == 1 ? 16 : 8));
        t->id = c.U32();
    }
    {
        Cursor c = *b.mdhd;
        const uint8_t version = c.U8();
        c.Skip(3 + (version == 1 ? 16 : 8));
        t->timescale = c.U32();
        if (t->timescale == 0) throw BoxError("track timescale 0");
    }
    ParseSampleDescription(*b.stsd, *t);
    if (b.elst) t->shift = EditShift(*b.elst, movie_timescale, t->timescale);
    BuildSampleTable(b, file_size, *t);
    return t;
}

void ParseTrex(Cursor c, Movie& movie) {
    c.Skip(4);
    Track* t = movie.ById(c.U32());
    c.Skip(4);  // sample description index
    const uint32_t duration = c.U32(), size = c.U32(), flags = c.U32();
    if (!t) return;
    t->default_duration = duration;
    t->default_size = size;
    t->default_flags = flags;
}

}  // namespace

Track* Movie::ById(uint32_t id) const noexcept {
    if (video && video->id == id) return video.get();
    if (audio && audio->id == id) return audio.get();
    return nullptr;
}

Movie ParseMovie(const uint8_t* data, size_t size, uint64_t file_size) {
    Movie movie;
    uint32_t movie_timescale = 0;
    std::optional<Cursor> mvex;
    ForEachBox(data, size, [&](const mp4box::Box& box, Cursor c) {
        if (box.type == FourCC("mvhd")) {
            const uint8_t version = c.U8();
            c.Skip(3 + (version == 1 ? 16 : 8));
            movie_timescale = c.U32();
        } else if (box.type == FourCC("trak")) {
            auto t = ParseTrak(c, movie_timescale, file_size);
            if (!t) return;
            auto& slot = t->kind == Kind::kVideo ? movie.video : movie.audio;
            if (!slot) slot = std::move(t);
        } else if (box.type == FourCC("mvex")) {
            mvex = c;
        }
    });
    if (mvex) {
        movie.fragmented = true;
        ForEachBox(mvex->here(), mvex->remaining(), [&](const mp4box::Box& box, Cursor c) {
            if (box.type == FourCC("trex")) ParseTrex(c, movie);
        });
    }
    return movie;
}

}  // namespace vemx::mp4movie
