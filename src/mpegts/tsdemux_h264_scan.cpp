// The H.264 key scan: a packet without the key flag counts as a key frame
// when it carries a sequence parameter set.
#include "mpegts/tsdemux.h"

#include <immintrin.h>

namespace vemx::tsdemux {

namespace {

// Whether a sequence parameter set's start code begins at or after `i`.
bool ScanTail(const uint8_t* data, size_t i, size_t size) noexcept {
    for (; i + 4 < size; ++i)
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 0 && data[i + 3] == 1 &&
            (data[i + 4] & 0x1F) == 7)
            return true;
    return false;
}

}  // namespace

bool TsDemux::video_callback_t::ScanSse2(const uint8_t* data, size_t size) noexcept {
    // A start code needs its header byte after it, so it begins at most 5
    // bytes before the end.
    if (size < 5) return false;
    const uint8_t* const end = data + size;
    const uint8_t* const last = end - 5;
    const uint8_t* p = data;
    const __m128i zero = _mm_setzero_si128();
    while (p <= last) {
        // Slice data rarely holds a zero byte and a start code begins with
        // one: go 16 bytes at a time to the next zero.
        if (end - p >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const unsigned zeros =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)));
            if (zeros == 0) {
                p += 16;
                continue;
            }
            p += __builtin_ctz(zeros);
            if (p > last) break;
        }
        if (p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1) {
            if ((p[4] & 0x1F) == 7) return true;
            p += 4;
        } else {
            ++p;
        }
    }
    return false;
}

// Tests 32 candidate positions at once: four shifted loads find every
// 00 00 00 01 without a branch per zero byte, which the slice data of a
// CABAC stream holds every few hundred bytes.  Most 32-byte stretches of
// slice data hold no zero byte at all, and then none of their positions can
// start a code: one load settles those.
__attribute__((target("avx2"))) bool TsDemux::video_callback_t::ScanAvx2(const uint8_t* data,
                                                                         size_t size) noexcept {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i one = _mm256_set1_epi8(1);
    size_t i = 0;
    // Positions i..i+31 are tested with loads reaching i+34, and a hit's
    // header byte is at most i+35.
    for (; i + 36 <= size; i += 32) {
        const auto* p = data + i;
        const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(b0, zero)) == 0) continue;
        const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
        const __m256i b2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2));
        const __m256i b3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 3));
        const __m256i zeros = _mm256_cmpeq_epi8(_mm256_or_si256(_mm256_or_si256(b0, b1), b2), zero);
        auto hits = static_cast<unsigned>(
            _mm256_movemask_epi8(_mm256_and_si256(zeros, _mm256_cmpeq_epi8(b3, one))));
        while (hits != 0) {
            if ((data[i + static_cast<size_t>(__builtin_ctz(hits)) + 4] & 0x1F) == 7) return true;
            hits &= hits - 1;
        }
    }
    return ScanTail(data, i, size);
}

namespace {

using scan_fn = bool (*)(const uint8_t*, size_t) noexcept;
const scan_fn g_scan = __builtin_cpu_supports("avx2") ? &TsDemux::video_callback_t::ScanAvx2
                                                      : &TsDemux::video_callback_t::ScanSse2;

}  // namespace

bool TsDemux::video_callback_t::HasSequenceParameterSet(const uint8_t* data, size_t size) noexcept {
    return g_scan(data, size);
}

bool TsDemux::video_callback_t::OnPacket_H264(const AVPacket& packet) {
    bool key = (packet.flags & AV_PKT_FLAG_KEY) != 0;
    if (!key && packet.data)
        key = HasSequenceParameterSet(packet.data, static_cast<size_t>(packet.size));
    return FireOnVideoPacket(packet.pts, packet.dts, packet.data, packet.size, key, context);
}

}  // namespace vemx::tsdemux
