#pragma once

#include <string_view>

namespace vel {

// Writes one line of human-readable output (UTF-8, LF) to standard output.
void WriteConsoleLine(std::string_view text);

}  // namespace vel
