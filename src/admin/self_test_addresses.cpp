// Self-test groups for client addresses: the check that a firewall rule names exactly one
// address, and the country filter from registry file to verdict.
#include <set>
#include <utility>

#include "admin/self_test.h"
#include "admin/self_test_support.h"
#include "firewall/firewall.h"
#include "gate/country_filter.h"
#include "gate/country_table.h"
#include "net/ip_address.h"
#include "os/files.h"
#include "os/paths.h"

namespace vel::admin {

using gate::addRegistryRanges;
using gate::CountryFilter;
using gate::CountryRange;
using gate::CountryTable;
using gate::GeoCheckResult;
using gate::GeoVerdict;
using gate::normaliseRanges;
using gate::parseCountryList;
using gate::RangeList;

namespace {

// Registry statistics with the lines a real file carries besides address blocks: the version
// line, a summary, a comment and a reserved block without a country. Four blocks remain.
constexpr const char* kStatsFile =
    "2|ripencc|20260101|5|19830705|20260101|+0100\n"
    "ripencc|*|ipv4|*|4|summary\n"
    "# address blocks\n"
    "ripencc|RU|ipv4|5.255.192.0|8192|20120801|allocated\n"
    "ripencc|RU|ipv6|2a02:6b8::|32|20090101|allocated\n"
    "apnic|CN|ipv4|1.0.1.0|256|20110414|allocated\n"
    "ripencc|DE|ipv4|5.9.0.0|65536|20110101|allocated\r\n"
    "ripencc||ipv4|192.0.2.0|256||reserved\n";

// The country a table built from the statistics gives an address; empty for none.
class Lookup {
  public:
    explicit Lookup(std::string_view stats) {
        CountryTable table;
        addRegistryRanges(stats, table);
        normaliseRanges(table.ipv4);
        normaliseRanges(table.ipv6);
        ipv4_ = RangeList(std::move(table.ipv4));
        ipv6_ = RangeList(std::move(table.ipv6));
    }
    std::string country(std::string_view text) const {
        net::IpAddress address;
        if (!net::parseIpAddress(text, address)) return {};
        const CountryRange* range = (address.isV6 ? ipv6_ : ipv4_).find(address);
        return range != nullptr ? range->country : std::string();
    }

