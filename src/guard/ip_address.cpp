#include "guard/ip_address.h"

#include <arpa/inet.h>

#include <array>
#include <cstring>

namespace vel::gate {

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

bool parseIpAddress(std::string_view text, IpAddress& out) {
    // inet_pton reads a C string: an embedded NUL would hide whatever follows it.
    if (text.empty() || text.size() > kMaxAddressText || text.find('\0') != std::string_view::npos)
        return false;
    std::array<char, kMaxAddressText + 1> buffer{};
    std::memcpy(buffer.data(), text.data(), text.size());

    in_addr v4{};
    if (::inet_pton(AF_INET, buffer.data(), &v4) == 1) {
        out = IpAddress{0, ntohl(v4.s_addr), false};
        return true;
    }
    std::array<std::uint8_t, 16> v6{};
    if (::inet_pton(AF_INET6, buffer.data(), v6.data()) != 1) return false;
    const std::uint64_t hi = loadBigEndian64(v6.data());
    const std::uint64_t lo = loadBigEndian64(v6.data() + 8);
    if (hi == 0 && (lo >> 32) == 0xFFFF) {
        out = IpAddress{0, lo & 0xFFFFFFFFu, false};
    } else {
        out = IpAddress{hi, lo, true};
    }
    return true;
}

std::string formatIpAddress(const IpAddress& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.isV6) {
        std::array<std::uint8_t, 16> bytes{};
        storeBigEndian64(address.hi, bytes.data());
        storeBigEndian64(address.lo, bytes.data() + 8);
        ::inet_ntop(AF_INET6, bytes.data(), text, sizeof text);
    } else {
        in_addr v4{};
        v4.s_addr = htonl(static_cast<std::uint32_t>(address.lo));
        ::inet_ntop(AF_INET, &v4, text, sizeof text);
    }
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

}  // namespace vel::gate
