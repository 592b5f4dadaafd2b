#include "firewall/remote_addresses.h"

#include <string>

namespace vel::firewall {

namespace {

std::string_view trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

bool parsePrefixLength(std::string_view text, unsigned max, unsigned& length) {
    if (text.empty() || text.size() > 3) return false;
    length = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        length = length * 10 + static_cast<unsigned>(c - '0');
    }
    return length <= max;
}

// A dotted IPv4 mask such as 255.255.255.0, which must be a run of ones followed by zeros.
bool parseDottedMask(std::string_view text, unsigned& length) {
    net::IpAddress mask;
    if (!net::parseIpAddress(text, mask) || mask.isV6) return false;
    const auto bits = static_cast<std::uint32_t>(mask.lo);
    const std::uint32_t inverted = ~bits;
    if ((inverted & (inverted + 1)) != 0) return false;
    length = 0;
    for (std::uint32_t b = bits; b != 0; b <<= 1) ++length;
    return true;
}

bool parseEntry(std::string_view entry, AddressRange& out) {
    if (entry == "*") {
        out = AddressRange{};
        out.any = true;
        return true;
    }
    if (const auto dash = entry.find('-'); dash != std::string_view::npos) {
        net::IpAddress first, last;
        if (!net::parseIpAddress(entry.substr(0, dash), first) ||
            !net::parseIpAddress(entry.substr(dash + 1), last) || first.isV6 != last.isV6 ||
            last < first) {
            return false;
        }
        out = AddressRange{false, {first, last}};
        return true;
    }
    net::IpAddress address;
    const auto slash = entry.find('/');
    if (!net::parseIpAddress(entry.substr(0, slash), address)) return false;
    unsigned length = address.bitCount();
    if (slash != std::string_view::npos) {
        const std::string_view suffix = entry.substr(slash + 1);
        if (!parsePrefixLength(suffix, address.bitCount(), length) &&
            (address.isV6 || !parseDottedMask(suffix, length))) {
            return false;
        }
    }
    out = AddressRange{false, net::prefixRange(address, length)};
    return true;
}

}  // namespace

bool parseRemoteAddresses(std::string_view text, std::vector<AddressRange>& out) {
    out.clear();
    text = trim(text);
    if (text.empty()) text = "*";
    bool allRead = true;
    while (true) {
        const auto comma = text.find(',');
        AddressRange range;
        if (parseEntry(trim(text.substr(0, comma)), range)) {
            out.push_back(range);
        } else {
            allRead = false;
        }
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return allRead;
}

}  // namespace vel::firewall
