#include "stream/udp_socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "os/unique_fd.h"

namespace vel::stream {
namespace {

Endpoint loopback(const char* address, std::uint16_t port) {
    Endpoint endpoint;
    EXPECT_TRUE(parseEndpoint(address, port, endpoint));
    return endpoint;
}

TEST(UdpSocket, ExchangesDatagramsAndReportsIpv4PeersDotted) {
    UdpSocket socket;
    std::string error;
    ASSERT_TRUE(socket.open(0, error)) << error;
    ASSERT_NE(socket.port(), 0);

    // A plain IPv4 socket reaches the dual-stack one and is seen as a mapped address.
    UniqueFd v4(::socket(AF_INET, SOCK_DGRAM, 0));
    ASSERT_TRUE(v4);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(socket.port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const char hello[] = "hello";
    ASSERT_EQ(::sendto(v4.get(), hello, 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 5);

    std::vector<std::uint8_t> buffer(1500);
    Endpoint from;
    ASSERT_EQ(socket.receive(buffer, from, 1000), 5);
    const std::string text = toString(from);
    EXPECT_EQ(text.rfind("127.0.0.1:", 0), 0u) << text;

    // And the reply goes back to that mapped address.
    const std::vector<std::uint8_t> reply = {1, 2, 3};
    ASSERT_TRUE(socket.sendTo(from, reply));
    std::uint8_t got[8] = {};
    EXPECT_EQ(::recv(v4.get(), got, sizeof got, 0), 3);

    // IPv6 loopback to itself.
    if (UdpSocket peer; peer.open(0, error)) {
        ASSERT_TRUE(peer.sendTo(loopback("::1", socket.port()), reply));
        ASSERT_EQ(socket.receive(buffer, from, 1000), 3);
        EXPECT_EQ(toString(from), "[::1]:" + std::to_string(peer.port()));
    }
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

}  // namespace
}  // namespace vel::stream
