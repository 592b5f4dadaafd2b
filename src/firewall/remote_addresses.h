#pragma once

#include <string_view>
#include <vector>

#include "net/ip_address.h"

namespace vel::firewall {

// One entry of a rule's RemoteAddresses: any address, or an inclusive range of one family.
struct AddressRange {
    bool any = false;
    net::IpRange range;  // when not any
};

// Parses a RemoteAddresses text: entries separated by ',', each "*", an address, address/prefix,
// IPv4 address/dotted mask, or first-last; an empty text means any address. Entries it cannot
// read (such as the Windows keywords "LocalSubnet" or "DNS") are left out of `out`, and the
// result is then false.
[[nodiscard]] bool parseRemoteAddresses(std::string_view text, std::vector<AddressRange>& out);

}  // namespace vel::firewall
