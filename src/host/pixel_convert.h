#pragma once

#include <cstdint>
#include <vector>

namespace vel::host {

// Bilinear BGRA -> BGRA in 16.16 fixed point with 8 bits of sub-pixel weight, all four channels.
// Pitches are exactly width * 4; dst holds dstWidth * dstHeight * 4 bytes. Sizes below 1 write
// nothing.
void scaleBgraBilinear(const std::uint8_t* src, int srcWidth, int srcHeight, std::uint8_t* dst,
                       int dstWidth, int dstHeight);

// BGRA (alpha ignored) -> NV12, BT.709 video range, integer arithmetic. Resizes nv12 to
// width * height * 3 / 2: the Y plane, then the interleaved Cb/Cr plane at half resolution. Source
// rows are sourcePitch bytes apart. Width and height must be even and positive (vel::Error
// otherwise).
void bgraToNv12(const std::uint8_t* bgra, int sourcePitch, int width, int height,
                std::vector<std::uint8_t>& nv12);

// The instruction set the two functions above run with on this processor: "AVX2", "SSE4.1" or
// "scalar".
const char* pixelKernelName();

}  // namespace vel::host
