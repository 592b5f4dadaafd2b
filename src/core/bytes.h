#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace vel {

using Bytes = std::vector<std::uint8_t>;

inline Bytes BytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

}  // namespace vel
