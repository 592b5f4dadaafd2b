#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vel::stream {

// A UDP address. Every endpoint the transport makes is IPv6 (IPv4 as ::ffff:a.b.c.d), so one
// dual-stack socket reaches both families and equality needs no family juggling.
struct Endpoint {
    sockaddr_storage storage{};
    std::int32_t length = 0;

    bool valid() const { return length >= 1; }
    std::uint16_t port() const;
};

// Copies a socket address of either family into IPv6 form; an address of another family or one
// longer than the storage gives an empty endpoint.
Endpoint endpointFromSockaddr(const sockaddr* address, std::size_t length);

// "192.0.2.7:9000" for IPv4 and IPv4-mapped addresses, "[2001:db8::1]:9000" for other IPv6
// ones, "(none)" for anything else.
std::string toString(const Endpoint& endpoint);

bool operator==(const Endpoint& a, const Endpoint& b);

// Numeric forms only: "a.b.c.d[:port]", "[v6][:port]" or a bare IPv6 literal; a port is 1 to 5
// digits from 1 to 65535, else defaultPort applies.
[[nodiscard]] bool parseEndpoint(std::string_view text, std::uint16_t defaultPort, Endpoint& out);

// parseEndpoint, else a name lookup; distinct results in resolver order, empty on failure.
std::vector<Endpoint> resolveEndpoints(std::string_view text, std::uint16_t defaultPort);

}  // namespace vel::stream
