#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vel::gate {

// One entry of a rule's RemoteAddresses: any address, or an inclusive range of one family.
struct AddressRange {
    bool any = false;
    bool ipv6 = false;
    std::array<std::uint8_t, 16> first{};  // network byte order; IPv4 uses the first 4 bytes
    std::array<std::uint8_t, 16> last{};
};

// Parses a RemoteAddresses text: entries separated by ',', each "*", an address, address/prefix,
// IPv4 address/dotted mask, or first-last; an empty text means any address. Entries it cannot
// read (such as the Windows keywords "LocalSubnet" or "DNS") are left out of `out`, and the
// result is then false.
bool parseRemoteAddresses(std::string_view text, std::vector<AddressRange>& out);

}  // namespace vel::gate
