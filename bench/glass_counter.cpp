#include "glass_counter.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "core/time.h"

// Last: Xlib's macros would break the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace vel::bench {

namespace {
constexpr std::uint32_t kCounterMask = (1u << kCounterBits) - 1;
}

std::uint32_t CounterNow() {
    return static_cast<std::uint32_t>(MonotonicMicros() / 1000) & kCounterMask;
}

std::uint32_t CounterAge(std::uint32_t now, std::uint32_t shown) {
    return (now - shown) & kCounterMask;
}

long ReadCounter(const std::function<int(int x, int y)>& luma) {
    long value = 0;
    const int y = kCounterCodeTop + kCounterCell / 2;
    for (int bit = 0; bit < 2 * kCounterBits; ++bit) {
        const bool one = luma(bit * kCounterCell + kCounterCell / 2, y) > 125;
        if (bit < kCounterBits) {
            value = value << 1 | (one ? 1 : 0);
        } else if (one == (((value >> (2 * kCounterBits - 1 - bit)) & 1) != 0)) {
            return -1;
        }
    }
    return value;
}

CounterPainter::CounterPainter(std::string display, int width, int height)
    : display_(std::move(display)), width_(width), height_(height) {
    thread_ = std::thread([this] { run(); });
}

CounterPainter::~CounterPainter() {
    stop_ = true;
    thread_.join();
}

void CounterPainter::run() {
    Display* display = XOpenDisplay(display_.c_str());
    if (!display) return;
    const Window root = DefaultRootWindow(display);
    GC gc = XCreateGC(display, root, 0, nullptr);
    XSetForeground(display, gc, 0x406080);
    XFillRectangle(display, root, gc, 0, 0, static_cast<unsigned>(width_),
                   static_cast<unsigned>(height_));
    std::vector<std::uint8_t> code(static_cast<std::size_t>(kCounterCodeWidth) * kCounterCell * 4);
    XImage* image = XCreateImage(display, DefaultVisual(display, 0), 24, ZPixmap, 0,
                                 reinterpret_cast<char*>(code.data()), kCounterCodeWidth,
                                 kCounterCell, 32, kCounterCodeWidth * 4);
    std::uint32_t last = ~0u;
    int step = 0;
    auto nextMove = std::chrono::steady_clock::now();
    while (!stop_) {
        const std::uint32_t ms = CounterNow();
        if (ms != last) {
            last = ms;
            for (int bit = 0; bit < 2 * kCounterBits; ++bit) {
                const bool one = bit < kCounterBits
                                     ? (ms >> (kCounterBits - 1 - bit)) & 1
                                     : !((ms >> (2 * kCounterBits - 1 - bit)) & 1);
                for (int y = 0; y < kCounterCell; ++y) {
                    std::uint8_t* row =
                        code.data() +
                        (static_cast<std::size_t>(y) * kCounterCodeWidth + bit * kCounterCell) * 4;
                    std::fill(row, row + kCounterCell * 4, one ? 255 : 0);
                }
            }
            // One request, so a capture sees the whole code of one millisecond.
            XPutImage(display, root, gc, image, 0, 0, 0, kCounterCodeTop, kCounterCodeWidth,
                      kCounterCell);
        }
        if (std::chrono::steady_clock::now() >= nextMove) {
            nextMove += std::chrono::microseconds(16667);
            const int x = (step * 8) % (width_ - 320);
            XSetForeground(display, gc, 0x406080);
            XFillRectangle(display, root, gc, 0, 100, static_cast<unsigned>(width_), 320);
            XSetForeground(display, gc, 0xF0C020 ^ static_cast<unsigned>(step * 0x010203));
            XFillRectangle(display, root, gc, x, 100, 320, 320);
            ++step;
        }
        XFlush(display);
        std::this_thread::sleep_for(std::chrono::microseconds(250));
    }
    image->data = nullptr;
    XDestroyImage(image);
    XFreeGC(display, gc);
    XCloseDisplay(display);
}

}  // namespace vel::bench
