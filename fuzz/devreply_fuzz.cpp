// Feeds arbitrary datagrams to the reply parser and the found set, as a
// flood of hostile replies would reach the scan thread.  Input: a sequence
// of records, each one byte picking the sender address, one byte giving the
// datagram length (cut to what is left), then the datagram.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <tuple>

#include "devices/devreply.h"

namespace {

using vemx_dev_reply::found_list_t;

// Small, so that inputs reach the full list as well.
constexpr size_t kCapacity = 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    found_list_t found(kCapacity);
    // What the set must agree with: every device kept, in a plain model.
    std::set<std::tuple<uint32_t, uint32_t, uint64_t>> model;
    while (size >= 2) {
        const uint32_t address = 0x0100007F + (uint32_t{data[0]} << 24);
        const size_t length = data[1] < size - 2 ? data[1] : size - 2;
        data += 2;
        size -= 2;
        const auto reply = vemx_dev_reply::ParseReply({data, length});
        if (reply) {
            if (length < vemx_dev_reply::kReplyHeaderSize + reply->uri.size() ||
                std::memcmp(data, vemx_dev_reply::kMagic, 4) != 0 ||
                std::memcmp(data + vemx_dev_reply::kReplyHeaderSize, reply->uri.data(),
                            reply->uri.size()) != 0)
                __builtin_trap();
            uint64_t mac = 0;
            for (uint8_t b : reply->mac) mac = mac << 8 | b;
            const auto key = std::make_tuple(address, reply->id, mac);
            const auto verdict = found.Add(address, *reply);
            const bool known = model.count(key) != 0;
            if (known != (verdict == found_list_t::verdict::known)) __builtin_trap();
            if (verdict == found_list_t::verdict::fresh) model.insert(key);
            if (verdict == found_list_t::verdict::full && model.size() != kCapacity)
                __builtin_trap();
            if (found.size() != model.size() || found.size() > kCapacity) __builtin_trap();
        }
        data += length;
        size -= length;
    }
    return 0;
}
