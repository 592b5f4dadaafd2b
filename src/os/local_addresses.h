#pragma once

#include <vector>

#include "net/ip_address.h"

namespace vel {

// The machine's IPv4 addresses on interfaces that are up, without loopback and link-local ones.
std::vector<net::IpAddress> LocalIpv4Addresses();

}  // namespace vel
