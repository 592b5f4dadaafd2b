// AVX2 kernels, switched on per function (the dispatcher checks the processor first). The
// arithmetic is that of the SSE4.1 kernels; what differs is how 128-bit lanes are put back in
// order after the in-lane packs and horizontal adds.
#include <immintrin.h>

#include "host/pixel_kernels.h"

#define VEL_AVX2 __attribute__((target("avx2")))

namespace vel::host::kernels {
namespace {

VEL_AVX2 inline __m256i load(const std::uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

VEL_AVX2 inline __m256i lumaSums(__m256i p) {
    const __m256i w1 = _mm256_set1_epi32(16 | (100 << 8) | (47 << 16));
    const __m256i w2 = _mm256_set1_epi32(57 << 8);
    return _mm256_add_epi16(_mm256_maddubs_epi16(p, w1), _mm256_maddubs_epi16(p, w2));
}

// Luma of 16 pixels (two loads) as 16-bit values, lane-interleaved: 0-3, 8-11 | 4-7, 12-15.
VEL_AVX2 inline __m256i luma16(__m256i p0, __m256i p1) {
    __m256i s = _mm256_hadd_epi16(lumaSums(p0), lumaSums(p1));
    s = _mm256_srli_epi16(_mm256_add_epi16(s, _mm256_set1_epi16(128)), 8);
    return _mm256_add_epi16(s, _mm256_set1_epi16(16));
}

VEL_AVX2 void lumaRow(const std::uint8_t* row, int width, std::uint8_t* out) {
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        const std::uint8_t* p = row + 4 * x;
        const __m256i a = luma16(load(p), load(p + 32));
        const __m256i b = luma16(load(p + 64), load(p + 96));
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(a, b), order);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), bytes);
    }
    for (; x < width; ++x) out[x] = lumaOf(row[4 * x], row[4 * x + 1], row[4 * x + 2]);
}

// Per lane: Cb, Cb, Cr, Cr (32-bit) of two 2x2 blocks; eight pixels of each row in.
VEL_AVX2 inline __m256i chroma4(__m256i r0, __m256i r1) {
    const __m256i pairs = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15, 0,
                                           4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    const __m256i ones = _mm256_set1_epi8(1);
    const __m256i sums =
        _mm256_add_epi16(_mm256_maddubs_epi16(_mm256_shuffle_epi8(r0, pairs), ones),
                         _mm256_maddubs_epi16(_mm256_shuffle_epi8(r1, pairs), ones));
    const __m256i cb = _mm256_madd_epi16(
        sums,
        _mm256_setr_epi16(112, -86, -26, 0, 112, -86, -26, 0, 112, -86, -26, 0, 112, -86, -26, 0));
    const __m256i cr =
        _mm256_madd_epi16(sums, _mm256_setr_epi16(-10, -102, 112, 0, -10, -102, 112, 0, -10, -102,
                                                  112, 0, -10, -102, 112, 0));
    __m256i c = _mm256_hadd_epi32(cb, cr);
    c = _mm256_srai_epi32(_mm256_add_epi32(c, _mm256_set1_epi32(512)), 10);
    return _mm256_add_epi32(c, _mm256_set1_epi32(128));
}

VEL_AVX2 void chromaRow(const std::uint8_t* row0, const std::uint8_t* row1, int width,
                        std::uint8_t* uv) {
    const __m256i order = _mm256_setr_epi8(0, 2, 1, 3, 8, 10, 9, 11, 4, 6, 5, 7, 12, 14, 13, 15, 0,
                                           2, 1, 3, 8, 10, 9, 11, 4, 6, 5, 7, 12, 14, 13, 15);
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        const std::uint8_t* a = row0 + 4 * x;
        const std::uint8_t* b = row1 + 4 * x;
        const __m256i p1 =
            _mm256_packs_epi32(chroma4(load(a), load(b)), chroma4(load(a + 32), load(b + 32)));
        const __m256i p2 = _mm256_packs_epi32(chroma4(load(a + 64), load(b + 64)),
                                              chroma4(load(a + 96), load(b + 96)));
        // Quadwords 0 and 2 hold blocks 0-7, 1 and 3 blocks 8-15.
        const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(p1, p2), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(uv + x), _mm256_shuffle_epi8(bytes, order));
    }
    for (; x < width; x += 2) chromaBlock(row0 + 4 * x, row1 + 4 * x, uv + x);
}

int pairedColumns(const BilinearAxis& x) {
    int n = static_cast<int>(x.first.size());
    while (n > 0 && x.second[n - 1] != x.first[n - 1] + 1) --n;
    return n;
}

