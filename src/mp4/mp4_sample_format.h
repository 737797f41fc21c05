#pragma once
// Turns samples as MP4 stores them into what a decoder or the TS multiplexer
// takes: H.264/HEVC length-prefixed NAL units become Annex B with the
// parameter sets in front of key frames that lack them, AAC frames get a
// 7-byte ADTS header.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "mp4/mp4_box.h"

namespace vemx::mp4sample {

enum class Packing { kStored, kAnnexB, kAdts };

struct SampleFormat {
    Packing packing = Packing::kStored;
    bool hevc = false;
    int length_size = 4;                  // NAL length prefix, 1 to 4 bytes
    std::vector<uint8_t> parameter_sets;  // Annex B, start codes included
    uint8_t adts_profile = 0;             // object type - 1
    uint8_t adts_rate_index = 0;
    uint8_t adts_channels = 0;
};

// avcC / hvcC payloads; throw mp4box::BoxError when malformed.
void ParseAvcConfig(mp4box::Cursor c, SampleFormat& format);
void ParseHevcConfig(mp4box::Cursor c, SampleFormat& format);
// The esds payload of an AAC entry.  AAC whose configuration ADTS cannot
// carry (explicit rates, channel layout in a PCE, object types past 4) stays
// as stored.  Fills rate and channels when the configuration names them.
void ParseEsds(mp4box::Cursor c, SampleFormat& format, uint32_t& rate, uint32_t& channels);

// The size a stored sample has once delivered, or -1 when its NAL length
// prefixes do not add up to the sample.
int64_t DeliveredSize(const SampleFormat& format, const uint8_t* stored, size_t size, bool key);
// Writes the delivered sample; out holds DeliveredSize() bytes.
void Deliver(const SampleFormat& format, const uint8_t* stored, size_t size, bool key,
             uint8_t* out);

}  // namespace vemx::mp4sample
