#include "gate/country_filter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "os/files.h"
#include "support/temp_dir.h"

namespace vel::gate {
namespace {

const char* const kRegistryLines =
    "2|ripencc|1700000000|5|19830705|20240101|+0100\n"
    "ripencc|*|ipv4|*|3|summary\n"
    "# a comment\n"
    "ripencc|RU|ipv4|5.255.192.0|8192|20120801|allocated\n"
    "ripencc|RU|ipv6|2a02:6b8::|32|20090101|allocated\n"
    "ripencc||ipv4|5.0.0.0|256||reserved\n";
const char* const kOtherRegistryLines =
    "apnic|CN|ipv4|1.0.1.0|256|20110414|allocated\r\n"
    "ripencc|DE|ipv4|5.9.0.0|65536|20110101|allocated\r\n";

class CountryFilterTest : public ::testing::Test {
  protected:
    std::string write(const std::string& name, const std::string& text) {
        const std::string path = dir_ + "/" + name;
        EXPECT_TRUE(WriteFileAtomic(path, text));
        return path;
    }

    // A saved table of the example registry lines.
    std::string exampleTable() {
        CountryFilter importer;
        std::string error;
        EXPECT_TRUE(importer.importRirFiles(
            {write("ripe", kRegistryLines), write("apnic", kOtherRegistryLines)}, error))
            << error;
        const std::string path = dir_ + "/geoip.csv";
        EXPECT_TRUE(importer.saveTable(path, error)) << error;
        return path;
    }

    test::TempDir tempDir_;
    const std::string dir_ = tempDir_.path();
};

TEST_F(CountryFilterTest, ImportFailuresLeaveTheTableAsItWas) {
    CountryFilter filter;
    std::string error;
    ASSERT_TRUE(filter.importRirFiles({write("good", kRegistryLines)}, error));

    const std::string missing = dir_ + "/missing";
    EXPECT_FALSE(filter.importRirFiles({write("more", kOtherRegistryLines), missing}, error));
    EXPECT_EQ(error, "failed to read file " + missing);

    const std::string noRanges =
        "no lines could be parsed. Expected RIR delegated-extended format, e.g.: "
        "apnic|AU|ipv4|1.0.0.0|256|20110811|assigned";
    error.clear();
    EXPECT_FALSE(filter.importRirFiles({write("junk", "2|x|y\nnot|a|registry|line|0\n")}, error));
    EXPECT_EQ(error, noRanges);

    EXPECT_EQ(filter.ipv4RangeCount(), 1u);
    EXPECT_EQ(filter.ipv6RangeCount(), 1u);
}

// A saved table reading back is seen in the geo commands' test; a missing one below.
TEST_F(CountryFilterTest, ATableWithoutRangesIsRefused) {
    CountryFilter filter;
    std::string error;
    EXPECT_FALSE(filter.loadTable(write("empty.csv", "# only comments\nbad,line,XX\n"), error));
    EXPECT_EQ(error, "the file contains no valid ranges");
}

TEST_F(CountryFilterTest, VerdictsWithATable) {
    const std::string table = exampleTable();
    CountryFilter filter;
    filter.configure(table, {"RU"}, true);

    auto expect = [&](const std::string& address, GeoVerdict verdict, const std::string& country) {
        const GeoCheckResult result = filter.check(address);
        EXPECT_EQ(result.verdict, verdict) << address;
        EXPECT_EQ(result.country, country) << address;
    };
    // Plain IPv4 verdicts are seen in the geo commands' test.
    expect("2a02:6b8::1", GeoVerdict::Allowed, "RU");
    expect("::ffff:5.9.0.1", GeoVerdict::CountryNotAllowed, "DE");
    expect("203.0.113.1", GeoVerdict::CountryUnknown, "");
    expect("not an address", GeoVerdict::CountryUnknown, "");
    expect("192.168.1.5", GeoVerdict::LocalAddress, "");  // the ranges are the address test's

    // Without the exemption a local address is looked up like any other.
    filter.configure(table, {"RU"}, false);
    expect("192.168.1.5", GeoVerdict::CountryUnknown, "");
}

TEST_F(CountryFilterTest, MissingTableFailsClosedForPublicAddressesOnly) {
    CountryFilter filter;
    filter.configure(dir_ + "/missing.csv", {"RU"}, true);
    EXPECT_EQ(filter.check("2a02:6b8::1").verdict, GeoVerdict::TableMissing);
    EXPECT_EQ(filter.check("::1").verdict, GeoVerdict::LocalAddress);

    filter.configure(dir_ + "/missing.csv", {"RU"}, false);
    EXPECT_EQ(filter.check("192.168.1.5").verdict, GeoVerdict::TableMissing);

    // A table that was loaded before does not survive a configure that cannot load one.
    const std::string table = exampleTable();
    filter.configure(table, {"RU"}, true);
    ASSERT_EQ(filter.check("5.255.192.5").verdict, GeoVerdict::Allowed);
    std::filesystem::remove(table);
    filter.configure(table, {"RU"}, true);
    EXPECT_EQ(filter.check("5.255.192.5").verdict, GeoVerdict::TableMissing);
}

TEST(CountryList, ParsesSeparatedCodesAndRejectsBadOnes) {
    std::set<std::string> codes{"XX"};
    std::string error;
    ASSERT_TRUE(parseCountryList("ru, kz;by", codes, error));
    EXPECT_EQ(codes, (std::set<std::string>{"BY", "KZ", "RU"}));
    ASSERT_TRUE(parseCountryList(" \tDE\r\n;;,de ,", codes, error));
    EXPECT_EQ(codes, (std::set<std::string>{"DE"}));

    codes = {"XX"};
    EXPECT_FALSE(parseCountryList("RU, RUS", codes, error));
    EXPECT_EQ(error, "'RUS' does not look like a two-letter country code (e.g. RU or KZ)");
    EXPECT_TRUE(codes.empty());
    EXPECT_FALSE(parseCountryList("RU|KZ", codes, error));
    EXPECT_FALSE(parseCountryList("\xc3\x9c\x41", codes, error));
}

}  // namespace
}  // namespace vel::gate
