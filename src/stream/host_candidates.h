#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "stream/endpoint.h"

namespace vel::stream {

// One address of one network interface, as the system lists them.
struct InterfaceAddress {
    std::string interfaceName;
    unsigned flags = 0;  // IFF_* of the interface
    sockaddr_storage address{};
};

// The system's interface addresses (getifaddrs); tests substitute their own list.
class InterfaceAddresses {
  public:
    virtual ~InterfaceAddresses() = default;
    // In interface order; false when the system cannot list them.
    virtual bool list(std::vector<InterfaceAddress>& out) = 0;
};

std::unique_ptr<InterfaceAddresses> systemInterfaceAddresses();

// The machine's unicast addresses a viewer could reach, each with `port`: interfaces that are up
// and running and not loopback, without 169.254/16, fe80::/10 and ::1. Empty when the system
// cannot list its interfaces.
std::vector<Endpoint> hostCandidates(std::uint16_t port);
std::vector<Endpoint> hostCandidates(std::uint16_t port, InterfaceAddresses& source);

}  // namespace vel::stream
