#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "guard/ip_address.h"

namespace vel::gate {

// One block of addresses registered to one country, both ends included.
struct CountryRange {
    IpAddress start;
    IpAddress end;
    std::string country = "??";  // two upper-case letters once set
};

// The address-to-country table: one list per family, each sorted by start and free of overlaps
// once normalised.
struct CountryTable {
    std::vector<CountryRange> ipv4;
    std::vector<CountryRange> ipv6;
};

// Accepts exactly two ASCII letters and returns them in upper case.
bool parseCountryCode(std::string_view text, std::string& out);

// Reads one line of a registry "delegated-extended" statistics file
// (registry|CC|ipv4|start|count|date|status, or ipv6 with a prefix length in place of the count).
// False for every line that names no address block of a country: the version line, summaries,
// comments, ASN records, records without a country.
bool parseRegistryLine(std::string_view line, CountryRange& out);

// Adds the ranges of every line of one statistics file; returns how many lines yielded a range.
std::size_t addRegistryRanges(std::string_view text, CountryTable& table);

// Adds the ranges of a "geoip.csv" text (start,end,CC per line); bad lines are skipped.
void addTableRanges(std::string_view text, CountryTable& table);

// The "geoip.csv" text of a table: two comment lines, then the IPv4 and the IPv6 ranges.
std::string formatTable(const CountryTable& table);

// Sorts by start, joins adjacent ranges of one country and folds every overlapping range into the
// one before it, whose country wins.
void normaliseRanges(std::vector<CountryRange>& ranges);

// The range of a normalised list that contains address, or nullptr.
const CountryRange* findRange(const std::vector<CountryRange>& ranges, const IpAddress& address);

}  // namespace vel::gate
