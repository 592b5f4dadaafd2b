// SSE4.1 kernels. Compiled for the baseline target and switched on per function, so nothing here
// runs on a processor without SSE4.1 (the dispatcher checks first).
#include <immintrin.h>

#include "host/pixel_kernels.h"

#define VEL_SSE41 __attribute__((target("sse4.1")))

namespace vel::host::kernels {
namespace {

// Luma of eight pixels as 16-bit values. 157 does not fit a signed byte, so the green weight is
// split over two multiply-adds; the sums wrap in 16 bits but stay below 65536, and the shift is
// logical.
VEL_SSE41 inline __m128i luma8(__m128i p0, __m128i p1) {
    const __m128i w1 =
        _mm_setr_epi8(16, 100, 47, 0, 16, 100, 47, 0, 16, 100, 47, 0, 16, 100, 47, 0);
    const __m128i w2 = _mm_setr_epi8(0, 57, 0, 0, 0, 57, 0, 0, 0, 57, 0, 0, 0, 57, 0, 0);
    const __m128i a = _mm_add_epi16(_mm_maddubs_epi16(p0, w1), _mm_maddubs_epi16(p0, w2));
    const __m128i b = _mm_add_epi16(_mm_maddubs_epi16(p1, w1), _mm_maddubs_epi16(p1, w2));
    __m128i s = _mm_hadd_epi16(a, b);
    s = _mm_srli_epi16(_mm_add_epi16(s, _mm_set1_epi16(128)), 8);
    return _mm_add_epi16(s, _mm_set1_epi16(16));
}

// Cb0, Cb1, Cr0, Cr1 (32-bit) of the two 2x2 blocks of four pixels in two rows.
VEL_SSE41 inline __m128i chroma2(__m128i r0, __m128i r1) {
    const __m128i pairs = _mm_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    const __m128i ones = _mm_set1_epi8(1);
    const __m128i sums = _mm_add_epi16(_mm_maddubs_epi16(_mm_shuffle_epi8(r0, pairs), ones),
                                       _mm_maddubs_epi16(_mm_shuffle_epi8(r1, pairs), ones));
    const __m128i cb = _mm_madd_epi16(sums, _mm_setr_epi16(112, -86, -26, 0, 112, -86, -26, 0));
    const __m128i cr = _mm_madd_epi16(sums, _mm_setr_epi16(-10, -102, 112, 0, -10, -102, 112, 0));
    __m128i c = _mm_hadd_epi32(cb, cr);
    c = _mm_srai_epi32(_mm_add_epi32(c, _mm_set1_epi32(512)), 10);
    return _mm_add_epi32(c, _mm_set1_epi32(128));
}

VEL_SSE41 inline __m128i load(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

VEL_SSE41 void lumaRow(const std::uint8_t* row, int width, std::uint8_t* out) {
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const std::uint8_t* p = row + 4 * x;
        const __m128i lo = luma8(load(p), load(p + 16));
        const __m128i hi = luma8(load(p + 32), load(p + 48));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(lo, hi));
    }
    for (; x < width; ++x) out[x] = lumaOf(row[4 * x], row[4 * x + 1], row[4 * x + 2]);
}

VEL_SSE41 void chromaRow(const std::uint8_t* row0, const std::uint8_t* row1, int width,
                         std::uint8_t* uv) {
    const __m128i order = _mm_setr_epi8(0, 2, 1, 3, 4, 6, 5, 7, 8, 10, 9, 11, 12, 14, 13, 15);
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const std::uint8_t* a = row0 + 4 * x;
        const std::uint8_t* b = row1 + 4 * x;
        const __m128i c01 =
            _mm_packs_epi32(chroma2(load(a), load(b)), chroma2(load(a + 16), load(b + 16)));
        const __m128i c23 = _mm_packs_epi32(chroma2(load(a + 32), load(b + 32)),
                                            chroma2(load(a + 48), load(b + 48)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + x),
                         _mm_shuffle_epi8(_mm_packus_epi16(c01, c23), order));
    }
    for (; x < width; x += 2) chromaBlock(row0 + 4 * x, row1 + 4 * x, uv + x);
}

