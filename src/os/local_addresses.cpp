#include "os/local_addresses.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <memory>

namespace vel {

std::vector<net::IpAddress> LocalIpv4Addresses() {
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) return {};
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> list(raw, &::freeifaddrs);
    std::vector<net::IpAddress> out;
    for (const ifaddrs* entry = raw; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        const net::IpAddress address =
            net::IpAddress::fromV4Bytes(reinterpret_cast<const std::uint8_t*>(&in->sin_addr));
        if ((address.lo >> 16) == 0xA9FE) continue;  // 169.254/16: link-local, unreachable
        if (std::find(out.begin(), out.end(), address) == out.end()) out.push_back(address);
    }
    return out;
}

}  // namespace vel