  private:
    RangeList ipv4_;
    RangeList ipv6_;
};

void classification(SelfTest& test) {
    const std::pair<const char*, bool> cases[] = {
        {"10.0.0.1", true},     {"172.16.0.1", true},   {"172.31.255.255", true},
        {"192.168.1.1", true},  {"127.0.0.1", true},    {"169.254.1.1", true},
        {"100.64.0.1", true},   {"fe80::1", true},      {"fd00::1", true},
        {"172.32.0.1", false},  {"172.15.0.1", false},  {"8.8.8.8", false},
        {"100.128.0.1", false}, {"2a02:6b8::1", false},
    };
    bool all = true;
    for (const auto& [text, local] : cases) {
        net::IpAddress address;
        if (!net::parseIpAddress(text, address) || net::isLocalAddress(address) != local) {
            test.print(std::string("        wrong for ") + text);
            all = false;
        }
    }
    test.check(all, "private ranges are recognized (14 cases)");
}

bool verdictIs(const CountryFilter& filter, std::string_view address, GeoVerdict verdict) {
    return filter.check(address).verdict == verdict;
}

}  // namespace

void SelfTestFirewallAddressCheck(SelfTest& test) {
    test.group("Firewall address check");
    const auto isValidRemoteAddress = [](std::string_view text) {
        net::IpAddress address;
        return net::parseIpAddress(text, address);
    };
    test.check(isValidRemoteAddress("10.0.0.5"), "IPv4 is accepted");
    test.check(isValidRemoteAddress("fe80::1"), "IPv6 is accepted");
    test.check(!isValidRemoteAddress("10.0.0.5,0.0.0.0/0"), "an address list is rejected");
    test.check(!isValidRemoteAddress("*"), "a wildcard is rejected");
    test.check(!isValidRemoteAddress("10.0.0.5/24"), "a subnet mask is rejected");
    test.check(!isValidRemoteAddress(""), "an empty string is rejected");
    test.check(!isValidRemoteAddress("gate.example.com"), "a hostname is rejected");
}

void SelfTestCountryFilter(SelfTest& test, const std::string& workDirectory) {
    test.group("Country filter");
    net::IpAddress address;
    net::IpAddress mapped;
    net::IpAddress plain;
    test.check(net::parseIpAddress("192.168.1.10", address) && !address.isV6, "IPv4 parses");
    test.check(net::parseIpAddress("2a02:6b8::1", address) && address.isV6, "IPv6 parses");
    test.check(!net::parseIpAddress("not an address", address), "garbage is rejected");
    test.check(net::parseIpAddress("::ffff:8.8.8.8", mapped) &&
                   net::parseIpAddress("8.8.8.8", plain) && mapped == plain,
               "an IPv4-mapped address folds to IPv4");
    classification(test);

    std::set<std::string> countries;
    std::string error;
    test.check(parseCountryList("ru, kz;by", countries, error) &&
                   countries == std::set<std::string>{"BY", "KZ", "RU"},
               "the country list parses and is uppercased");
    test.check(!parseCountryList("RU, RUS", countries, error), "a three-letter code is rejected");
    test.check(!parseCountryList("RU, K2", countries, error), "a code with a digit is rejected");

    const ScratchFolder folder(JoinPath(workDirectory, "selftest"));
    const std::string stats = folder.file("delegated-selftest-extended.txt");
    test.check(WriteFileAtomic(stats, kStatsFile), "the test stats file is written");
    CountryFilter imported;
    test.check(imported.importRirFiles({stats}, error), "the RIR format imports");
    test.check(imported.ipv4RangeCount() + imported.ipv6RangeCount() == 4,
               "exactly 4 ranges parsed, service lines skipped");

    const Lookup lookup(kStatsFile);
    test.check(lookup.country("5.255.192.0") == "RU", "the first address of a range is found");
    test.check(lookup.country("5.255.223.255") == "RU", "the last address of a range is found");
    test.check(lookup.country("5.255.224.0").empty(), "the address just past a range is not");
    test.check(lookup.country("5.255.191.255").empty(), "the address just before a range is not");
    test.check(lookup.country("5.9.0.1") == "DE" && lookup.country("1.0.1.128") == "CN",
               "ranges of another registry and country are found");
    test.check(lookup.country("2a02:6b8::dead") == "RU", "IPv6 inside the prefix is found");
    test.check(lookup.country("2a02:6b9::1").empty(), "IPv6 past the prefix is not");
    test.check(lookup.country("203.0.113.1").empty(), "an address outside the table is not");

    const std::string table = folder.file("geoip.csv");
    const std::string copy = folder.file("geoip-copy.csv");
    test.check(imported.saveTable(table, error), "the table is saved");
    CountryFilter reread;
    std::string original;
    std::string again;
    test.check(reread.loadTable(table, error) && reread.saveTable(copy, error) &&
                   ReadFileText(table, original) && ReadFileText(copy, again) &&
                   original == again && reread.ipv4RangeCount() == imported.ipv4RangeCount() &&
                   reread.ipv6RangeCount() == imported.ipv6RangeCount(),
               "the table reads back without loss");

    CountryFilter filter;
    filter.configure(table, {"RU"}, true);
    test.check(filter.isEnabled() && filter.tableLoaded(),
               "the filter is enabled and the table is loaded");
    const GeoCheckResult allowed = filter.check("5.255.192.5");
    test.check(allowed.verdict == GeoVerdict::Allowed && allowed.country == "RU",
               "an address of an allowed country passes");
    const GeoCheckResult other = filter.check("5.9.0.1");
    test.check(other.verdict == GeoVerdict::CountryNotAllowed && other.country == "DE",
               "an address of another country is rejected");
    test.check(verdictIs(filter, "203.0.113.1", GeoVerdict::CountryUnknown),
               "an address of no known country is rejected");
    test.check(verdictIs(filter, "192.168.1.5", GeoVerdict::LocalAddress),
               "a private address is exempt");
    test.check(verdictIs(filter, "::ffff:5.9.0.1", GeoVerdict::CountryNotAllowed),
               "an IPv4-mapped address does not bypass the filter");
    filter.configure(table, {"RU"}, false);
    test.check(verdictIs(filter, "192.168.1.5", GeoVerdict::CountryUnknown),
               "without the exemption a private address is checked too");
    filter.configure(table, {}, true);
    test.check(!filter.isEnabled() && verdictIs(filter, "5.9.0.1", GeoVerdict::Allowed) &&
                   verdictIs(filter, "203.0.113.1", GeoVerdict::Allowed),
               "an empty list means the filter is off");
    filter.configure(folder.file("missing.csv"), {"RU"}, true);
    test.check(filter.isEnabled() && !filter.tableLoaded(), "a missing table file is detected");
    test.check(verdictIs(filter, "5.255.192.5", GeoVerdict::TableMissing),
               "without a table external addresses are rejected");
    test.check(verdictIs(filter, "192.168.1.5", GeoVerdict::LocalAddress),
               "without a table local access is preserved");
}

}  // namespace vel::admin
