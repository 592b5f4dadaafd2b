#include "net/ip_address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace vel::net {

namespace {

constexpr std::size_t kMaxAddressText = 64;

std::uint64_t loadBigEndian64(const std::uint8_t* bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = (value << 8) | bytes[i];
    return value;
}

void storeBigEndian64(std::uint64_t value, std::uint8_t* bytes) {
    for (int i = 7; i >= 0; --i) {
        bytes[i] = static_cast<std::uint8_t>(value);
        value >>= 8;
    }
}

// True when the top `bits` bits of the 32-bit IPv4 address equal those of prefix.
bool inV4(std::uint64_t address, std::uint32_t prefix, int bits) {
    const std::uint32_t mask = ~std::uint32_t{0} << (32 - bits);
    return (static_cast<std::uint32_t>(address) & mask) == prefix;
}

}  // namespace

IpAddress IpAddress::fromV4Bytes(const std::uint8_t* bytes) {
    return IpAddress{0,
                     (std::uint64_t{bytes[0]} << 24) | (std::uint64_t{bytes[1]} << 16) |
                         (std::uint64_t{bytes[2]} << 8) | bytes[3],
                     false};
}

IpAddress IpAddress::fromV6Bytes(const std::uint8_t* bytes) {
    const std::uint64_t hi = loadBigEndian64(bytes);
    const std::uint64_t lo = loadBigEndian64(bytes + 8);
    if (hi == 0 && (lo >> 32) == 0xFFFF) return IpAddress{0, lo & 0xFFFFFFFFu, false};
    return IpAddress{hi, lo, true};
}

std::array<std::uint8_t, 16> IpAddress::bytes() const {
    std::array<std::uint8_t, 16> out{};
    if (isV6) {
        storeBigEndian64(hi, out.data());
        storeBigEndian64(lo, out.data() + 8);
    } else {
        for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(lo >> (24 - 8 * i));
    }
    return out;
}

bool parseIpAddress(std::string_view text, IpAddress& out) {
    // inet_pton reads a C string: an embedded NUL would hide whatever follows it.
    if (text.empty() || text.size() > kMaxAddressText || text.find('\0') != std::string_view::npos)
        return false;
    std::array<char, kMaxAddressText + 1> buffer{};
    std::memcpy(buffer.data(), text.data(), text.size());

    std::array<std::uint8_t, 16> bytes{};
    if (::inet_pton(AF_INET, buffer.data(), bytes.data()) == 1) {
        out = IpAddress::fromV4Bytes(bytes.data());
        return true;
    }
    if (::inet_pton(AF_INET6, buffer.data(), bytes.data()) != 1) return false;
    out = IpAddress::fromV6Bytes(bytes.data());
    return true;
}

std::string formatIpAddress(const IpAddress& address) {
    char text[INET6_ADDRSTRLEN] = {};
    const std::array<std::uint8_t, 16> bytes = address.bytes();
    ::inet_ntop(address.isV6 ? AF_INET6 : AF_INET, bytes.data(), text, sizeof text);
    return text;
}

bool isLocalAddress(const IpAddress& address) {
    if (!address.isV6) {
        const std::uint64_t a = address.lo;
        return inV4(a, 0x0A000000, 8) ||   // 10.0.0.0/8
               inV4(a, 0x7F000000, 8) ||   // 127.0.0.0/8
               inV4(a, 0x00000000, 8) ||   // 0.0.0.0/8
               inV4(a, 0xAC100000, 12) ||  // 172.16.0.0/12
               inV4(a, 0xC0A80000, 16) ||  // 192.168.0.0/16
               inV4(a, 0xA9FE0000, 16) ||  // 169.254.0.0/16
               inV4(a, 0x64400000, 10);    // 100.64.0.0/10
    }
    const std::uint64_t top16 = address.hi >> 48;
    return (address.hi == 0 && address.lo == 1) ||  // ::1
           (top16 & 0xFE00) == 0xFC00 ||            // fc00::/7
           (top16 & 0xFFC0) == 0xFE80;              // fe80::/10
}

IpRange prefixRange(const IpAddress& address, unsigned prefixLength) {
    // Within the 128-bit number an IPv4 address is the low 32 bits.
    const unsigned hostBits = address.bitCount() - std::min(prefixLength, address.bitCount());
    const auto hostMask = [](unsigned bits) {
        return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
    };
    const std::uint64_t loMask = hostMask(hostBits);
    const std::uint64_t hiMask = hostBits > 64 ? hostMask(hostBits - 64) : 0;
    IpRange range{address, address};
    range.first.lo &= ~loMask;
    range.first.hi &= ~hiMask;
    range.last.lo |= loMask;
    range.last.hi |= hiMask;
    return range;
}

int prefixLengthOf(const IpRange& range) {
    if (range.first.isV6 != range.last.isV6) return -1;
    for (unsigned length = 0; length <= range.first.bitCount(); ++length) {
        if (prefixRange(range.first, length) == range) return static_cast<int>(length);
    }
    return -1;
}

std::string clientGroup(const IpAddress& address) {
    if (!address.isV6) return formatIpAddress(address);
    return formatIpAddress(prefixRange(address, 64).first) + "/64";
}

std::string clientGroup(std::string_view addressText) {
    IpAddress address;
    if (!parseIpAddress(addressText, address)) return std::string(addressText);
    return clientGroup(address);
}

}  // namespace vel::net