// The destination columns whose two source pixels are neighbours, so one 8-byte load reads both.
int pairedColumns(const BilinearAxis& x) {
    int n = static_cast<int>(x.first.size());
    while (n > 0 && x.second[n - 1] != x.first[n - 1] + 1) --n;
    return n;
}

VEL_SSE41 void rowPass(const std::uint8_t* src, const BilinearAxis& x, std::uint16_t* out) {
    const __m128i pairs = _mm_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    const int paired = pairedColumns(x);
    int i = 0;
    for (; i + 2 <= paired; i += 2) {
        const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + 4 * x.first[i]));
        const __m128i b =
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + 4 * x.first[i + 1]));
        const __m128i v = _mm_shuffle_epi8(_mm_unpacklo_epi64(a, b), pairs);
        const __m128i wa = _mm_set1_epi32((x.weight[i] << 16) | (256 - x.weight[i]));
        const __m128i wb = _mm_set1_epi32((x.weight[i + 1] << 16) | (256 - x.weight[i + 1]));
        const __m128i ta = _mm_madd_epi16(_mm_cvtepu8_epi16(v), wa);
        const __m128i tb = _mm_madd_epi16(_mm_unpackhi_epi8(v, _mm_setzero_si128()), wb);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * i), _mm_packus_epi32(ta, tb));
    }
    scaleRowScalar(src, x, i, static_cast<int>(x.first.size()), out);
}

// (top * (256 - w) + bottom * w + 32768) >> 16 with signed 16-bit multiply-adds: both inputs are
// moved down by 32768 and the product of that offset (32768 * 256) is added back.
VEL_SSE41 inline __m128i blend8(__m128i top, __m128i bottom, __m128i weights) {
    const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
    const __m128i bias = _mm_set1_epi32(32768 * 256 + 32768);
    top = _mm_xor_si128(top, flip);
    bottom = _mm_xor_si128(bottom, flip);
    const __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi16(top, bottom), weights);
    const __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi16(top, bottom), weights);
    return _mm_packus_epi32(_mm_srli_epi32(_mm_add_epi32(lo, bias), 16),
                            _mm_srli_epi32(_mm_add_epi32(hi, bias), 16));
}

VEL_SSE41 void blendPass(const std::uint16_t* top, const std::uint16_t* bottom, int weight,
                         int count, std::uint8_t* out) {
    const __m128i weights = _mm_set1_epi32((weight << 16) | (256 - weight));
    int i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i a =
            blend8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(top + i)),
                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom + i)), weights);
        const __m128i b =
            blend8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(top + i + 8)),
                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom + i + 8)), weights);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(a, b));
    }
    blendRowsScalar(top, bottom, weight, i, count, out);
}

}  // namespace

void bgraToNv12Sse41(const std::uint8_t* bgra, int pitch, int width, int height,
                     std::uint8_t* yPlane, std::uint8_t* uvPlane) {
    for (int y = 0; y < height; y += 2) {
        const std::uint8_t* row0 = bgra + static_cast<std::ptrdiff_t>(y) * pitch;
        const std::uint8_t* row1 = row0 + pitch;
        lumaRow(row0, width, yPlane + static_cast<std::ptrdiff_t>(y) * width);
        lumaRow(row1, width, yPlane + static_cast<std::ptrdiff_t>(y + 1) * width);
        chromaRow(row0, row1, width, uvPlane + static_cast<std::ptrdiff_t>(y / 2) * width);
    }
}

void scaleBilinearSse41(const std::uint8_t* src, int srcWidth, int srcHeight, std::uint8_t* dst,
                        int dstWidth, int dstHeight) {
    scaleTwoPass(src, srcWidth, srcHeight, dst, dstWidth, dstHeight, rowPass, blendPass);
}

}  // namespace vel::host::kernels
