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

}  // namespace
}  // namespace vel::stream
