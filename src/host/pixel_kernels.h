#pragma once

// The per-instruction-set implementations behind pixel_convert.h. Every kernel produces the same
// bytes as the scalar one; the public functions pick the widest the processor supports.

#include <cstdint>
#include <vector>

namespace vel::host::kernels {

using Nv12Kernel = void (*)(const std::uint8_t* bgra, int pitch, int width, int height,
                            std::uint8_t* yPlane, std::uint8_t* uvPlane);
using ScaleKernel = void (*)(const std::uint8_t* src, int srcWidth, int srcHeight,
                             std::uint8_t* dst, int dstWidth, int dstHeight);

void bgraToNv12Scalar(const std::uint8_t* bgra, int pitch, int width, int height,
                      std::uint8_t* yPlane, std::uint8_t* uvPlane);
void bgraToNv12Sse41(const std::uint8_t* bgra, int pitch, int width, int height,
                     std::uint8_t* yPlane, std::uint8_t* uvPlane);
void bgraToNv12Avx2(const std::uint8_t* bgra, int pitch, int width, int height,
                    std::uint8_t* yPlane, std::uint8_t* uvPlane);

void scaleBilinearScalar(const std::uint8_t* src, int srcWidth, int srcHeight, std::uint8_t* dst,
                         int dstWidth, int dstHeight);
void scaleBilinearSse41(const std::uint8_t* src, int srcWidth, int srcHeight, std::uint8_t* dst,
                        int dstWidth, int dstHeight);
void scaleBilinearAvx2(const std::uint8_t* src, int srcWidth, int srcHeight, std::uint8_t* dst,
                       int dstWidth, int dstHeight);

bool cpuHasSse41();
bool cpuHasAvx2();

// One axis of the bilinear scaler: for each destination index, the two source indices and the
// weight (0..255) of the second.
struct BilinearAxis {
    std::vector<int> first;
    std::vector<int> second;
    std::vector<int> weight;
};
BilinearAxis bilinearAxis(int srcSize, int dstSize);

// Scalar pieces the SIMD kernels use for the columns their vectors do not cover.
inline std::uint8_t lumaOf(int b, int g, int r) {
    return static_cast<std::uint8_t>(((47 * r + 157 * g + 16 * b + 128) >> 8) + 16);
}
void chromaBlock(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* uv);

// Horizontal pass of the scaler for one source row: four 16-bit sums per destination pixel
// (channel * (256 - w) + next * w), for destination columns [from, to).
void scaleRowScalar(const std::uint8_t* srcRow, const BilinearAxis& x, int from, int to,
                    std::uint16_t* out);
// Vertical pass: (top * (256 - w) + bottom * w + 32768) >> 16 for count values from index from.
void blendRowsScalar(const std::uint16_t* top, const std::uint16_t* bottom, int weight, int from,
                     int count, std::uint8_t* out);

// Drives the two passes, keeping the horizontally scaled source rows that consecutive destination
// rows share. rowPass and blendPass are a kernel's own (vectorised) passes over whole rows.
using RowPass = void (*)(const std::uint8_t* srcRow, const BilinearAxis& x, std::uint16_t* out);
using BlendPass = void (*)(const std::uint16_t* top, const std::uint16_t* bottom, int weight,
                           int count, std::uint8_t* out);
void scaleTwoPass(const std::uint8_t* src, int srcWidth, int srcHeight, std::uint8_t* dst,
                  int dstWidth, int dstHeight, RowPass rowPass, BlendPass blendPass);

}  // namespace vel::host::kernels
