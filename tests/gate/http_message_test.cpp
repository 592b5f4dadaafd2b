#include "gate/http_message.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

namespace vel {

using gate::HttpRequest;
using gate::SetPeerAddress;

namespace {

HttpRequest peerOf(int family, const char* text) {
    sockaddr_storage storage{};
    if (family == AF_INET) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
        v4.sin_family = AF_INET;
        EXPECT_EQ(inet_pton(AF_INET, text, &v4.sin_addr), 1);
    } else {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
        v6.sin6_family = AF_INET6;
        EXPECT_EQ(inet_pton(AF_INET6, text, &v6.sin6_addr), 1);
    }
    HttpRequest request;
    request.remoteAddress = "stale";
    request.isLoopback = true;
    SetPeerAddress(request, reinterpret_cast<const sockaddr*>(&storage));
    return request;
}

void expectPeer(const HttpRequest& request, const char* address, bool loopback, bool ipv6) {
    EXPECT_EQ(request.remoteAddress, address);
    EXPECT_EQ(request.isLoopback, loopback) << address;
    EXPECT_EQ(request.peer.has_value() && request.peer->isV6, ipv6) << address;
    EXPECT_EQ(request.peer.has_value(), *address != '\0') << address;
}

TEST(HttpMessage, PeerAddressesFoldMappedIPv4AndClassifyLoopback) {
    expectPeer(peerOf(AF_INET6, "::ffff:10.0.0.5"), "10.0.0.5", false, false);
    expectPeer(peerOf(AF_INET6, "::ffff:127.0.0.1"), "127.0.0.1", true, false);
    expectPeer(peerOf(AF_INET, "127.255.0.9"), "127.255.0.9", true, false);
    expectPeer(peerOf(AF_INET, "128.0.0.1"), "128.0.0.1", false, false);
    expectPeer(peerOf(AF_INET6, "::1"), "::1", true, true);
    expectPeer(peerOf(AF_INET6, "2001:db8::7"), "2001:db8::7", false, true);

    sockaddr unknown{};
    unknown.sa_family = AF_UNIX;
    HttpRequest request;
    request.remoteAddress = "stale";
    SetPeerAddress(request, &unknown);
    expectPeer(request, "", false, false);
    SetPeerAddress(request, nullptr);
    expectPeer(request, "", false, false);
}

}  // namespace
}  // namespace vel
