#pragma once

// An animated test picture whose every frame names itself: a bar code of its phase in the top
// strip, so a decoded frame can be compared with the picture it should show.

#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace vel::test {

constexpr int kPhaseBits = 12;
constexpr int kBarBlock = 32;
constexpr int kBarPitch = 40;

inline int triangle(int v) {
    v &= 511;
    return v < 256 ? v : 511 - v;
}

// BGRX pixels of the picture for a phase (0 .. 4095): soft moving gradients, a moving square and
// the phase with its complement as 24 black or white blocks along the top.
inline std::vector<std::uint8_t> patternPixels(int width, int height, int phase) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    const int squareX = (phase * 16) % (width - 160);
    const int squareY = 80 + (phase * 8) % (height - 240);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = pixels.data() + (static_cast<std::size_t>(y) * width + x) * 4;
            int r = triangle(x / 3 + 6 * phase), g = triangle(y / 2 + 4 * phase),
                b = triangle((x + y) / 4);
            if (x >= squareX && x < squareX + 160 && y >= squareY && y < squareY + 160) {
                r = 255, g = 64, b = 0;
            }
            if (y < kBarBlock + 16) r = g = b = 128;
            const int bit = (x - 16) / kBarPitch;
            if (y >= 8 && y < 8 + kBarBlock && x >= 16 && bit < 2 * kPhaseBits &&
                (x - 16) % kBarPitch < kBarBlock) {
                const bool one = bit < kPhaseBits ? (phase >> (kPhaseBits - 1 - bit)) & 1
                                                  : !((phase >> (2 * kPhaseBits - 1 - bit)) & 1);
                r = g = b = one ? 255 : 0;
            }
            p[0] = static_cast<std::uint8_t>(b);
            p[1] = static_cast<std::uint8_t>(g);
            p[2] = static_cast<std::uint8_t>(r);
            p[3] = 0;
        }
    }
    return pixels;
}

// BT.709 video-range luma, as the host's encoder is fed.
inline std::vector<std::uint8_t> patternLuma(int width, int height, int phase) {
    const std::vector<std::uint8_t> bgrx = patternPixels(width, height, phase);
    std::vector<std::uint8_t> luma(static_cast<std::size_t>(width) * height);
    for (std::size_t i = 0; i < luma.size(); ++i) {
        const double y = 0.2126 * bgrx[4 * i + 2] + 0.7152 * bgrx[4 * i + 1] + 0.0722 * bgrx[4 * i];
        luma[i] = static_cast<std::uint8_t>(std::lround(16 + y * 219 / 255));
    }
    return luma;
}

// The phase a luma plane shows, or -1 when its bar code does not read.
inline int readPhase(const std::uint8_t* luma, int width) {
    int phase = 0;
    for (int bit = 0; bit < 2 * kPhaseBits; ++bit) {
        const int x = 16 + bit * kBarPitch + kBarBlock / 2;
        const bool one = luma[static_cast<std::size_t>(8 + kBarBlock / 2) * width + x] > 125;
        if (bit < kPhaseBits) {
            phase = phase << 1 | (one ? 1 : 0);
        } else if (one == (((phase >> (2 * kPhaseBits - 1 - bit)) & 1) != 0)) {
            return -1;
        }
    }
    return phase;
}

inline double lumaPsnr(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) {
    double sum = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        sum += d * d;
    }
    const double mse = std::max(sum / static_cast<double>(size), 0.0001);
    return std::min(10 * std::log10(65025.0 / mse), 99.0);
}

// The luma planes of a YUV4MPEG2 file written by the viewer.
struct Y4mLuma {
    int width = 0;
    int height = 0;
    std::vector<std::vector<std::uint8_t>> frames;
};

inline Y4mLuma readY4mLuma(const std::string& path) {
    Y4mLuma out;
    std::ifstream in(path, std::ios::binary);
    std::string header;
    std::getline(in, header);
    if (header.rfind("YUV4MPEG2 ", 0) != 0) return out;
    const auto field = [&](char tag) {
        const std::size_t at = header.find(std::string(" ") + tag);
        return at == std::string::npos ? 0 : std::stoi(header.substr(at + 2));
    };
    out.width = field('W');
    out.height = field('H');
    const std::size_t lumaSize = static_cast<std::size_t>(out.width) * out.height;
    for (std::string line; std::getline(in, line) && line.rfind("FRAME", 0) == 0;) {
        std::vector<std::uint8_t> frame(lumaSize * 3 / 2);
        if (!in.read(reinterpret_cast<char*>(frame.data()),
                     static_cast<std::streamsize>(frame.size())))
            break;
        frame.resize(lumaSize);
        out.frames.push_back(std::move(frame));
    }
    return out;
}

}  // namespace vel::test
