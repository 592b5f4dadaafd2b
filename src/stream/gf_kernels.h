#pragma once

#include <cstddef>
#include <cstdint>

namespace vel::stream {

// The ways to compute GF(2^8) dot products over byte regions. Scalar is the reference; the
// others use split-nibble byte shuffles and must produce identical bytes.
enum class GfPath { Scalar, Ssse3, Avx2 };

const char* gfPathName(GfPath path);
// Whether this processor (and operating system) can run the path.
bool gfPathAvailable(GfPath path);
// The fastest available path, decided once per process.
GfPath gfBestPath();

// A rows x cols coefficient matrix as the kernels read it: coefficient (r, c) is
// coeffs[r * coeffStride + c], its 32-byte nibble table (gfNibbleTable) starts at
// nibbles + (r * nibbleStride + c) * 32.
struct GfMatrixView {
    const std::uint8_t* coeffs = nullptr;
    std::size_t coeffStride = 0;
    const std::uint8_t* nibbles = nullptr;
    std::size_t nibbleStride = 0;
};

// dst[r][i] = sum over c of coefficient(r, c) * src[c][i], for r < rows, c < cols, i < len.
// The destinations never overlap the sources.
void gfDotProducts(GfPath path, const GfMatrixView& matrix, std::size_t rows, std::size_t cols,
                   const std::uint8_t* const* src, std::uint8_t* const* dst, std::size_t len);

// The vector paths, defined in their own unit; they fall back to the scalar loop for regions
// shorter than one vector.
void gfDotProductsSsse3(const GfMatrixView& matrix, std::size_t rows, std::size_t cols,
                        const std::uint8_t* const* src, std::uint8_t* const* dst, std::size_t len);
void gfDotProductsAvx2(const GfMatrixView& matrix, std::size_t rows, std::size_t cols,
                       const std::uint8_t* const* src, std::uint8_t* const* dst, std::size_t len);
void gfDotProductsScalar(const GfMatrixView& matrix, std::size_t rows, std::size_t cols,
                         const std::uint8_t* const* src, std::uint8_t* const* dst, std::size_t len);

}  // namespace vel::stream
