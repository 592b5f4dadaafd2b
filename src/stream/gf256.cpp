#include "stream/gf256.h"

#include <array>
#include <utility>

namespace vel::stream {
namespace {

struct Tables {
    std::array<std::uint8_t, 512> exp{};  // doubled so exp[log a + log b] needs no reduction
    std::array<std::uint8_t, 256> log{};
    std::array<std::uint8_t, 256> inv{};
    std::array<std::array<std::uint8_t, 256>, 256> mul{};

    Tables() {
        unsigned x = 1;
        for (unsigned i = 0; i < 255; ++i) {
            exp[i] = static_cast<std::uint8_t>(x);
            log[x] = static_cast<std::uint8_t>(i);
            x <<= 1;
            if (x & 0x100) x ^= 0x11D;
        }
        for (unsigned i = 255; i < exp.size(); ++i) exp[i] = exp[i - 255];
        for (unsigned a = 1; a < 256; ++a) inv[a] = exp[255 - log[a]];
        for (unsigned a = 1; a < 256; ++a) {
            for (unsigned b = 1; b < 256; ++b) mul[a][b] = exp[log[a] + log[b]];
        }
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

}  // namespace

std::uint8_t gfMul(std::uint8_t a, std::uint8_t b) {
    return tables().mul[a][b];
}

std::uint8_t gfInv(std::uint8_t a) {
    return tables().inv[a];
}

const std::uint8_t* gfMulRow(std::uint8_t c) {
    return tables().mul[c].data();
}

void gfNibbleTable(std::uint8_t c, std::uint8_t out[32]) {
    const std::uint8_t* row = gfMulRow(c);
    for (unsigned x = 0; x < 16; ++x) {
        out[x] = row[x];
        out[16 + x] = row[x << 4];
    }
}

bool gfInvertMatrix(std::span<std::uint8_t> matrix, std::size_t n) {
    // Gauss-Jordan on [matrix | identity], the identity kept in a side buffer of the same size.
    std::array<std::uint8_t, 64 * 64> side{};
    if (n == 0 || n > 64 || matrix.size() < n * n) return false;
    std::uint8_t* const a = matrix.data();
    std::uint8_t* const b = side.data();
    for (std::size_t i = 0; i < n; ++i) b[i * n + i] = 1;

    for (std::size_t col = 0; col < n; ++col) {
        std::size_t pivot = col;
        while (pivot < n && a[pivot * n + col] == 0) ++pivot;
        if (pivot == n) return false;
        if (pivot != col) {
            for (std::size_t j = 0; j < n; ++j) {
                std::swap(a[pivot * n + j], a[col * n + j]);
                std::swap(b[pivot * n + j], b[col * n + j]);
            }
        }
        const std::uint8_t* scale = gfMulRow(gfInv(a[col * n + col]));
        for (std::size_t j = 0; j < n; ++j) {
            a[col * n + j] = scale[a[col * n + j]];
            b[col * n + j] = scale[b[col * n + j]];
        }
        for (std::size_t row = 0; row < n; ++row) {
            const std::uint8_t factor = a[row * n + col];
            if (row == col || factor == 0) continue;
            const std::uint8_t* f = gfMulRow(factor);
            for (std::size_t j = 0; j < n; ++j) {
                a[row * n + j] ^= f[a[col * n + j]];
                b[row * n + j] ^= f[b[col * n + j]];
            }
        }
    }
    for (std::size_t i = 0; i < n * n; ++i) a[i] = b[i];
    return true;
}

}  // namespace vel::stream
