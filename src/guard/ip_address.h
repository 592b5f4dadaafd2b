#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace vel::gate {

// An IPv4 or IPv6 address as one 128-bit number, so that ranges of either family are compared and
// searched the same way. IPv4: hi = 0, lo = the address in host order. IPv6: the 16 bytes
// big-endian, the first eight in hi.
struct IpAddress {
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;
    bool isV6 = false;

    // Within a family, the order of the 128-bit number. Range lists never mix families.
    friend auto operator<=>(const IpAddress&, const IpAddress&) = default;
};

// Parses dotted IPv4 or IPv6 text of 1 to 64 bytes. An IPv4-mapped IPv6 address (::ffff:a.b.c.d)
// folds to the IPv4 address, so no address has two forms.
bool parseIpAddress(std::string_view text, IpAddress& out);

// The standard text form: dotted IPv4, compressed IPv6.
std::string formatIpAddress(const IpAddress& address);

// Private, loopback, link-local, carrier-grade NAT and "this network" addresses of either family.
bool isLocalAddress(const IpAddress& address);

}  // namespace vel::gate
