#include "gate/country_table.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/golden.h"

namespace vel::gate {

using net::IpAddress;

namespace {

IpAddress ip(const std::string& text) {
    IpAddress address;
    EXPECT_TRUE(parseIpAddress(text, address)) << text;
    return address;
}

CountryRange range(const std::string& start, const std::string& end, const std::string& country) {
    return CountryRange{ip(start), ip(end), country};
}

std::string describe(const std::vector<CountryRange>& ranges) {
    std::string text;
    for (const CountryRange& r : ranges) {
        text += formatIpAddress(r.start) + "-" + formatIpAddress(r.end) + " " + r.country + "; ";
    }
    return text;
}

std::string countryAt(const RangeList& ranges, const IpAddress& address) {
    const CountryRange* found = ranges.find(address);
    return found == nullptr ? "" : found->country;
}

TEST(RegistryLine, BlocksOfBothFamilies) {
    // Prefix lengths on both sides of the 64-bit halves (the prefix arithmetic itself is the
    // address test's); five fields are enough; a CR line end, lower case and extra fields pass.
    const struct {
        const char* line;
        const char* country;
        const char* start;
        const char* end;
    } blocks[] = {
        {"ripencc|RU|ipv6|2a02:6b8::|32|20090101|allocated", "RU",
         "2a02:6b8::", "2a02:6b8:ffff:ffff:ffff:ffff:ffff:ffff"},
        {"arin|US|ipv6|2001:db8::|65|x|allocated", "US",
         "2001:db8::", "2001:db8::7fff:ffff:ffff:ffff"},
        {"apnic|cn|ipv4|1.0.1.0|256\r", "CN", "1.0.1.0", "1.0.1.255"},
        {"lacnic|BR|ipv4|255.255.255.0|256|||reserved|extra|fields", "BR", "255.255.255.0",
         "255.255.255.255"},
    };
    for (const auto& block : blocks) {
        CountryRange r;
        ASSERT_TRUE(parseRegistryLine(block.line, r)) << block.line;
        EXPECT_EQ(r.country, block.country) << block.line;
        EXPECT_EQ(r.start, ip(block.start)) << block.line;
        EXPECT_EQ(r.end, ip(block.end)) << block.line;
    }
}

// Headers, summaries, other record types, bad counts, prefixes and families: one line each.
TEST(RegistryLine, SkipsEverythingElse) {
    CountryRange r;
    std::istringstream lines(test::Golden("registry-lines-rejected.txt"));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_FALSE(parseRegistryLine(line, r)) << line;
    }
    EXPECT_EQ(count, 16);
}

TEST(TableText, ReadingIsLenientButSkipsBadLines) {
    CountryTable table;
    addTableRanges(test::Golden("country-table-lenient.csv"), table);
    EXPECT_EQ(describe(table.ipv4),
              "1.0.0.0-1.0.0.255 AU; 2.0.0.0-2.0.0.255 FR; 9.0.0.0-255.255.255.255 NL; "
              "11.0.0.0-11.0.0.0 GB; ");
    EXPECT_EQ(describe(table.ipv6), "2a02:6b8::-2a02:6b8:ffff:ffff:ffff:ffff:ffff:ffff RU; ");
}

TEST(Normalise, MergesNeighboursAndLetsTheEarlierRangeWinOverlaps) {
    std::vector<CountryRange> ranges = {
        range("10.0.0.0", "10.0.0.255", "DE"), range("1.0.0.0", "1.0.0.255", "RU"),
        range("1.0.1.0", "1.0.1.255", "RU"),    // adjacent, same country: joined
        range("1.0.2.0", "1.0.2.255", "KZ"),    // adjacent, other country: kept apart
        range("1.0.4.0", "1.0.4.255", "KZ"),    // a gap of one block: kept apart
        range("1.0.4.128", "1.0.5.127", "US"),  // overlap: KZ grows to its end
        range("1.0.4.200", "1.0.4.210", "FR"),  // inside: dropped
        range("10.0.0.0", "10.0.1.255", "GB"),  // same start: the one read first wins
    };
    normaliseRanges(ranges);
    EXPECT_EQ(describe(ranges),
              "1.0.0.0-1.0.1.255 RU; 1.0.2.0-1.0.2.255 KZ; 1.0.4.0-1.0.5.127 KZ; "
              "10.0.0.0-10.0.1.255 DE; ");

    // Neighbours across the 64-bit halves of an IPv6 address; the top of the space ends a run.
    std::vector<CountryRange> v6 = {
        range("2001:db8:0:1::", "2001:db8:0:1::ffff", "NL"),
        range("2001:db8::", "2001:db8::ffff:ffff:ffff:ffff", "NL"),
        range("ffff:ffff:ffff:ffff:ffff:ffff:ffff:fff0", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
              "SE"),
        range("ffff:ffff:ffff:ffff:ffff:ffff:ffff:fff8", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
              "SE"),
    };
    normaliseRanges(v6);
    EXPECT_EQ(
        describe(v6),
        "2001:db8::-2001:db8:0:1::ffff NL; "
        "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fff0-ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff SE; ");
}

// IPv6 ranges that share the top 64 bits of their start are told apart by the low half.
TEST(RangeList, FindsIpv6RangesWithinOneSlash64) {
    const RangeList ranges({
        range("2001:db7::", "2001:db8::5", "CC"),
        range("2001:db8::10", "2001:db8::20", "DD"),
        range("2001:db8::30", "2001:db8::30", "EE"),
        range("2001:db8::8000:0:0:0", "2001:db8::ffff:ffff:ffff:ffff", "FF"),
        range("2001:db8:0:1::", "2001:db8:0:1::1", "GG"),
    });
    EXPECT_EQ(countryAt(ranges, ip("2001:db6:ffff:ffff:ffff:ffff:ffff:ffff")), "");
    EXPECT_EQ(countryAt(ranges, ip("2001:db7::")), "CC");
    EXPECT_EQ(countryAt(ranges, ip("2001:db8::6")), "");
    EXPECT_EQ(countryAt(ranges, ip("2001:db8::20")), "DD");
    EXPECT_EQ(countryAt(ranges, ip("2001:db8::30")), "EE");
    EXPECT_EQ(countryAt(ranges, ip("2001:db8::7fff:ffff:ffff:ffff")), "");
    EXPECT_EQ(countryAt(ranges, ip("2001:db8::9000:0:0:1")), "FF");
    EXPECT_EQ(countryAt(ranges, ip("2001:db8:0:1::")), "GG");
    EXPECT_EQ(countryAt(ranges, ip("2001:db8:0:1::2")), "");
}

}  // namespace
}  // namespace vel::gate
