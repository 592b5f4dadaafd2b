// Split-nibble GF(2^8) dot products: a byte b times a constant c is low[b & 15] ^ high[b >> 4],
// and PSHUFB looks up 16 (SSSE3) or 32 (AVX2, per 128-bit lane) such table entries at once.
// Each source vector is loaded once and applied to up to six outputs kept in registers, so a
// block of parity is one pass over the data per six parity shards.
#include <immintrin.h>

#include "stream/gf_kernels.h"

namespace vel::stream {
namespace {

constexpr std::size_t kMaxRowsPerPass = 6;

template <std::size_t Rows>
__attribute__((target("avx2"))) void avx2Pass(const GfMatrixView& m, std::size_t cols,
                                              const std::uint8_t* const* src,
                                              std::uint8_t* const* dst, std::size_t len) {
    const __m256i mask = _mm256_set1_epi8(0x0f);
    std::size_t i = 0;
    for (;;) {
        __m256i acc[Rows];
#pragma GCC unroll 6
        for (std::size_t r = 0; r < Rows; ++r) acc[r] = _mm256_setzero_si256();
        for (std::size_t c = 0; c < cols; ++c) {
            const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src[c] + i));
            const __m256i lo = _mm256_and_si256(s, mask);
            const __m256i hi = _mm256_and_si256(_mm256_srli_epi64(s, 4), mask);
            const std::uint8_t* table = m.nibbles + c * 32;
#pragma GCC unroll 6
            for (std::size_t r = 0; r < Rows; ++r) {
                const std::uint8_t* t = table + r * m.nibbleStride * 32;
                const __m256i tlo = _mm256_broadcastsi128_si256(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
                const __m256i thi = _mm256_broadcastsi128_si256(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + 16)));
                acc[r] = _mm256_xor_si256(acc[r], _mm256_xor_si256(_mm256_shuffle_epi8(tlo, lo),
                                                                   _mm256_shuffle_epi8(thi, hi)));
            }
        }
#pragma GCC unroll 6
        for (std::size_t r = 0; r < Rows; ++r) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst[r] + i), acc[r]);
        }
        if (i + 32 == len) return;
        // The last vector overlaps the one before; recomputing bytes gives the same values.
        i = i + 64 <= len ? i + 32 : len - 32;
    }
}

template <std::size_t Rows>
__attribute__((target("ssse3"))) void ssse3Pass(const GfMatrixView& m, std::size_t cols,
                                                const std::uint8_t* const* src,
                                                std::uint8_t* const* dst, std::size_t len) {
    const __m128i mask = _mm_set1_epi8(0x0f);
    std::size_t i = 0;
    for (;;) {
        __m128i acc[Rows];
#pragma GCC unroll 6
        for (std::size_t r = 0; r < Rows; ++r) acc[r] = _mm_setzero_si128();
        for (std::size_t c = 0; c < cols; ++c) {
            const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src[c] + i));
            const __m128i lo = _mm_and_si128(s, mask);
            const __m128i hi = _mm_and_si128(_mm_srli_epi64(s, 4), mask);
            const std::uint8_t* table = m.nibbles + c * 32;
#pragma GCC unroll 6
            for (std::size_t r = 0; r < Rows; ++r) {
                const std::uint8_t* t = table + r * m.nibbleStride * 32;
                const __m128i tlo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t));
                const __m128i thi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + 16));
                acc[r] = _mm_xor_si128(
                    acc[r], _mm_xor_si128(_mm_shuffle_epi8(tlo, lo), _mm_shuffle_epi8(thi, hi)));
            }
        }
#pragma GCC unroll 6
        for (std::size_t r = 0; r < Rows; ++r) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst[r] + i), acc[r]);
        }
        if (i + 16 == len) return;
        i = i + 32 <= len ? i + 16 : len - 16;
    }
}

using PassFn = void (*)(const GfMatrixView&, std::size_t, const std::uint8_t* const*,
                        std::uint8_t* const*, std::size_t);

// Runs the rows in groups of up to six, each group one pass over the sources.
void runPasses(const PassFn (&passes)[kMaxRowsPerPass], std::size_t vector,
               const GfMatrixView& matrix, std::size_t rows, std::size_t cols,
               const std::uint8_t* const* src, std::uint8_t* const* dst, std::size_t len) {
    if (len < vector || cols == 0) {
        gfDotProductsScalar(matrix, rows, cols, src, dst, len);
        return;
    }
    for (std::size_t r = 0; r < rows; r += kMaxRowsPerPass) {
        const std::size_t n = rows - r < kMaxRowsPerPass ? rows - r : kMaxRowsPerPass;
        GfMatrixView group = matrix;
        group.coeffs += r * matrix.coeffStride;
        group.nibbles += r * matrix.nibbleStride * 32;
        passes[n - 1](group, cols, src, dst + r, len);
    }
}

}  // namespace

void gfDotProductsAvx2(const GfMatrixView& matrix, std::size_t rows, std::size_t cols,
                       const std::uint8_t* const* src, std::uint8_t* const* dst, std::size_t len) {
    static constexpr PassFn passes[kMaxRowsPerPass] = {avx2Pass<1>, avx2Pass<2>, avx2Pass<3>,
                                                       avx2Pass<4>, avx2Pass<5>, avx2Pass<6>};
    runPasses(passes, 32, matrix, rows, cols, src, dst, len);
}

void gfDotProductsSsse3(const GfMatrixView& matrix, std::size_t rows, std::size_t cols,
                        const std::uint8_t* const* src, std::uint8_t* const* dst, std::size_t len) {
    static constexpr PassFn passes[kMaxRowsPerPass] = {ssse3Pass<1>, ssse3Pass<2>, ssse3Pass<3>,
                                                       ssse3Pass<4>, ssse3Pass<5>, ssse3Pass<6>};
    runPasses(passes, 16, matrix, rows, cols, src, dst, len);
}

}  // namespace vel::stream
