#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/ip_address.h"

namespace vel::gate {

// One block of addresses registered to one country, both ends included.
struct CountryRange {
    net::IpAddress start;
    net::IpAddress end;
    std::string country = "??";  // two upper-case letters once set
};

// The ranges read from a file, one list per family, in the order read.
struct CountryTable {
    std::vector<CountryRange> ipv4;
    std::vector<CountryRange> ipv6;
};

// Sorts by start, joins adjacent ranges of one country and folds every overlapping range into the
// one before it, whose country wins.
void normaliseRanges(std::vector<CountryRange>& ranges);

// The normalised ranges of one family, searched on every request. Beside the ranges it keeps the
// significant half of every start (the IPv4 address, the top 64 bits of IPv6) in a compact array,
// so that a search over several hundred thousand ranges touches 8 bytes per step and stays in
// the cache instead of walking whole range records.
class RangeList {
  public:
    RangeList() = default;
    explicit RangeList(std::vector<CountryRange> ranges);

    // The range that contains address, or nullptr.
    const CountryRange* find(const net::IpAddress& address) const;
    const std::vector<CountryRange>& ranges() const { return ranges_; }
    std::size_t size() const { return ranges_.size(); }

  private:
    std::vector<CountryRange> ranges_;
    std::vector<std::uint64_t> keys_;
};

// Accepts exactly two ASCII letters and returns them in upper case.
[[nodiscard]] bool parseCountryCode(std::string_view text, std::string& out);

// Reads one line of a registry "delegated-extended" statistics file
// (registry|CC|ipv4|start|count|date|status, or ipv6 with a prefix length in place of the count).
// False for every line that names no address block of a country: the version line, summaries,
// comments, ASN records, records without a country.
[[nodiscard]] bool parseRegistryLine(std::string_view line, CountryRange& out);

// Adds the ranges of every line of one statistics file; returns how many lines yielded a range.
std::size_t addRegistryRanges(std::string_view text, CountryTable& table);

// Adds the ranges of a "geoip.csv" text (start,end,CC per line); bad lines are skipped.
void addTableRanges(std::string_view text, CountryTable& table);

// The "geoip.csv" text: two comment lines, then the IPv4 and the IPv6 ranges.
std::string formatTable(const RangeList& ipv4, const RangeList& ipv6);

}  // namespace vel::gate
