#include "host/scan_codes.h"

#include <algorithm>
#include <iterator>

namespace vel::host {
namespace {

struct Entry {
    std::uint16_t scan;
    std::uint16_t key;
};

// Set-1 codes 0x01..0x53 without the prefix are the evdev codes 1..83 themselves; these are the
// rest. Keep each table sorted by scan code.
constexpr Entry kPlain[] = {
    {0x54, 99},  {0x56, 86},  {0x57, 87},  {0x58, 88},  {0x59, 117}, {0x64, 183}, {0x65, 184},
    {0x66, 185}, {0x67, 186}, {0x68, 187}, {0x69, 188}, {0x6A, 189}, {0x6B, 190}, {0x6C, 191},
    {0x6D, 192}, {0x6E, 193}, {0x70, 93},  {0x71, 123}, {0x72, 122}, {0x73, 89},  {0x76, 194},
    {0x79, 92},  {0x7B, 94},  {0x7D, 124}, {0x7E, 121},
};

constexpr Entry kExtended[] = {
    {0x10, 165}, {0x19, 163}, {0x1C, 96},  {0x1D, 97},  {0x20, 113}, {0x21, 140}, {0x22, 164},
    {0x24, 166}, {0x2E, 114}, {0x30, 115}, {0x32, 172}, {0x35, 98},  {0x37, 99},  {0x38, 100},
    {0x45, 69},  {0x46, 119}, {0x47, 102}, {0x48, 103}, {0x49, 104}, {0x4B, 105}, {0x4D, 106},
    {0x4F, 107}, {0x50, 108}, {0x51, 109}, {0x52, 110}, {0x53, 111}, {0x5B, 125}, {0x5C, 126},
    {0x5D, 127}, {0x5E, 116}, {0x5F, 142}, {0x63, 143}, {0x65, 217}, {0x66, 156}, {0x67, 173},
    {0x68, 128}, {0x69, 159}, {0x6A, 158}, {0x6B, 157}, {0x6C, 155}, {0x6D, 226},
};

template <std::size_t N>
unsigned find(const Entry (&table)[N], std::uint16_t scan) {
    const Entry* end = std::end(table);
    const Entry* it = std::lower_bound(std::begin(table), end, scan,
                                       [](const Entry& e, std::uint16_t s) { return e.scan < s; });
    return it != end && it->scan == scan ? it->key : 0;
}

}  // namespace

unsigned evdevKeyFromScanCode(std::uint16_t scanCode, bool extended) {
    if (extended) return find(kExtended, scanCode);
    if (scanCode >= 0x01 && scanCode <= 0x53) return scanCode;
    return find(kPlain, scanCode);
}

}  // namespace vel::host
