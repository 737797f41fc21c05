#include "mp4/mp4_sample_format.h"

#include <algorithm>
#include <cstring>

namespace vemx::mp4sample {

using mp4box::BoxError;
using mp4box::Cursor;

namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

// An empty sample has no buffer behind it, which memcpy may not be given.
void Copy(uint8_t* out, const uint8_t* in, size_t n) {
    if (n > 0) std::memcpy(out, in, n);
}
constexpr size_t kAdtsHeader = 7;
constexpr size_t kAdtsMaxFrame = 8191;  // 13-bit frame length

void AppendNal(std::vector<uint8_t>& out, Cursor& c) {
    const uint16_t n = c.U16();
    Cursor nal = c.Sub(n);
    out.insert(out.end(), kStartCode, kStartCode + 4);
    out.insert(out.end(), nal.here(), nal.here() + n);
}

int NalType(const SampleFormat& f, uint8_t header) {
    return f.hevc ? (header >> 1) & 0x3f : header & 0x1f;
}
bool IsDelimiter(const SampleFormat& f, int type) {
    return type == (f.hevc ? 35 : 9);
}
bool IsSequenceSet(const SampleFormat& f, int type) {
    return type == (f.hevc ? 33 : 7);
}

// Walks the NAL units of a length-prefixed sample; false when a length runs
// past the end or leaves a partial prefix.
template <class F>
bool ForEachNal(const SampleFormat& f, const uint8_t* p, size_t size, F&& fn) {
    const size_t ls = size_t(f.length_size);
    size_t at = 0;
    while (at < size) {
        if (size - at < ls) return false;
        size_t n = 0;
        for (size_t i = 0; i < ls; ++i) n = n << 8 | p[at + i];
        at += ls;
        if (n > size - at) return false;
        if (n > 0) fn(p + at, n);
        at += n;
    }
    return true;
}

struct NalSummary {
    bool ok = false;
    size_t count = 0;
    size_t payload = 0;
    bool leading_delimiter = false;
    bool has_sequence_set = false;
};

NalSummary Summarise(const SampleFormat& f, const uint8_t* p, size_t size) {
    NalSummary s;
    s.ok = ForEachNal(f, p, size, [&](const uint8_t* nal, size_t n) {
        const int type = NalType(f, nal[0]);
        if (s.count == 0 && IsDelimiter(f, type)) s.leading_delimiter = true;
        if (IsSequenceSet(f, type)) s.has_sequence_set = true;
        ++s.count;
        s.payload += n;
    });
    return s;
}

bool AddsParameterSets(const SampleFormat& f, const NalSummary& s, bool key) {
    return key && !s.has_sequence_set && !f.parameter_sets.empty();
}

// MPEG-4 descriptors carry their length in 1 to 4 bytes of 7 bits each.
size_t DescriptorLength(Cursor& c) {
    size_t n = 0;
    for (int i = 0; i < 4; ++i) {
        const uint8_t b = c.U8();
        n = n << 7 | (b & 0x7f);
        if (!(b & 0x80)) break;
    }
    return n;
}

class BitReader {
  public:
    BitReader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    uint32_t Read(int bits) {
        uint32_t v = 0;
        for (int i = 0; i < bits; ++i, ++pos_) {
            if (pos_ / 8 >= n_) throw BoxError("AAC configuration too short");
            v = v << 1 | ((p_[pos_ / 8] >> (7 - pos_ % 8)) & 1);
        }
        return v;
    }

  private:
    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
};

constexpr uint32_t kAacRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                    22050, 16000, 12000, 11025, 8000,  7350};

void ParseAudioSpecificConfig(const uint8_t* p, size_t n, SampleFormat& f, uint32_t& rate,
                              uint32_t& channels) {
    BitReader bits(p, n);
    auto object_type = [&] {
        uint32_t t = bits.Read(5);
        return t == 31 ? 32 + bits.Read(6) : t;
    };
    auto rate_index = [&](uint32_t& explicit_rate) {
        const uint32_t i = bits.Read(4);
        if (i == 15) explicit_rate = bits.Read(24);
        return i;
    };
    uint32_t type = object_type();
    uint32_t explicit_rate = 0;
    const uint32_t index = rate_index(explicit_rate);
    const uint32_t channel_config = bits.Read(4);
    if (type == 5 || type == 29) {  // SBR / PS: the core follows
        uint32_t ignored = 0;
        rate_index(ignored);
        type = object_type();
    }
    rate = index < 13 ? kAacRates[index] : explicit_rate;
    if (channel_config > 0 && channel_config < 8)
        channels = channel_config == 7 ? 8 : channel_config;
    if (type >= 1 && type <= 4 && index < 13 && channel_config > 0 && channel_config < 8) {
        f.packing = Packing::kAdts;
        f.adts_profile = uint8_t(type - 1);
        f.adts_rate_index = uint8_t(index);
        f.adts_channels = uint8_t(channel_config);
    }
}

}  // namespace

