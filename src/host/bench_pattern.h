#pragma once

#include <cstdint>
#include <vector>

namespace vel::host {

// The synthetic moving content of the encoder benchmark: `count` NV12 frames of width x height
// (even), a gradient checkerboard that drifts from frame to frame with luma speckles from a linear
// congruential generator whose state runs on across the frames. Hard to compress on purpose.
std::vector<std::vector<std::uint8_t>> makeBenchFrames(int width, int height, int count = 8);

}  // namespace vel::host
