#pragma once

#include <string>
#include <string_view>

namespace vel::test {

// The text of a file kept under tests/golden: long fixtures and the exact files a test expects.
std::string Golden(std::string_view name);

}  // namespace vel::test
