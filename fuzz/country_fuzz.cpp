// Feeds arbitrary text to the registry-file and address-table readers and checks what every
// accepted range and every normalised list must satisfy.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "gate/country_table.h"
#include "net/ip_address.h"

namespace {

using vel::gate::CountryRange;
using vel::gate::CountryTable;
using vel::gate::RangeList;
using vel::net::IpAddress;

void require(bool condition) {
    if (!condition) std::abort();
}

void checkRange(const CountryRange& range, bool v6) {
    require(range.start.isV6 == v6 && range.end.isV6 == v6);
    require(!(range.end < range.start));
    if (!v6) require(range.start.hi == 0 && range.end.hi == 0 && range.end.lo <= 0xFFFFFFFFu);
    require(range.country.size() == 2);
    for (char c : range.country) require(c >= 'A' && c <= 'Z');
}

// Normalisation keeps every address covered and leaves sorted lists without overlaps.
RangeList checkedList(const std::vector<CountryRange>& read, bool v6) {
    for (const CountryRange& range : read) checkRange(range, v6);
    RangeList list(read);
    const auto& ranges = list.ranges();
    for (std::size_t i = 1; i < ranges.size(); ++i) require(ranges[i - 1].end < ranges[i].start);
    for (const CountryRange& range : read) {
        require(list.find(range.start) != nullptr);
        require(list.find(range.end) != nullptr);
    }
    for (const CountryRange& range : ranges) require(list.find(range.start) == &range);
    return list;
}

bool sameRanges(const RangeList& a, const RangeList& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const CountryRange& x = a.ranges()[i];
        const CountryRange& y = b.ranges()[i];
        if (x.start != y.start || x.end != y.end || x.country != y.country) return false;
    }
    return true;
}

// A saved table reads back to the same ranges.
void checkRoundTrip(const RangeList& ipv4, const RangeList& ipv6) {
    CountryTable again;
    vel::gate::addTableRanges(vel::gate::formatTable(ipv4, ipv6), again);
    require(sameRanges(RangeList(again.ipv4), ipv4));
    require(sameRanges(RangeList(again.ipv6), ipv6));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    CountryTable registry;
    vel::gate::addRegistryRanges(text, registry);
    checkRoundTrip(checkedList(registry.ipv4, false), checkedList(registry.ipv6, true));

    CountryTable table;
    vel::gate::addTableRanges(text, table);
    checkRoundTrip(checkedList(table.ipv4, false), checkedList(table.ipv6, true));

    IpAddress address;
    if (vel::gate::parseIpAddress(text, address)) {
        IpAddress again;
        require(vel::gate::parseIpAddress(vel::gate::formatIpAddress(address), again));
        require(again == address);
    }
    return 0;
}
