#include "host/pixel_convert.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "core/error.h"
#include "host/pixel_kernels.h"

namespace vel::host {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes randomImage(int width, int height, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes image(static_cast<std::size_t>(width) * 4 * height);
    for (auto& b : image) b = static_cast<std::uint8_t>(rng());
    return image;
}

Bytes referenceScale(const Bytes& src, int sw, int sh, int dw, int dh) {
    Bytes out(static_cast<std::size_t>(dw) * dh * 4);
    const std::int64_t xStep = std::int64_t{sw} * 65536 / dw, yStep = std::int64_t{sh} * 65536 / dh;
    for (int y = 0; y < dh; ++y) {
        std::int64_t py = std::max<std::int64_t>(0, y * yStep + yStep / 2 - 32768);
        const std::int64_t y0 = std::min<std::int64_t>(sh - 1, py >> 16),
                           y1 = std::min<std::int64_t>(sh - 1, y0 + 1);
        const std::int64_t fy = (py >> 8) & 255;
        for (int x = 0; x < dw; ++x) {
            std::int64_t p = std::max<std::int64_t>(0, x * xStep + xStep / 2 - 32768);
            const std::int64_t x0 = std::min<std::int64_t>(sw - 1, p >> 16),
                               x1 = std::min<std::int64_t>(sw - 1, x0 + 1);
            const std::int64_t fx = (p >> 8) & 255;
            for (int c = 0; c < 4; ++c) {
                auto s = [&](std::int64_t yy, std::int64_t xx) {
                    return std::int64_t{src[(yy * sw + xx) * 4 + c]};
                };
                const std::int64_t top = s(y0, x0) * (256 - fx) + s(y0, x1) * fx;
                const std::int64_t bottom = s(y1, x0) * (256 - fx) + s(y1, x1) * fx;
                out[(y * dw + x) * 4 + c] =
                    static_cast<std::uint8_t>((top * (256 - fy) + bottom * fy + 32768) >> 16);
            }
        }
    }
    return out;
}

struct Kernels {
    const char* name;
    bool present;
    kernels::Nv12Kernel nv12;
    kernels::ScaleKernel scale;
};

std::vector<Kernels> allKernels() {
    return {
        {"scalar", true, kernels::bgraToNv12Scalar, kernels::scaleBilinearScalar},
        {"SSE4.1", kernels::cpuHasSse41(), kernels::bgraToNv12Sse41, kernels::scaleBilinearSse41},
        {"AVX2", kernels::cpuHasAvx2(), kernels::bgraToNv12Avx2, kernels::scaleBilinearAvx2}};
}

Bytes runNv12(const Kernels& k, const Bytes& bgra, int pitch, int width, int height) {
    Bytes out(static_cast<std::size_t>(width) * height * 3 / 2, 0xEE);
    k.nv12(bgra.data(), pitch, width, height, out.data(), out.data() + width * height);
    return out;
}

TEST(PixelConvert, KnownColoursGiveTheVideoRangeValues) {
    // White and red in a 4x2 image: two 2x2 blocks.
    Bytes bgra = {255, 255, 255, 0, 255, 255, 255, 0, 0, 0, 255, 9, 0, 0, 255, 9,
                  255, 255, 255, 0, 255, 255, 255, 0, 0, 0, 255, 9, 0, 0, 255, 9};
    Bytes nv12;
    bgraToNv12(bgra.data(), 16, 4, 2, nv12);
    ASSERT_EQ(nv12.size(), 12u);
    EXPECT_EQ(nv12[0], 235);
    EXPECT_EQ(nv12[2], 63);
    EXPECT_EQ(nv12[8], 128);   // white block: Cb
    EXPECT_EQ(nv12[9], 128);   // Cr
    EXPECT_EQ(nv12[10], 102);  // red block
    EXPECT_EQ(nv12[11], 240);

    EXPECT_THROW(bgraToNv12(bgra.data(), 16, 3, 2, nv12), Error);  // odd width
    EXPECT_THROW(bgraToNv12(bgra.data(), 8, 4, 2, nv12), Error);   // pitch below the width
}

// The known colours pin the conversion; the vector kernels must give the scalar kernel's bytes.
TEST(PixelConvert, VectorKernelsGiveTheScalarBytesOnOddPitchesAndTails) {
    // Widths around the vector steps (16 and 32 pixels) so that the scalar tails run too, and a
    // pitch with an odd column left out, as for a 1921-pixel capture.
    const int sizes[][2] = {{2, 2},  {14, 4}, {16, 2},  {18, 6}, {30, 2},
                            {32, 4}, {34, 2}, {62, 10}, {66, 8}, {1920, 4}};
    // The extremes of every channel combination, where a lost carry or a saturated sum shows.
    Bytes extremes;
    for (int i = 0; i < 64; ++i)
        for (int c = 0; c < 4; ++c) extremes.push_back((i >> (c % 3 + (i & 1))) & 1 ? 255 : 0);
    const std::vector<Kernels> all = allKernels();
    for (std::size_t n = 1; n < all.size(); ++n) {
        const Kernels& k = all[n];
        if (!k.present) continue;
        for (const auto& s : sizes) {
            const int pitch = (s[0] + 1) * 4;
            const Bytes image =
                randomImage(s[0] + 1, s[1], static_cast<std::uint32_t>(s[0] * 7 + s[1]));
            EXPECT_EQ(runNv12(k, image, pitch, s[0], s[1]),
                      runNv12(all[0], image, pitch, s[0], s[1]))
                << k.name << " " << s[0] << "x" << s[1];
        }
        EXPECT_EQ(runNv12(k, extremes, 128, 32, 2), runNv12(all[0], extremes, 128, 32, 2))
            << k.name;
    }
}

TEST(PixelConvert, ScalerMatchesTheReferenceOnOddSizesAndEdges) {
    const int cases[][4] = {{2, 2, 1, 1},       {1, 1, 7, 5},      {3, 5, 9, 2},     {17, 9, 5, 13},
                            {33, 7, 64, 3},     {64, 3, 33, 7},    {101, 3, 100, 3}, {5, 5, 5, 5},
                            {2560, 4, 1920, 3}, {1279, 3, 1921, 2}};
    for (const Kernels& k : allKernels()) {
        if (!k.present) continue;
        for (const auto& c : cases) {
            const Bytes src = randomImage(c[0], c[1], static_cast<std::uint32_t>(c[0] + 31 * c[2]));
            Bytes dst(static_cast<std::size_t>(c[2]) * c[3] * 4, 0xEE);
            k.scale(src.data(), c[0], c[1], dst.data(), c[2], c[3]);
            EXPECT_EQ(dst, referenceScale(src, c[0], c[1], c[2], c[3]))
                << k.name << " " << c[0] << "x" << c[1] << " -> " << c[2] << "x" << c[3];
        }
    }
    // 2x2 -> 1x1 is an even mix of the four pixels.
    const Bytes four = {0, 0, 0, 0, 100, 100, 100, 100, 200, 200, 200, 200, 40, 40, 40, 40};
    Bytes one(4);
    scaleBgraBilinear(four.data(), 2, 2, one.data(), 1, 1);
    EXPECT_EQ(one, (Bytes{85, 85, 85, 85}));
}

}  // namespace
}  // namespace vel::host
