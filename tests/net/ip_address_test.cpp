#include "net/ip_address.h"

#include <gtest/gtest.h>

#include <string>

namespace vel::net {
namespace {

IpAddress parsed(const std::string& text) {
    IpAddress address;
    EXPECT_TRUE(parseIpAddress(text, address)) << text;
    return address;
}

TEST(IpAddress, ParsesBothFamiliesIntoOneNumber) {
    EXPECT_EQ(parsed("192.168.1.10"), (IpAddress{0, 0xC0A8010A, false}));
    EXPECT_EQ(parsed("2a02:6b8::1"), (IpAddress{0x2a0206b800000000, 1, true}));

    // Ordered as the 128-bit number, the high half first.
    EXPECT_LT(parsed("2a02:6b8::ffff:ffff:ffff"), parsed("2a02:6b8:0:1::"));
    EXPECT_LT(parsed("9.255.255.255"), parsed("10.0.0.0"));
}

TEST(IpAddress, MappedIpv4FoldsSoItCannotPassAsIpv6) {
    EXPECT_EQ(parsed("::ffff:8.8.8.8"), parsed("8.8.8.8"));
    EXPECT_EQ(parsed("::FFFF:0808:0808"), parsed("8.8.8.8"));
    // Only the exact mapped prefix folds.
    EXPECT_TRUE(parsed("::fffe:8.8.8.8").isV6);
    EXPECT_TRUE(parsed("::8.8.8.8").isV6);
    EXPECT_TRUE(parsed("1::ffff:8.8.8.8").isV6);
}

TEST(IpAddress, RejectsWhatIsNotExactlyOneAddress) {
    IpAddress address{7, 7, true};
    for (const std::string text :
         {"", "not an address", "1.2.3", "1.2.3.4.5", "256.1.1.1", " 1.2.3.4", "1.2.3.4 ",
          "1.2.3.4/24", "2a02:6b8::1::2", "[::1]", "1.2.3.4:80", "::1%eth0"}) {
        EXPECT_FALSE(parseIpAddress(text, address)) << text;
    }
    // A NUL must not cut the text short, and overlong text is refused before any parsing.
    EXPECT_FALSE(parseIpAddress(std::string("1.2.3.4\0junk", 12), address));
    EXPECT_FALSE(
        parseIpAddress("0000:0000:0000:0000:0000:0000:0000:0000:0000:0000:0000:0001", address));
    EXPECT_EQ(address, (IpAddress{7, 7, true}));
}

TEST(IpAddress, FormatsInStandardForm) {
    for (const std::string text :
         {"0.0.0.0", "5.255.223.255", "255.255.255.255", "::", "::1",
          "2a02:6b8::", "2a02:6b8:ffff:ffff:ffff:ffff:ffff:ffff", "fe80::1:2"}) {
        EXPECT_EQ(formatIpAddress(parsed(text)), text);
    }
    EXPECT_EQ(formatIpAddress(parsed("2A02:06B8:0000::0001")), "2a02:6b8::1");
    EXPECT_EQ(formatIpAddress(parsed("::ffff:10.1.2.3")), "10.1.2.3");
}

TEST(IpAddress, LocalRangesOfBothFamilies) {
    for (const std::string text :
         {"10.0.0.1", "10.255.255.255", "127.0.0.1", "0.1.2.3", "172.16.0.1", "172.31.255.255",
          "192.168.1.1", "169.254.1.1", "100.64.0.1", "100.127.255.255", "::1", "fc00::1",
          "fd00::1", "fdff:ffff::1", "fe80::1", "febf::1", "::ffff:192.168.0.1"}) {
        EXPECT_TRUE(isLocalAddress(parsed(text))) << text;
    }
    for (const std::string text :
         {"172.32.0.1", "172.15.0.1", "11.0.0.1", "192.169.0.1", "169.253.255.255",
          "100.63.255.255", "100.128.0.0", "1.1.1.1", "::", "::2", "fe00::1", "fec0::1", "fb00::1",
          "2a02:6b8::1", "::ffff:8.8.8.8"}) {
        EXPECT_FALSE(isLocalAddress(parsed(text))) << text;
    }
}

TEST(IpAddress, BytesRoundTripAndLoopback) {
    const auto v6 = parsed("2001:db8::7").bytes();
    EXPECT_EQ(IpAddress::fromV6Bytes(v6.data()), parsed("2001:db8::7"));
    // A dual-stack socket's IPv4 peer arrives mapped and must read as the IPv4 address.
    std::uint8_t wire[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 1, 2, 3, 4};
    EXPECT_EQ(IpAddress::fromV6Bytes(wire), parsed("1.2.3.4"));
}

TEST(IpRange, PrefixBlocksOfBothFamilies) {
    const IpRange v4 = prefixRange(parsed("10.1.2.3"), 16);
    EXPECT_EQ(v4.first, parsed("10.1.0.0"));
    EXPECT_EQ(v4.last, parsed("10.1.255.255"));
    EXPECT_EQ(prefixLengthOf(v4), 16);
    EXPECT_EQ(prefixRange(parsed("1.2.3.4"), 0).last, parsed("255.255.255.255"));

    const IpRange v6 = prefixRange(parsed("2001:db8::1"), 60);
    EXPECT_EQ(v6.first, parsed("2001:db8::"));
    EXPECT_EQ(v6.last, parsed("2001:db8:0:f:ffff:ffff:ffff:ffff"));
    EXPECT_EQ(prefixLengthOf(v6), 60);
    EXPECT_EQ(prefixRange(parsed("::1"), 0).last,
              parsed("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"));

    EXPECT_EQ(prefixLengthOf({parsed("10.0.0.1"), parsed("10.0.0.2")}), -1);
    EXPECT_EQ(prefixLengthOf({parsed("10.0.0.0"), parsed("10.0.0.2")}), -1);
}

}  // namespace
}  // namespace vel::net
