#include "gate/program_version.h"

#include <array>
#include <cstdint>

namespace vel::gate {

namespace {

using Components = std::array<std::uint64_t, 4>;

Components components(std::string_view version) {
    Components parts{};
    std::size_t index = 0;
    for (char c : version) {
        if (c == '.') {
            if (++index == parts.size()) break;
        } else if (c >= '0' && c <= '9') {
            parts[index] = parts[index] * 10 + static_cast<std::uint64_t>(c - '0');
        }
    }
    return parts;
}

}  // namespace

bool IsVersionText(std::string_view version) {
    if (version.empty() || version.size() > 16) return false;
    for (char c : version) {
        if (c != '.' && (c < '0' || c > '9')) return false;
    }
    return true;
}

int CompareVersions(std::string_view a, std::string_view b) {
    const Components left = components(a);
    const Components right = components(b);
    for (std::size_t i = 0; i < left.size(); ++i) {
        if (left[i] != right[i]) return left[i] < right[i] ? -1 : 1;
    }
    return 0;
}

}  // namespace vel::gate
