#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "net/ip_address.h"

namespace vel {

// One row of the kernel's TCP table. An IPv4-mapped address of a dual-stack socket reads as the
// IPv4 address, so a connection looks the same whichever socket it reached.
struct TcpRow {
    net::IpAddress localAddress;
    std::uint16_t localPort = 0;
    net::IpAddress remoteAddress;
    std::uint16_t remotePort = 0;
    int state = 0;
};

inline constexpr int kTcpEstablished = 0x01;
inline constexpr int kTcpListen = 0x0A;

// Parses the text of /proc/net/tcp (ipv6 false) or /proc/net/tcp6 (ipv6 true); malformed rows are
// skipped.
std::vector<TcpRow> ParseProcNetTcp(std::string_view text, bool ipv6);

// The kernel's TCP table, behind an interface so that tests can supply their own rows.
class TcpTable {
  public:
    virtual ~TcpTable() = default;
    virtual std::vector<TcpRow> rows() const = 0;
};

// Both tables of the running system; a missing file contributes nothing.
const TcpTable& SystemTcpTable();

// True when an established connection from remoteAddress to local port localPort exists.
bool HasEstablishedConnection(const std::vector<TcpRow>& table, const net::IpAddress& remoteAddress,
                              std::uint16_t localPort);

// True when something listens on the TCP port, on IPv4 or on a dual-stack IPv6 socket.
bool IsListening(const std::vector<TcpRow>& table, std::uint16_t port);

}  // namespace vel
