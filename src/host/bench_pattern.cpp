#include "host/bench_pattern.h"

namespace vel::host {

std::vector<std::vector<std::uint8_t>> makeBenchFrames(int width, int height, int count) {
    const int w = width;
    const int h = height;
    std::uint32_t state = 12345;
    auto step = [&state] { return state = state * 1664525u + 1013904223u; };
    std::vector<std::vector<std::uint8_t>> frames;
    for (int f = 0; f < count; ++f) {
        std::vector<std::uint8_t> frame(std::size_t(w) * h * 3 / 2);
        for (int y = 0; y < h; ++y) {
            std::uint8_t* row = frame.data() + std::size_t(y) * w;
            for (int x = 0; x < w; ++x) {
                const int t = ((3 * f + x) * 255 / w + y * 255 / h) / 2;
                const bool same = ((y + 5 * f) / 64) % 2 == ((x + 11 * f) / 64) % 2;
                const int value = same ? t : 255 - t;
                row[x] = static_cast<std::uint8_t>(16 + value * 219 / 255);
            }
        }
        std::uint8_t* uv = frame.data() + std::size_t(w) * h;
        for (int r = 0; r < h / 2; ++r) {
            std::uint8_t* row = uv + std::size_t(r) * w;
            for (int c = 0; c < w; c += 2) {
                row[c] = static_cast<std::uint8_t>(64 + (((7 * f + c) * 128 / w) & 255));
                row[c + 1] = static_cast<std::uint8_t>(64 + r * 128 / (h / 2));
            }
        }
        const std::uint32_t pixels = std::uint32_t(w) * std::uint32_t(h);
        for (std::uint32_t i = 0; i < pixels / 50; ++i) {
            const std::uint32_t position = (step() >> 8) % pixels;
            const std::uint32_t v = step() >> 8;
            frame[position] = static_cast<std::uint8_t>(16 + v % 220);
        }
        frames.push_back(std::move(frame));
    }
    return frames;
}

}  // namespace vel::host
