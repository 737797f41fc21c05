#include "devices/devreply.h"

#include <cstring>

namespace vemx_dev_reply {

namespace {

uint32_t be32(const uint8_t* p) noexcept {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

}  // namespace

std::optional<reply_t> ParseReply(std::span<const uint8_t> datagram) {
    const uint8_t* p = datagram.data();
    const size_t n = datagram.size();
    if (n < kReplyHeaderSize || std::memcmp(p, kMagic, sizeof kMagic) != 0) return std::nullopt;
    const uint32_t uri_length = be32(p + 16);
    if (uri_length > n - kReplyHeaderSize) return std::nullopt;
    reply_t reply;
    std::memcpy(reply.mac, p + 4, sizeof reply.mac);
    reply.id = be32(p + 10);
    reply.port = static_cast<uint16_t>(p[14] << 8 | p[15]);
    reply.uri.assign(reinterpret_cast<const char*>(p + kReplyHeaderSize), uri_length);
    return reply;
}

size_t BuildProbe(std::minstd_rand& rng, uint8_t (&out)[kMaxProbeSize]) noexcept {
    const size_t length = kMinProbeSize + rng() % 16;
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(rng()) | kMagic[i % 4];
    return length;
}

size_t found_list_t::key_hash::operator()(const key_t& k) const noexcept {
    // Forged replies choose these fields freely; a multiplicative mix keeps
    // them from lining up in a few buckets.
    uint64_t h = (uint64_t{k.address} << 32 | k.id) * 0x9E3779B97F4A7C15ull;
    h ^= (k.mac + (h >> 29)) * 0xC2B2AE3D27D4EB4Full;
    return static_cast<size_t>(h ^ (h >> 32));
}

found_list_t::verdict found_list_t::Add(uint32_t address, const reply_t& reply) {
    uint64_t mac = 0;
    for (uint8_t b : reply.mac) mac = mac << 8 | b;
    const key_t key{address, reply.id, mac};
    if (keys_.count(key)) return verdict::known;
    if (keys_.size() >= capacity_) return verdict::full;
    keys_.insert(key);
    return verdict::fresh;
}

}  // namespace vemx_dev_reply
