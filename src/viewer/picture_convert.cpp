#include "viewer/picture_convert.h"

#include <algorithm>

namespace vel::viewer {
namespace {

// BT.709 video range to full-range RGB, coefficients scaled by 2^13:
// R = 1.164 (Y - 16) + 1.793 Cr', G = 1.164 (Y - 16) - 0.213 Cb' - 0.533 Cr',
// B = 1.164 (Y - 16) + 2.112 Cb'.
constexpr int kY = 9539;
constexpr int kRCr = 14686;
constexpr int kGCb = 1747;
constexpr int kGCr = 4366;
constexpr int kBCb = 17304;
constexpr int kShift = 13;
constexpr int kRound = 1 << (kShift - 1);

std::uint8_t clampByte(int value) {
    return static_cast<std::uint8_t>(std::clamp(value, 0, 255));
}

}  // namespace

void nv12ToBgra(const std::uint8_t* nv12, int width, int height, std::vector<std::uint8_t>& bgra) {
    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    bgra.resize(w * h * 4);
    const std::uint8_t* chroma = nv12 + w * h;
    for (std::size_t y = 0; y < h; ++y) {
        const std::uint8_t* luma = nv12 + y * w;
        const std::uint8_t* uv = chroma + (y / 2) * w;
        std::uint8_t* out = bgra.data() + y * w * 4;
        for (std::size_t x = 0; x < w; ++x) {
            const int cb = uv[x & ~std::size_t{1}] - 128;
            const int cr = uv[x | 1] - 128;
            const int l = (luma[x] - 16) * kY + kRound;
            out[4 * x] = clampByte((l + kBCb * cb) >> kShift);
            out[4 * x + 1] = clampByte((l - kGCb * cb - kGCr * cr) >> kShift);
            out[4 * x + 2] = clampByte((l + kRCr * cr) >> kShift);
            out[4 * x + 3] = 255;
        }
    }
}

}  // namespace vel::viewer
