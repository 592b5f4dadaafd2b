#pragma once

#include <cstdint>
#include <string>

#include "os/unique_fd.h"

namespace vel::test {

// Probes of what really gets through to a namespace: a listener stands in for the protected
// service, and clients in other namespaces try to reach it.

// How long an attempt may go unanswered before the port counts as closed. Dropped packets are
// never answered, so this bounds the tests' run time rather than measuring anything.
inline constexpr int kClosedAfterMs = 1000;
inline constexpr int kOpenWithinMs = 10000;

// A socket bound to every address of the namespace on port (listening when it is SOCK_STREAM).
UniqueFd ListeningSocket(const std::string& ns, int type, std::uint16_t port);

// Completes a TCP handshake from the client's namespace and closes it again; expectOpen picks
// how long to wait. Accepts and closes whatever reached the listener, so no session outlives the
// probe.
bool TcpConnects(const std::string& clientNs, const std::string& address, std::uint16_t port,
                 int listener, bool expectOpen);

// Sends one datagram from the client's namespace; whether the receiver got it.
bool UdpDelivered(const std::string& clientNs, const std::string& address, std::uint16_t port,
                  int receiver, bool expectOpen);

}  // namespace vel::test
