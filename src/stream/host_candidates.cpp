#include "stream/host_candidates.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

namespace vel::stream {

namespace {

class GetifaddrsAddresses final : public InterfaceAddresses {
  public:
    bool list(std::vector<InterfaceAddress>& out) override {
        ifaddrs* raw = nullptr;
        if (::getifaddrs(&raw) != 0) return false;
        const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owned(raw, &::freeifaddrs);
        for (const ifaddrs* entry = raw; entry != nullptr; entry = entry->ifa_next) {
            if (entry->ifa_addr == nullptr) continue;
            const sa_family_t family = entry->ifa_addr->sa_family;
            if (family != AF_INET && family != AF_INET6) continue;
            InterfaceAddress address;
            address.interfaceName = entry->ifa_name != nullptr ? entry->ifa_name : "";
            address.flags = entry->ifa_flags;
            std::memcpy(&address.address, entry->ifa_addr,
                        family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
            out.push_back(address);
        }
        return true;
    }
};

// Addresses no remote viewer can reach: link-local in both families and the IPv6 loopback.
bool unreachable(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        return (ntohl(v4.sin_addr.s_addr) >> 16) == 0xA9FE;
    }
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    const std::uint8_t* bytes = v6.sin6_addr.s6_addr;
    return (bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80) || IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr);
}

}  // namespace

std::unique_ptr<InterfaceAddresses> systemInterfaceAddresses() {
    return std::make_unique<GetifaddrsAddresses>();
}

std::vector<Endpoint> hostCandidates(std::uint16_t port) {
    return hostCandidates(port, *systemInterfaceAddresses());
}

std::vector<Endpoint> hostCandidates(std::uint16_t port, InterfaceAddresses& source) {
    std::vector<InterfaceAddress> addresses;
    if (!source.list(addresses)) return {};
    std::vector<Endpoint> out;
    for (InterfaceAddress& entry : addresses) {
        // Up and running is the operational state "up"; a cable-less NIC is up but not running.
        if ((entry.flags & IFF_UP) == 0 || (entry.flags & IFF_RUNNING) == 0) continue;
        if ((entry.flags & IFF_LOOPBACK) != 0) continue;
        const sa_family_t family = entry.address.ss_family;
        if (family != AF_INET && family != AF_INET6) continue;
        if (unreachable(entry.address)) continue;
        if (family == AF_INET) {
            reinterpret_cast<sockaddr_in&>(entry.address).sin_port = htons(port);
        } else {
            reinterpret_cast<sockaddr_in6&>(entry.address).sin6_port = htons(port);
        }
        out.push_back(endpointFromSockaddr(reinterpret_cast<const sockaddr*>(&entry.address),
                                           sizeof entry.address));
    }
    return out;
}

}  // namespace vel::stream
