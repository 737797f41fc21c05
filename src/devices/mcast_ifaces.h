#pragma once
// The IPv4 interfaces a multicast probe can leave on.
#include <netinet/in.h>

#include <string>
#include <vector>

namespace vemx_dev_net {

struct mcast_iface_t {
    std::string name;
    unsigned index;
    in_addr address;  // the interface's first IPv4 address
};

// Every interface that is up and multicast-capable and has an IPv4 address,
// once each.  Read afresh on every call, so networks that come and go are
// followed.  Empty with errno set when the list cannot be read.
std::vector<mcast_iface_t> MulticastInterfaces();

}  // namespace vemx_dev_net
