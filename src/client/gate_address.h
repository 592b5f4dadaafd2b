#pragma once

#include <cstdint>
#include <string>

namespace vel::client {

// The gate listens here unless setup was told otherwise.
inline constexpr std::uint16_t kDefaultGatePort = 7440;

// Where a gate is reached: a host name or address and its HTTPS port.
struct GateAddress {
    std::string host;  // without brackets, also for IPv6
    std::uint16_t port = kDefaultGatePort;

    // "host:port", IPv6 in brackets; the name a gate is saved under.
    std::string text() const;
};

// Reads HOST, HOST:PORT, [V6] or [V6]:PORT. A bare IPv6 address (more than one colon) is taken as
// an address without a port.
[[nodiscard]] bool ParseGateAddress(const std::string& text, GateAddress& out, std::string& error);

}  // namespace vel::client
