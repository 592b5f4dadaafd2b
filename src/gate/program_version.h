#pragma once

#include <string_view>

namespace vel::gate {

// 1 to 16 characters, each a digit or ".".
bool IsVersionText(std::string_view version);

// Compares up to four numeric components separated by "."; missing components count as 0.
// Negative, zero or positive as a is older, equal or newer than b.
int CompareVersions(std::string_view a, std::string_view b);

}  // namespace vel::gate
