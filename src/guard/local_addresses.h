#pragma once

#include <string>
#include <vector>

namespace vel::gate {

// The IPv4 addresses of interfaces that are up and not loopback, without link-local
// (169.254.x.x) ones, in interface order.
std::vector<std::string> LocalIpv4Addresses();

}  // namespace vel::gate
