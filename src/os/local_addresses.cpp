#include "os/local_addresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <memory>

namespace vel {

std::vector<std::string> LocalIpv4Addresses() {
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) return {};
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> list(raw, &::freeifaddrs);
    std::vector<std::string> out;
    for (const ifaddrs* entry = raw; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        const std::uint32_t host = ntohl(in->sin_addr.s_addr);
        if ((host >> 16) == 0xA9FE) continue;  // 169.254/16: link-local, unreachable from outside
        char text[INET_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) continue;
        if (std::find(out.begin(), out.end(), text) == out.end()) out.emplace_back(text);
    }
    return out;
}

}  // namespace vel
