#pragma once

#include <cstddef>

namespace vel::media {

// A device's sample layout as the sound server delivers or expects it: little-endian, interleaved.
// Floats are 32-bit; integers are 16, 24 (packed) or 32 bits wide.
struct AudioFormat {
    int rate = 0;
    int channels = 0;
    int bits = 0;
    bool isFloat = false;

    std::size_t frameBytes() const { return static_cast<std::size_t>(channels) * (bits / 8); }
};

}  // namespace vel::media
