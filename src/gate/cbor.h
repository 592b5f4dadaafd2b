#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/bytes.h"

namespace vel::gate {

enum class CborKind {
    Unsigned = 1,
    Negative = 2,
    Bytes = 3,
    Text = 4,
    Array = 5,
    Map = 6,
    Bool = 7,
    Null = 8,
    Undefined = 9,
    Float = 10,
};

// One decoded CBOR data item.
struct CborValue {
    CborKind kind = CborKind::Null;
    std::uint64_t n = 0;            // Unsigned: the value; Negative: the value is -1 - n
    Bytes bytes;                    // Bytes, and Text as raw (unvalidated) bytes
    std::vector<CborValue> items;   // Array elements, or Map keys
    std::vector<CborValue> values;  // Map values, parallel to items
    bool boolean = false;
    double number = 0;

    bool isInteger() const { return kind == CborKind::Unsigned || kind == CborKind::Negative; }
    // The integer as a signed 64-bit value; false when this is no integer or it does not fit.
    bool toInt64(std::int64_t& out) const;
    // The value of the first map entry whose key is that integer or that text; null when absent.
    const CborValue* find(std::int64_t key) const;
    const CborValue* find(std::string_view textKey) const;
};

// Items nest at most this deep; the top-level item is at depth 0 and every tag adds a level.
inline constexpr int kCborMaxDepth = 32;

// A decoded item holds at most this many items in all, itself included: far more than any
// WebAuthn structure, and few enough that no input costs more than a small multiple of its size.
inline constexpr std::size_t kCborMaxItems = 512;

// Checks that data begins with one well-formed item, within the depth limit, without building
// it; consumed receives its encoded length.
[[nodiscard]] bool CborCheck(std::span<const std::uint8_t> data, std::size_t& consumed);

// Decodes the first data item of data. Bytes after it are left for the caller: consumed, when
// given, receives the item's encoded length. On failure out is left unchanged.
[[nodiscard]] bool CborDecode(std::span<const std::uint8_t> data, CborValue& out,
                              std::size_t* consumed = nullptr);

}  // namespace vel::gate
