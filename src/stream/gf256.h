#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vel::stream {

// Arithmetic in GF(2^8) with the polynomial x^8+x^4+x^3+x^2+1 (0x11D), the field of the video
// erasure code. Addition is XOR; the tables are built once and never change.
std::uint8_t gfMul(std::uint8_t a, std::uint8_t b);
// Multiplicative inverse; gfInv(0) is 0 (the caller never asks for it).
std::uint8_t gfInv(std::uint8_t a);
// The 256 products c * x for x = 0..255: the scalar coding loops index it by the source byte.
const std::uint8_t* gfMulRow(std::uint8_t c);

// The 32-byte split-nibble table of c: c * x for the low nibbles x = 0..15, then c * (x << 4).
// c * b = low[b & 15] ^ high[b >> 4], which a byte shuffle computes 16 or 32 bytes at a time.
void gfNibbleTable(std::uint8_t c, std::uint8_t out[32]);

// Inverts the n x n row-major matrix in place by Gauss-Jordan elimination; false when it is
// singular (then the contents are unspecified).
[[nodiscard]] bool gfInvertMatrix(std::span<std::uint8_t> matrix, std::size_t n);

}  // namespace vel::stream