void ParseAvcConfig(Cursor c, SampleFormat& f) {
    f.hevc = false;
    f.packing = Packing::kAnnexB;
    // A file written before its first picture was seen (a fragmented
    // recording) has an empty avcC: its key frames carry their own sets.
    if (c.remaining() == 0) return;
    c.Skip(4);  // version, profile, compatibility, level
    f.length_size = (c.U8() & 3) + 1;
    f.parameter_sets.clear();
    const int sps = c.U8() & 0x1f;
    for (int i = 0; i < sps; ++i) AppendNal(f.parameter_sets, c);
    const int pps = c.U8();
    for (int i = 0; i < pps; ++i) AppendNal(f.parameter_sets, c);
    f.packing = Packing::kAnnexB;
}

void ParseHevcConfig(Cursor c, SampleFormat& f) {
    f.hevc = true;
    f.packing = Packing::kAnnexB;
    if (c.remaining() == 0) return;
    c.Skip(21);
    f.length_size = (c.U8() & 3) + 1;
    f.parameter_sets.clear();
    const int arrays = c.U8();
    for (int a = 0; a < arrays; ++a) {
        c.U8();  // completeness, NAL type
        const int n = c.U16();
        for (int i = 0; i < n; ++i) AppendNal(f.parameter_sets, c);
    }
    f.packing = Packing::kAnnexB;
}

void ParseEsds(Cursor c, SampleFormat& f, uint32_t& rate, uint32_t& channels) {
    c.Skip(4);  // version, flags
    if (c.U8() != 0x03) return;
    Cursor es = c.Sub(std::min(DescriptorLength(c), c.remaining()));
    es.Skip(2);  // ES id
    const uint8_t flags = es.U8();
    if (flags & 0x80) es.Skip(2);
    if (flags & 0x40) es.Skip(es.U8());
    if (flags & 0x20) es.Skip(2);
    while (es.remaining() > 0) {
        const uint8_t tag = es.U8();
        Cursor d = es.Sub(std::min(DescriptorLength(es), es.remaining()));
        if (tag != 0x04) continue;
        const uint8_t object = d.U8();
        // MPEG-4 audio, or one of the three MPEG-2 AAC profiles.
        if (object != 0x40 && (object < 0x66 || object > 0x68)) return;
        d.Skip(12);
        while (d.remaining() > 0) {
            const uint8_t inner = d.U8();
            Cursor info = d.Sub(std::min(DescriptorLength(d), d.remaining()));
            if (inner == 0x05) {
                ParseAudioSpecificConfig(info.here(), info.remaining(), f, rate, channels);
                return;
            }
        }
    }
}

int64_t DeliveredSize(const SampleFormat& f, const uint8_t* stored, size_t size, bool key) {
    switch (f.packing) {
        case Packing::kStored:
            return int64_t(size);
        case Packing::kAdts:
            return size + kAdtsHeader <= kAdtsMaxFrame ? int64_t(size + kAdtsHeader)
                                                       : int64_t(size);
        case Packing::kAnnexB: {
            const NalSummary s = Summarise(f, stored, size);
            if (!s.ok) return -1;
            int64_t n = int64_t(s.payload + 4 * s.count);
            if (AddsParameterSets(f, s, key)) n += int64_t(f.parameter_sets.size());
            return n;
        }
    }
    return -1;
}

void Deliver(const SampleFormat& f, const uint8_t* stored, size_t size, bool key, uint8_t* out) {
    if (f.packing == Packing::kAdts && size + kAdtsHeader <= kAdtsMaxFrame) {
        const size_t n = size + kAdtsHeader;
        out[0] = 0xff;
        out[1] = 0xf1;  // MPEG-4, no CRC
        out[2] = uint8_t(f.adts_profile << 6 | f.adts_rate_index << 2 | f.adts_channels >> 2);
        out[3] = uint8_t((f.adts_channels & 3) << 6 | n >> 11);
        out[4] = uint8_t(n >> 3);
        out[5] = uint8_t((n & 7) << 5 | 0x1f);
        out[6] = 0xfc;
        Copy(out + kAdtsHeader, stored, size);
        return;
    }
    if (f.packing != Packing::kAnnexB) {
        Copy(out, stored, size);
        return;
    }
    const NalSummary s = Summarise(f, stored, size);
    const bool add = AddsParameterSets(f, s, key);
    size_t at = 0;
    size_t index = 0;
    ForEachNal(f, stored, size, [&](const uint8_t* nal, size_t n) {
        // The sets go after a leading delimiter, else first.
        if (add && index == (s.leading_delimiter ? 1 : 0)) {
            std::memcpy(out + at, f.parameter_sets.data(), f.parameter_sets.size());
            at += f.parameter_sets.size();
        }
        std::memcpy(out + at, kStartCode, 4);
        std::memcpy(out + at + 4, nal, n);
        at += 4 + n;
        ++index;
    });
    if (add && index == (s.leading_delimiter ? 1 : 0)) {
        std::memcpy(out + at, f.parameter_sets.data(), f.parameter_sets.size());
    }
}

}  // namespace vemx::mp4sample
