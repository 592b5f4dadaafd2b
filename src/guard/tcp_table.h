#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vel::gate {

// One row of the kernel's TCP table. Addresses are kept in IPv6 form; IPv4 rows are IPv4-mapped,
// so a connection looks the same whether it reached an IPv4 or a dual-stack socket.
struct TcpRow {
    std::array<std::uint8_t, 16> localAddress{};
    std::uint16_t localPort = 0;
    std::array<std::uint8_t, 16> remoteAddress{};
    std::uint16_t remotePort = 0;
    int state = 0;
};

inline constexpr int kTcpEstablished = 0x01;
inline constexpr int kTcpListen = 0x0A;

// Parses the text of /proc/net/tcp (ipv6 false) or /proc/net/tcp6 (ipv6 true); malformed rows are
// skipped.
std::vector<TcpRow> ParseProcNetTcp(std::string_view text, bool ipv6);

// Reads both tables of the running system; a missing file contributes nothing.
std::vector<TcpRow> ReadTcpTable();

// An address text ("203.0.113.5", "2001:db8::1", "::ffff:203.0.113.5") in the IPv6 form of TcpRow.
std::optional<std::array<std::uint8_t, 16>> TcpAddressOf(std::string_view address);

// True when an established connection from `remoteAddress` to local port `localPort` exists.
bool HasEstablishedConnection(const std::vector<TcpRow>& table, std::string_view remoteAddress,
                              std::uint16_t localPort);

// True when something listens on the TCP port, on IPv4 or on a dual-stack IPv6 socket.
bool IsListening(const std::vector<TcpRow>& table, std::uint16_t port);

// The same two questions asked of the running system.
bool isTcpPortListening(std::uint16_t port);
bool isTcpSessionLive(std::string_view remoteAddress, std::uint16_t localPort);

}  // namespace vel::gate
