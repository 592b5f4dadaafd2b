#include "host/pixel_convert.h"

#include <algorithm>
#include <string>

#include "core/error.h"
#include "host/pixel_kernels.h"

namespace vel::host {
namespace kernels {

bool cpuHasSse41() {
    return __builtin_cpu_supports("sse4.1");
}
bool cpuHasAvx2() {
    return __builtin_cpu_supports("avx2");
}

BilinearAxis bilinearAxis(int srcSize, int dstSize) {
    BilinearAxis axis;
    axis.first.resize(dstSize);
    axis.second.resize(dstSize);
    axis.weight.resize(dstSize);
    const std::int64_t step = (static_cast<std::int64_t>(srcSize) * 65536) / dstSize;
    for (int i = 0; i < dstSize; ++i) {
        const std::int64_t p = std::max<std::int64_t>(0, i * step + step / 2 - 32768);
        const int first = static_cast<int>(std::min<std::int64_t>(srcSize - 1, p >> 16));
        axis.first[i] = first;
        axis.second[i] = std::min(srcSize - 1, first + 1);
        axis.weight[i] = static_cast<int>((p >> 8) & 255);
    }
    return axis;
}

void chromaBlock(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* uv) {
    const int sb = row0[0] + row0[4] + row1[0] + row1[4];
    const int sg = row0[1] + row0[5] + row1[1] + row1[5];
    const int sr = row0[2] + row0[6] + row1[2] + row1[6];
    uv[0] = static_cast<std::uint8_t>(((112 * sb - 86 * sg - 26 * sr + 512) >> 10) + 128);
    uv[1] = static_cast<std::uint8_t>(((112 * sr - 102 * sg - 10 * sb + 512) >> 10) + 128);
}

void bgraToNv12Scalar(const std::uint8_t* bgra, int pitch, int width, int height,
                      std::uint8_t* yPlane, std::uint8_t* uvPlane) {
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = bgra + static_cast<std::ptrdiff_t>(y) * pitch;
        std::uint8_t* out = yPlane + static_cast<std::ptrdiff_t>(y) * width;
        for (int x = 0; x < width; ++x) out[x] = lumaOf(row[4 * x], row[4 * x + 1], row[4 * x + 2]);
    }
    for (int y = 0; y < height; y += 2) {
        const std::uint8_t* row0 = bgra + static_cast<std::ptrdiff_t>(y) * pitch;
        std::uint8_t* uv = uvPlane + static_cast<std::ptrdiff_t>(y / 2) * width;
        for (int x = 0; x < width; x += 2) chromaBlock(row0 + 4 * x, row0 + pitch + 4 * x, uv + x);
    }
}

void scaleRowScalar(const std::uint8_t* srcRow, const BilinearAxis& x, int from, int to,
                    std::uint16_t* out) {
    for (int i = from; i < to; ++i) {
        const std::uint8_t* a = srcRow + 4 * x.first[i];
        const std::uint8_t* b = srcRow + 4 * x.second[i];
        const int w = x.weight[i];
        for (int c = 0; c < 4; ++c)
            out[4 * i + c] = static_cast<std::uint16_t>(a[c] * (256 - w) + b[c] * w);
    }
}

void blendRowsScalar(const std::uint16_t* top, const std::uint16_t* bottom, int weight, int from,
                     int count, std::uint8_t* out) {
    for (int i = from; i < count; ++i)
        out[i] =
            static_cast<std::uint8_t>((top[i] * (256 - weight) + bottom[i] * weight + 32768) >> 16);
}

void scaleTwoPass(const std::uint8_t* src, int srcWidth, int srcHeight, std::uint8_t* dst,
                  int dstWidth, int dstHeight, RowPass rowPass, BlendPass blendPass) {
    const BilinearAxis xs = bilinearAxis(srcWidth, dstWidth);
    const BilinearAxis ys = bilinearAxis(srcHeight, dstHeight);
    const int values = dstWidth * 4;
    // Two horizontally scaled source rows, tagged with the row they hold.
    std::vector<std::uint16_t> rows[2] = {std::vector<std::uint16_t>(values),
                                          std::vector<std::uint16_t>(values)};
    int held[2] = {-1, -1};
    auto rowFor = [&](int sourceRow, int keep) -> const std::uint16_t* {
        for (int i = 0; i < 2; ++i)
            if (held[i] == sourceRow) return rows[i].data();
        const int slot = held[0] == keep ? 1 : 0;
        rowPass(src + static_cast<std::ptrdiff_t>(sourceRow) * srcWidth * 4, xs, rows[slot].data());
        held[slot] = sourceRow;
        return rows[slot].data();
    };
    for (int y = 0; y < dstHeight; ++y) {
        const std::uint16_t* top = rowFor(ys.first[y], ys.second[y]);
        const std::uint16_t* bottom = rowFor(ys.second[y], ys.first[y]);
        blendPass(top, bottom, ys.weight[y], values, dst + static_cast<std::ptrdiff_t>(y) * values);
    }
}

void scaleBilinearScalar(const std::uint8_t* src, int srcWidth, int srcHeight, std::uint8_t* dst,
                         int dstWidth, int dstHeight) {
    scaleTwoPass(
        src, srcWidth, srcHeight, dst, dstWidth, dstHeight,
        [](const std::uint8_t* row, const BilinearAxis& x, std::uint16_t* out) {
            scaleRowScalar(row, x, 0, static_cast<int>(x.first.size()), out);
        },
        [](const std::uint16_t* top, const std::uint16_t* bottom, int weight, int count,
           std::uint8_t* out) { blendRowsScalar(top, bottom, weight, 0, count, out); });
}

}  // namespace kernels

namespace {

struct Chosen {
    kernels::Nv12Kernel nv12;
    kernels::ScaleKernel scale;
    const char* name;
};

Chosen choose() {
    if (kernels::cpuHasAvx2()) return {kernels::bgraToNv12Avx2, kernels::scaleBilinearAvx2, "AVX2"};
    if (kernels::cpuHasSse41())
        return {kernels::bgraToNv12Sse41, kernels::scaleBilinearSse41, "SSE4.1"};
    return {kernels::bgraToNv12Scalar, kernels::scaleBilinearScalar, "scalar"};
}

const Chosen& chosen() {
    static const Chosen c = choose();
    return c;
}

}  // namespace

void scaleBgraBilinear(const std::uint8_t* src, int srcWidth, int srcHeight, std::uint8_t* dst,
                       int dstWidth, int dstHeight) {
    if (srcWidth < 1 || srcHeight < 1 || dstWidth < 1 || dstHeight < 1) return;
    chosen().scale(src, srcWidth, srcHeight, dst, dstWidth, dstHeight);
}

void bgraToNv12(const std::uint8_t* bgra, int sourcePitch, int width, int height,
                std::vector<std::uint8_t>& nv12) {
    if (width < 2 || height < 2 || (width & 1) || (height & 1) || sourcePitch < width * 4)
        throw Error("bgraToNv12: bad size " + std::to_string(width) + "x" + std::to_string(height) +
                    " pitch " + std::to_string(sourcePitch));
    const std::size_t lumaBytes = static_cast<std::size_t>(width) * height;
    nv12.resize(lumaBytes * 3 / 2);
    chosen().nv12(bgra, sourcePitch, width, height, nv12.data(), nv12.data() + lumaBytes);
}

const char* pixelKernelName() {
    return chosen().name;
}

}  // namespace vel::host
