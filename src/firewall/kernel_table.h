#pragma once

#include <string>

namespace vel::firewall {

// What nft's JSON listing of the gate's table says about it.
struct KernelTableListing {
    bool present = false;
    // The projection mark found on the table's rules; empty when none.
    std::string mark;
    // A hash of the whole table without its kernel-assigned handles: equal for equal tables.
    std::string fingerprint;
};

// Reads `nft -j list table` output (empty text: no table). False when the text is not such a
// listing.
[[nodiscard]] bool readKernelTableListing(const std::string& json, KernelTableListing& listing,
                                          std::string& error);

}  // namespace vel::firewall
