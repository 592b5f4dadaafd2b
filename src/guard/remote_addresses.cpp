#include "guard/remote_addresses.h"

#include <arpa/inet.h>

#include <algorithm>
#include <string>

namespace vel::gate {

namespace {

std::string_view trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

struct Address {
    bool ipv6 = false;
    std::array<std::uint8_t, 16> bytes{};
    std::size_t size() const { return ipv6 ? 16 : 4; }
};

bool parseAddress(std::string_view text, Address& out) {
    if (text.empty() || text.size() > 45) return false;
    const std::string s(text);
    if (::inet_pton(AF_INET, s.c_str(), out.bytes.data()) == 1) {
        out.ipv6 = false;
        return true;
    }
    out.ipv6 = true;
    return ::inet_pton(AF_INET6, s.c_str(), out.bytes.data()) == 1;
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
    Address mask;
    if (!parseAddress(text, mask) || mask.ipv6) return false;
    const std::uint32_t bits = (std::uint32_t{mask.bytes[0]} << 24) |
                               (std::uint32_t{mask.bytes[1]} << 16) |
                               (std::uint32_t{mask.bytes[2]} << 8) | mask.bytes[3];
    const std::uint32_t inverted = ~bits;
    if ((inverted & (inverted + 1)) != 0) return false;
    length = 0;
    for (std::uint32_t b = bits; b != 0; b <<= 1) ++length;
    return true;
}

AddressRange prefixRange(const Address& address, unsigned length) {
    AddressRange range;
    range.ipv6 = address.ipv6;
    for (std::size_t i = 0; i < address.size(); ++i) {
        const unsigned bitsHere = length >= 8 * (i + 1) ? 8 : (length > 8 * i ? length - 8 * i : 0);
        const auto mask = static_cast<std::uint8_t>(0xFF00u >> bitsHere);
        range.first[i] = address.bytes[i] & mask;
        range.last[i] = address.bytes[i] | static_cast<std::uint8_t>(~mask);
    }
    return range;
}

bool parseEntry(std::string_view entry, AddressRange& out) {
    if (entry == "*") {
        out = AddressRange{};
        out.any = true;
        return true;
    }
    if (const auto dash = entry.find('-'); dash != std::string_view::npos) {
        Address first, last;
        if (!parseAddress(entry.substr(0, dash), first) ||
            !parseAddress(entry.substr(dash + 1), last) || first.ipv6 != last.ipv6 ||
            std::lexicographical_compare(last.bytes.begin(), last.bytes.end(), first.bytes.begin(),
                                         first.bytes.end())) {
            return false;
        }
        out = AddressRange{};
        out.ipv6 = first.ipv6;
        out.first = first.bytes;
        out.last = last.bytes;
        return true;
    }
    Address address;
    const auto slash = entry.find('/');
    if (!parseAddress(entry.substr(0, slash), address)) return false;
    unsigned length = address.ipv6 ? 128 : 32;
    if (slash != std::string_view::npos) {
        const std::string_view suffix = entry.substr(slash + 1);
        if (!parsePrefixLength(suffix, address.ipv6 ? 128 : 32, length) &&
            (address.ipv6 || !parseDottedMask(suffix, length))) {
            return false;
        }
    }
    out = prefixRange(address, length);
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

}  // namespace vel::gate
