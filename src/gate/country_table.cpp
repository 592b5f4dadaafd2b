#include "gate/country_table.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

namespace vel::gate {

namespace {

constexpr std::uint64_t kAllOnes = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kLastIpv4 = 0xFFFFFFFFu;

bool isAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool parseUnsigned(std::string_view text, std::uint64_t& out) {
    if (text.empty()) return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (kAllOnes - digit) / 10) return false;
        value = value * 10 + digit;
    }
    out = value;
    return true;
}

// Calls visit(line) for every line of text, without the "\n".
template <typename Visit>
void forEachLine(std::string_view text, Visit&& visit) {
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        if (newline == std::string_view::npos) {
            visit(text);
            return;
        }
        visit(text.substr(0, newline));
        text.remove_prefix(newline + 1);
    }
}

// The piece of text before the next separator; text keeps what follows the separator. False when
// there is no separator left.
bool takeField(std::string_view& text, char separator, std::string_view& field) {
    const std::size_t at = text.find(separator);
    if (at == std::string_view::npos) return false;
    field = text.substr(0, at);
    text.remove_prefix(at + 1);
    return true;
}

bool follows(const net::IpAddress& before, const net::IpAddress& next) {
    if (before.lo != kAllOnes) return next.hi == before.hi && next.lo == before.lo + 1;
    return before.hi != kAllOnes && next.hi == before.hi + 1 && next.lo == 0;
}

std::uint64_t searchKey(const net::IpAddress& address) {
    return address.isV6 ? address.hi : address.lo;
}

void addRange(CountryRange range, CountryTable& table) {
    (range.start.isV6 ? table.ipv6 : table.ipv4).push_back(std::move(range));
}

}  // namespace

bool parseCountryCode(std::string_view text, std::string& out) {
    if (text.size() != 2 || !isAsciiLetter(text[0]) || !isAsciiLetter(text[1])) return false;
    out.assign(text);
    for (char& c : out) {
        if (c >= 'a') c = static_cast<char>(c - 'a' + 'A');
    }
    return true;
}

bool parseRegistryLine(std::string_view line, CountryRange& out) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view registry, country, type, start, value;
    // The fifth field ends at the next "|" or the end of the line.
    if (!takeField(line, '|', registry) || !takeField(line, '|', country) ||
        !takeField(line, '|', type) || !takeField(line, '|', start))
        return false;
    if (!takeField(line, '|', value)) value = line;

    const bool v4 = type == "ipv4";
    if (!v4 && type != "ipv6") return false;
    CountryRange range;
    std::uint64_t amount = 0;
    if (!parseCountryCode(country, range.country) || !net::parseIpAddress(start, range.start) ||
        !parseUnsigned(value, amount) || amount == 0)
        return false;
    // A block is of the family its type names; a mapped IPv4 address under "ipv6" is not one.
    if (range.start.isV6 == v4) return false;
    if (v4) {
        if (amount - 1 > kLastIpv4 - range.start.lo) return false;
        range.end = range.start;
        range.end.lo += amount - 1;
    } else {
        if (amount > 128) return false;
        range.end = net::prefixRange(range.start, static_cast<unsigned>(amount)).last;
    }
    out = std::move(range);
    return true;
}

std::size_t addRegistryRanges(std::string_view text, CountryTable& table) {
    std::size_t parsed = 0;
    forEachLine(text, [&](std::string_view line) {
        CountryRange range;
        if (!parseRegistryLine(line, range)) return;
        addRange(std::move(range), table);
        ++parsed;
    });
    return parsed;
}

void addTableRanges(std::string_view text, CountryTable& table) {
    forEachLine(text, [&](std::string_view line) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
        if (line.empty() || line.front() == '#') return;
        std::string_view start, end;
        if (!takeField(line, ',', start) || !takeField(line, ',', end)) return;
        CountryRange range;
        if (!net::parseIpAddress(start, range.start) || !net::parseIpAddress(end, range.end) ||
            !parseCountryCode(line, range.country))
            return;
        // A range whose ends are of different families would swallow the list it lands in.
        if (range.end < range.start || range.start.isV6 != range.end.isV6) return;
        addRange(std::move(range), table);
    });
}

std::string formatTable(const RangeList& ipv4, const RangeList& ipv6) {
    std::string text =
        "# Velmora - IP address to country mapping table\n"
        "# format: start_address,end_address,country_code\n";
    text.reserve(text.size() + (ipv4.size() + ipv6.size()) * 48);
    for (const RangeList* list : {&ipv4, &ipv6}) {
        for (const CountryRange& range : list->ranges()) {
            text += net::formatIpAddress(range.start);
            text += ',';
            text += net::formatIpAddress(range.end);
            text += ',';
            text += range.country;
            text += '\n';
        }
    }
    return text;
}

void normaliseRanges(std::vector<CountryRange>& ranges) {
    // Stable, so that of two ranges with the same start the one read first is the earlier.
    std::stable_sort(
        ranges.begin(), ranges.end(),
        [](const CountryRange& a, const CountryRange& b) { return a.start < b.start; });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        CountryRange& range = ranges[i];
        if (i > 0) {
            CountryRange& last = ranges[kept - 1];
            if (range.country == last.country && follows(last.end, range.start)) {
                last.end = range.end;
                continue;
            }
            if (range.start <= last.end) {
                last.end = std::max(last.end, range.end);
                continue;
            }
        }
        if (kept != i) ranges[kept] = std::move(range);
        ++kept;
    }
    ranges.resize(kept);
}

RangeList::RangeList(std::vector<CountryRange> ranges) : ranges_(std::move(ranges)) {
    normaliseRanges(ranges_);
    keys_.reserve(ranges_.size());
    for (const CountryRange& range : ranges_) keys_.push_back(searchKey(range.start));
}

const CountryRange* RangeList::find(const net::IpAddress& address) const {
    // The first range whose start is greater than address, found on the keys; only IPv6 starts
    // that share their top half with address need the full comparison.
    const std::uint64_t key = searchKey(address);
    const auto keysAfter = std::upper_bound(keys_.begin(), keys_.end(), key);
    const auto keysFrom = std::lower_bound(keys_.begin(), keysAfter, key);
    const auto after = std::upper_bound(
        ranges_.begin() + (keysFrom - keys_.begin()), ranges_.begin() + (keysAfter - keys_.begin()),
        address,
        [](const net::IpAddress& a, const CountryRange& range) { return a < range.start; });
    if (after == ranges_.begin()) return nullptr;
    const CountryRange& candidate = *(after - 1);
    return candidate.end >= address ? &candidate : nullptr;
}

}  // namespace vel::gate
