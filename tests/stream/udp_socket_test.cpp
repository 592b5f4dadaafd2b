#include "stream/udp_socket.h"

#include <gtest/gtest.h>

#include <vector>

namespace vel::stream {
namespace {

Endpoint loopback(const char* address, std::uint16_t port) {
    Endpoint endpoint;
    EXPECT_TRUE(parseEndpoint(address, port, endpoint));
    return endpoint;
}

// IPv4 peers reach the dual-stack socket in every session test over 127.0.0.1 and are named
// dotted in the handshake reason; this is the IPv6 side.
TEST(UdpSocket, ExchangesDatagramsOverIpv6) {
    UdpSocket socket;
    UdpSocket peer;
    std::string error;
    ASSERT_TRUE(socket.open(0, error)) << error;
    if (!peer.open(0, error)) GTEST_SKIP() << error;
    ASSERT_TRUE(peer.sendTo(loopback("::1", socket.port()), std::vector<std::uint8_t>{1, 2, 3}));
    std::vector<std::uint8_t> buffer(64);
    Endpoint from;
    ASSERT_EQ(socket.receive(buffer, from, 1000), 3);
    EXPECT_EQ(toString(from), "[::1]:" + std::to_string(peer.port()));
}

TEST(UdpSocket, IcmpFromAClosedPortDoesNotBreakReceivingAndCloseEndsIt) {
    UdpSocket socket;
    std::string error;
    ASSERT_TRUE(socket.open(0, error)) << error;
    // Find a port nobody listens on, send to it, and let the port-unreachable come back.
    std::uint16_t closedPort = 0;
    {
        UdpSocket probe;
        ASSERT_TRUE(probe.open(0, error)) << error;
        closedPort = probe.port();
    }
    ASSERT_TRUE(socket.sendTo(loopback("127.0.0.1", closedPort), std::vector<std::uint8_t>(4, 1)));
    std::vector<std::uint8_t> buffer(64);
    Endpoint from;
    EXPECT_EQ(socket.receive(buffer, from, 20), 0);
    EXPECT_EQ(socket.receive(buffer, from, 0), 0);

    // A port already taken gives the bind text with the port.
    UdpSocket second;
    EXPECT_FALSE(second.open(socket.port(), error));
    EXPECT_EQ(error.rfind("bind(" + std::to_string(socket.port()) + ") failed: ", 0), 0u) << error;

    socket.close();
    EXPECT_EQ(socket.port(), 0);
    EXPECT_EQ(socket.receive(buffer, from, 0), -1);
    EXPECT_FALSE(socket.sendTo(loopback("127.0.0.1", 9), std::vector<std::uint8_t>(1, 1)));
}

Endpoint parsed(const std::string& text, std::uint16_t defaultPort = 7441) {
    Endpoint endpoint;
    EXPECT_TRUE(parseEndpoint(text, defaultPort, endpoint)) << text;
    return endpoint;
}

TEST(Endpoint, ParsesAndPrintsBothFamiliesInIpv6Form) {
    // IPv4 is kept mapped for the dual-stack socket, which every session test over 127.0.0.1
    // relies on.
    EXPECT_EQ(toString(parsed("192.0.2.7:9000")), "192.0.2.7:9000");
    EXPECT_EQ(toString(parsed("192.0.2.7")), "192.0.2.7:7441");
    EXPECT_EQ(toString(parsed("[2001:db8::1]:9000")), "[2001:db8::1]:9000");
    EXPECT_EQ(toString(parsed("[2001:db8::1]")), "[2001:db8::1]:7441");
    EXPECT_EQ(toString(parsed("2001:db8::1")), "[2001:db8::1]:7441");
    EXPECT_EQ(toString(parsed("::ffff:192.0.2.7", 5)), "192.0.2.7:5");
    EXPECT_EQ(toString(parsed("192.0.2.7:65535")), "192.0.2.7:65535");
    EXPECT_EQ(toString(Endpoint{}), "(none)");
}

TEST(Endpoint, RefusesBadPortsAndNonNumericHosts) {
    for (const char* text : {"192.0.2.7:0", "192.0.2.7:65536", "192.0.2.7:123456", "192.0.2.7:9x",
                             "192.0.2.7:", "[2001:db8::1]9000", "[2001:db8::1", "[192.0.2.7]:9",
                             "example.com", "example.com:80", "", "1.2.3", "2001:db8::1:80x"}) {
        Endpoint endpoint;
        EXPECT_FALSE(parseEndpoint(text, 7441, endpoint)) << text;
    }
}

}  // namespace
}  // namespace vel::stream
