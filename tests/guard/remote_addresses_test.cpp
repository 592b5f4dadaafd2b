#include "guard/remote_addresses.h"

#include <gtest/gtest.h>

namespace vel::gate {
namespace {

std::array<std::uint8_t, 16> v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return {a, b, c, d};
}

TEST(RemoteAddresses, EntriesBecomeRangesAndUnreadableOnesAreLeftOut) {
    std::vector<AddressRange> ranges;
    ASSERT_TRUE(
        parseRemoteAddresses(" 10.0.0.5/24 , 10.1.0.1-10.1.0.9,192.168.7.9/255.255.0.0", ranges));
    ASSERT_EQ(ranges.size(), 3u);
    EXPECT_EQ(ranges[0].first, v4(10, 0, 0, 0));
    EXPECT_EQ(ranges[0].last, v4(10, 0, 0, 255));
    EXPECT_EQ(ranges[1].first, v4(10, 1, 0, 1));
    EXPECT_EQ(ranges[1].last, v4(10, 1, 0, 9));
    EXPECT_EQ(ranges[2].first, v4(192, 168, 0, 0));
    EXPECT_EQ(ranges[2].last, v4(192, 168, 255, 255));
    EXPECT_FALSE(ranges[0].any || ranges[0].ipv6);

    ASSERT_TRUE(parseRemoteAddresses("2001:db8::1/127", ranges));
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_TRUE(ranges[0].ipv6);
    EXPECT_EQ(ranges[0].first[15], 0);
    EXPECT_EQ(ranges[0].last[15], 1);
    EXPECT_EQ(ranges[0].last[14], 0);

    for (const char* any : {"*", "", "  "}) {
        ASSERT_TRUE(parseRemoteAddresses(any, ranges)) << any;
        ASSERT_EQ(ranges.size(), 1u);
        EXPECT_TRUE(ranges[0].any);
    }

    // Keywords, names, mixed families, reversed ranges, holes in a mask, oversize prefixes.
    for (const char* bad :
         {"LocalSubnet", "gate.example.com", "10.0.0.1-fe80::1", "10.0.0.9-10.0.0.1",
          "10.0.0.0/255.0.255.0", "10.0.0.0/33", "fe80::/129", "fe80::/ffff::", "10.0.0.0/",
          "10.0.0.1/-1", ",", "10.0.0.1 10.0.0.2"}) {
        EXPECT_FALSE(parseRemoteAddresses(bad, ranges)) << bad;
    }
    EXPECT_FALSE(parseRemoteAddresses("DNS,10.0.0.1", ranges));
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].first, v4(10, 0, 0, 1));
}

}  // namespace
}  // namespace vel::gate
