#include "devices/mcast_ifaces.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace vemx_dev_net {

std::vector<mcast_iface_t> MulticastInterfaces() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return {};
    std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, freeifaddrs);
    std::vector<mcast_iface_t> result;
    for (const ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        if ((a->ifa_flags & (IFF_UP | IFF_MULTICAST)) != (IFF_UP | IFF_MULTICAST)) continue;
        const unsigned index = if_nametoindex(a->ifa_name);
        if (index == 0) continue;  // gone since the list was read
        // Aliases (eth0:1) share their interface's index; one probe each.
        if (std::any_of(result.begin(), result.end(),
                        [&](const mcast_iface_t& i) { return i.index == index; }))
            continue;
        result.push_back(
            {a->ifa_name, index, reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr});
    }
    errno = 0;
    return result;
}

}  // namespace vemx_dev_net
