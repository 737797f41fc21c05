#pragma once
// The discovery datagrams: the probe an enumerator sends to the group, the
// reply a device answers with, and the set of devices already reported.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <unordered_set>

namespace vemx_dev_reply {

inline constexpr uint8_t kMagic[4] = {'X', 'E', 'D', 'A'};

// Replies are received into a buffer of this size; bytes beyond it are lost,
// so the longest usable URI is 236 bytes.
inline constexpr size_t kReplyBufferSize = 256;
inline constexpr size_t kReplyHeaderSize = 20;

inline constexpr size_t kMinProbeSize = 8;
inline constexpr size_t kMaxProbeSize = 23;

// What a device says about itself.  Multi-byte fields travel big-endian.
struct reply_t {
    uint8_t mac[6];
    uint32_t id;
    uint16_t port;
    std::string uri;
};

// Parses one datagram.  Foreign datagrams (wrong magic) and replies cut
// short anywhere, including a URI length running past the end, give nothing.
std::optional<reply_t> ParseReply(std::span<const uint8_t> datagram);

// Fills out with a probe of 8 to 23 random bytes, each with the bits of the
// magic byte at its position (modulo 4) set, and returns its length.
size_t BuildProbe(std::minstd_rand& rng, uint8_t (&out)[kMaxProbeSize]) noexcept;

// The devices reported so far, told apart by sender address, ID and MAC;
// a device whose port or URI changes stays the same device.
class found_list_t {
  public:
    enum class verdict { fresh, known, full };

    // Past capacity nothing new is taken, so a flood of forged replies
    // cannot grow the list without bound.
    explicit found_list_t(size_t capacity) : capacity_(capacity) {}

    // address is the sender's IPv4 address in network byte order.  A fresh
    // device is remembered.
    verdict Add(uint32_t address, const reply_t& reply);

    size_t size() const noexcept { return keys_.size(); }

  private:
    struct key_t {
        uint32_t address;
        uint32_t id;
        uint64_t mac;  // the six bytes, big-endian, in the low 48 bits
        bool operator==(const key_t&) const = default;
    };
    struct key_hash {
        size_t operator()(const key_t& k) const noexcept;
    };

    size_t capacity_;
    std::unordered_set<key_t, key_hash> keys_;
};

}  // namespace vemx_dev_reply
