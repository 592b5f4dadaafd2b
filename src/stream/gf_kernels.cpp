#include "stream/gf_kernels.h"

#include <cstring>

#include "stream/gf256.h"

namespace vel::stream {

const char* gfPathName(GfPath path) {
    switch (path) {
        case GfPath::Scalar:
            return "scalar";
        case GfPath::Ssse3:
            return "ssse3";
        case GfPath::Avx2:
            return "avx2";
    }
    return "unknown";
}

bool gfPathAvailable(GfPath path) {
    switch (path) {
        case GfPath::Scalar:
            return true;
        case GfPath::Ssse3:
            return __builtin_cpu_supports("ssse3");
        case GfPath::Avx2:
            return __builtin_cpu_supports("avx2");
    }
    return false;
}

GfPath gfBestPath() {
    static const GfPath best = gfPathAvailable(GfPath::Avx2)    ? GfPath::Avx2
                               : gfPathAvailable(GfPath::Ssse3) ? GfPath::Ssse3
                                                                : GfPath::Scalar;
    return best;
}

void gfDotProductsScalar(const GfMatrixView& matrix, std::size_t rows, std::size_t cols,
                         const std::uint8_t* const* src, std::uint8_t* const* dst,
                         std::size_t len) {
    for (std::size_t r = 0; r < rows; ++r) {
        std::uint8_t* out = dst[r];
        std::memset(out, 0, len);
        for (std::size_t c = 0; c < cols; ++c) {
            const std::uint8_t* product = gfMulRow(matrix.coeffs[r * matrix.coeffStride + c]);
            const std::uint8_t* in = src[c];
            for (std::size_t i = 0; i < len; ++i) out[i] ^= product[in[i]];
        }
    }
}

void gfDotProducts(GfPath path, const GfMatrixView& matrix, std::size_t rows, std::size_t cols,
                   const std::uint8_t* const* src, std::uint8_t* const* dst, std::size_t len) {
    switch (path) {
        case GfPath::Avx2:
            return gfDotProductsAvx2(matrix, rows, cols, src, dst, len);
        case GfPath::Ssse3:
            return gfDotProductsSsse3(matrix, rows, cols, src, dst, len);
        case GfPath::Scalar:
            break;
    }
    gfDotProductsScalar(matrix, rows, cols, src, dst, len);
}

}  // namespace vel::stream
