#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vel::bench {

// What writeRirFiles produced.
struct RirFiles {
    std::vector<std::string> paths;  // one per registry, in the order the registries are named
    std::size_t lines = 0;           // all lines of all files
    std::size_t bytes = 0;
    // Public IPv4 and IPv6 addresses inside allocated blocks, for lookups that find a country.
    std::vector<std::string> allocatedAddresses;
};

// Writes five synthetic "delegated-extended" statistics files into dir, shaped and sized like the
// real ones of RIPE NCC, ARIN, APNIC, LACNIC and AFRINIC together (about 615,000 lines): a version
// line, summaries, comments, ASN, IPv4 and IPv6 records, allocated, assigned, available and
// reserved blocks, mostly adjacent, with a few dominant countries per registry. The same seed
// writes the same files. scale shrinks or grows every registry's record count.
RirFiles writeRirFiles(const std::string& dir, std::uint32_t seed, double scale = 1.0);

}  // namespace vel::bench
