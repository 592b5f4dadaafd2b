// The timestamp of the glass-to-glass benchmarks: a 20-bit millisecond counter of the monotonic
// clock painted as a bar code (the counter, then its complement, so a torn or blurred code does not
// read) near the top left of a screen, and read back wherever the picture ends up.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace vel::bench {

constexpr int kCounterBits = 20;
constexpr int kCounterCell = 24;                                    // cell edge, pixels
constexpr int kCounterCodeWidth = 2 * kCounterBits * kCounterCell;  // counter and complement
constexpr int kCounterCodeTop = 8;

// The counter now: milliseconds of the monotonic clock, modulo 2^20.
std::uint32_t CounterNow();

// How long ago a counter read from a picture was painted, in milliseconds.
std::uint32_t CounterAge(std::uint32_t now, std::uint32_t shown);

// The counter a picture shows, given the luma (0-255) at a pixel of the picture; -1 when the code
// does not read. Only the centre of each cell is sampled.
long ReadCounter(const std::function<int(int x, int y)>& luma);

// Paints the counter onto the root window of `display` every millisecond, and a square that moves
// every frame of a 60 Hz desktop so the encoder has motion to code, until destroyed.
class CounterPainter {
  public:
    CounterPainter(std::string display, int width, int height);
    ~CounterPainter();
    CounterPainter(const CounterPainter&) = delete;
    CounterPainter& operator=(const CounterPainter&) = delete;

  private:
    void run();

    std::string display_;
    int width_;
    int height_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace vel::bench
