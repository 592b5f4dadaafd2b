#pragma once

#include <cstdint>
#include <vector>

namespace vel::viewer {

// NV12 in BT.709 video range (what the host's encoders are told they receive) -> BGRA with alpha
// 255, integer arithmetic. Width and height are even; bgra is resized to width * height * 4.
void nv12ToBgra(const std::uint8_t* nv12, int width, int height, std::vector<std::uint8_t>& bgra);

}  // namespace vel::viewer
