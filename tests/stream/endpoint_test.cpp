#include "stream/endpoint.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

namespace vel::stream {
namespace {

Endpoint parsed(const std::string& text, std::uint16_t defaultPort = 7441) {
    Endpoint endpoint;
    EXPECT_TRUE(parseEndpoint(text, defaultPort, endpoint)) << text;
    return endpoint;
}

TEST(Endpoint, ParsesAndPrintsBothFamiliesInIpv6Form) {
    const Endpoint v4 = parsed("192.0.2.7:9000");
    EXPECT_EQ(v4.storage.ss_family, AF_INET6);
    EXPECT_EQ(v4.length, static_cast<std::int32_t>(sizeof(sockaddr_in6)));
    EXPECT_TRUE(IN6_IS_ADDR_V4MAPPED(&reinterpret_cast<const sockaddr_in6&>(v4.storage).sin6_addr));
    EXPECT_EQ(toString(v4), "192.0.2.7:9000");
    EXPECT_EQ(v4.port(), 9000);

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

TEST(Endpoint, EqualityComparesAddressPortAndScope) {
    EXPECT_EQ(parsed("192.0.2.7:9000"), parsed("[::ffff:192.0.2.7]:9000"));
    EXPECT_FALSE(parsed("192.0.2.7:9000") == parsed("192.0.2.7:9001"));
    EXPECT_FALSE(parsed("192.0.2.7:9000") == parsed("192.0.2.8:9000"));
    EXPECT_EQ(parsed("[2001:db8::1]:1"), parsed("2001:db8::1", 1));

    Endpoint scoped = parsed("[fe80::1]:1");
    reinterpret_cast<sockaddr_in6&>(scoped.storage).sin6_scope_id = 2;
    EXPECT_FALSE(scoped == parsed("[fe80::1]:1"));
    EXPECT_FALSE(Endpoint{} == parsed("192.0.2.7:1"));

    // A plain IPv4 socket address converts to the same mapped form.
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(9000);
    v4.sin_addr.s_addr = htonl(0xC0000207);
    EXPECT_EQ(endpointFromSockaddr(reinterpret_cast<const sockaddr*>(&v4), sizeof v4),
              parsed("192.0.2.7:9000"));
}

TEST(Endpoint, ResolvesNumericTextWithoutLookupAndNamesThroughTheResolver) {
    const auto numeric = resolveEndpoints("192.0.2.7", 9000);
    ASSERT_EQ(numeric.size(), 1u);
    EXPECT_EQ(toString(numeric[0]), "192.0.2.7:9000");

    // "localhost" resolves from /etc/hosts on any machine; duplicates (one per socket type) merge.
    const auto local = resolveEndpoints("localhost", 9000);
    ASSERT_FALSE(local.empty());
    for (std::size_t i = 0; i < local.size(); ++i) {
        EXPECT_EQ(local[i].port(), 9000);
        for (std::size_t j = i + 1; j < local.size(); ++j) EXPECT_FALSE(local[i] == local[j]);
    }
    EXPECT_TRUE(resolveEndpoints("no-such-host.invalid", 9000).empty());
}

}  // namespace
}  // namespace vel::stream
