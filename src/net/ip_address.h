#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace vel::net {

// An IPv4 or IPv6 address as one 128-bit number, so that ranges of either family are compared and
// searched the same way. IPv4: hi = 0, lo = the address in host order. IPv6: the 16 bytes
// big-endian, the first eight in hi. An IPv4-mapped IPv6 address is always held as IPv4, so no
// address has two forms.
struct IpAddress {
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;
    bool isV6 = false;

    // Within a family, the order of the 128-bit number. Range lists never mix families.
    friend auto operator<=>(const IpAddress&, const IpAddress&) = default;

    // From the bytes of an in_addr (4) or in6_addr (16), in network order.
    static IpAddress fromV4Bytes(const std::uint8_t* bytes);
    static IpAddress fromV6Bytes(const std::uint8_t* bytes);
    // Network order; IPv4 fills the first four bytes.
    std::array<std::uint8_t, 16> bytes() const;
    unsigned bitCount() const { return isV6 ? 128 : 32; }
};

// Parses dotted IPv4 or IPv6 text of 1 to 64 bytes.
[[nodiscard]] bool parseIpAddress(std::string_view text, IpAddress& out);

// The standard text form: dotted IPv4, compressed IPv6.
std::string formatIpAddress(const IpAddress& address);

// Private, loopback, link-local, carrier-grade NAT and "this network" addresses of either family.
bool isLocalAddress(const IpAddress& address);

// The unit in which clients are counted and limited: an IPv4 address itself, an IPv6 address by
// its /64 (one subscriber's usual allocation, so a client cannot escape a limit by changing its
// interface identifier). Printed as the address, or "<prefix>/64".
std::string clientGroup(const IpAddress& address);
// The same for address text; text that is no address is its own group.
std::string clientGroup(std::string_view addressText);

// An inclusive range of addresses of one family.
struct IpRange {
    IpAddress first;
    IpAddress last;
    friend bool operator==(const IpRange&, const IpRange&) = default;
};

// The block of prefixLength bits (at most the family's bit count) that holds the address.
IpRange prefixRange(const IpAddress& address, unsigned prefixLength);

// The prefix length whose block is exactly the range, or -1 when the range is no such block.
int prefixLengthOf(const IpRange& range);

}  // namespace vel::net
