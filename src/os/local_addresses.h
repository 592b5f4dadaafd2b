#pragma once

#include <string>
#include <vector>

namespace vel {

// The machine's IPv4 addresses on interfaces that are up, without loopback and link-local ones.
std::vector<std::string> LocalIpv4Addresses();

}  // namespace vel