VEL_AVX2 inline __m128i pixelPair(const std::uint8_t* src, int column) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + 4 * column));
}

VEL_AVX2 void rowPass(const std::uint8_t* src, const BilinearAxis& x, std::uint16_t* out) {
    const __m256i pairs = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15, 0,
                                           4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    const __m256i evens = _mm256_setr_epi32(0, 0, 0, 0, 2, 2, 2, 2);
    const __m256i odds = _mm256_setr_epi32(1, 1, 1, 1, 3, 3, 3, 3);
    const int paired = pairedColumns(x);
    int i = 0;
    for (; i + 4 <= paired; i += 4) {
        const __m128i lo =
            _mm_unpacklo_epi64(pixelPair(src, x.first[i]), pixelPair(src, x.first[i + 1]));
        const __m128i hi =
            _mm_unpacklo_epi64(pixelPair(src, x.first[i + 2]), pixelPair(src, x.first[i + 3]));
        const __m256i v = _mm256_shuffle_epi8(_mm256_set_m128i(hi, lo), pairs);
        const __m256i w = _mm256_castsi128_si256(
            _mm_setr_epi32((x.weight[i] << 16) | (256 - x.weight[i]),
                           (x.weight[i + 1] << 16) | (256 - x.weight[i + 1]),
                           (x.weight[i + 2] << 16) | (256 - x.weight[i + 2]),
                           (x.weight[i + 3] << 16) | (256 - x.weight[i + 3])));
        // Lane 0 holds destination pixels 0 and 1, lane 1 pixels 2 and 3.
        const __m256i t0 = _mm256_madd_epi16(_mm256_unpacklo_epi8(v, _mm256_setzero_si256()),
                                             _mm256_permutevar8x32_epi32(w, evens));
        const __m256i t1 = _mm256_madd_epi16(_mm256_unpackhi_epi8(v, _mm256_setzero_si256()),
                                             _mm256_permutevar8x32_epi32(w, odds));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * i), _mm256_packus_epi32(t0, t1));
    }
    scaleRowScalar(src, x, i, static_cast<int>(x.first.size()), out);
}

VEL_AVX2 inline __m256i blend16(const std::uint16_t* top, const std::uint16_t* bottom,
                                __m256i weights) {
    const __m256i flip = _mm256_set1_epi16(static_cast<short>(0x8000));
    const __m256i bias = _mm256_set1_epi32(32768 * 256 + 32768);
    const __m256i t =
        _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(top)), flip);
    const __m256i b =
        _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bottom)), flip);
    const __m256i lo = _mm256_madd_epi16(_mm256_unpacklo_epi16(t, b), weights);
    const __m256i hi = _mm256_madd_epi16(_mm256_unpackhi_epi16(t, b), weights);
    return _mm256_packus_epi32(_mm256_srli_epi32(_mm256_add_epi32(lo, bias), 16),
                               _mm256_srli_epi32(_mm256_add_epi32(hi, bias), 16));
}

VEL_AVX2 void blendPass(const std::uint16_t* top, const std::uint16_t* bottom, int weight,
                        int count, std::uint8_t* out) {
    const __m256i weights = _mm256_set1_epi32((weight << 16) | (256 - weight));
    int i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i a = blend16(top + i, bottom + i, weights);
        const __m256i b = blend16(top + i + 16, bottom + i + 16, weights);
        const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), bytes);
    }
    blendRowsScalar(top, bottom, weight, i, count, out);
}

}  // namespace

void bgraToNv12Avx2(const std::uint8_t* bgra, int pitch, int width, int height,
                    std::uint8_t* yPlane, std::uint8_t* uvPlane) {
    for (int y = 0; y < height; y += 2) {
        const std::uint8_t* row0 = bgra + static_cast<std::ptrdiff_t>(y) * pitch;
        const std::uint8_t* row1 = row0 + pitch;
        lumaRow(row0, width, yPlane + static_cast<std::ptrdiff_t>(y) * width);
        lumaRow(row1, width, yPlane + static_cast<std::ptrdiff_t>(y + 1) * width);
        chromaRow(row0, row1, width, uvPlane + static_cast<std::ptrdiff_t>(y / 2) * width);
    }
}

void scaleBilinearAvx2(const std::uint8_t* src, int srcWidth, int srcHeight, std::uint8_t* dst,
                       int dstWidth, int dstHeight) {
    scaleTwoPass(src, srcWidth, srcHeight, dst, dstWidth, dstHeight, rowPass, blendPass);
}

}  // namespace vel::host::kernels
