#pragma once

// An animated test picture whose frames name their phase in a bar code, and a full-screen window
// that shows it and collects the keys and clicks it gets. Include this header last: Xlib's macros
// (None, Bool, Status) clash with names in other headers.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// clang-format off
#include <X11/Xlib.h>
#include <X11/Xutil.h>
// clang-format on

namespace vel::test {

constexpr int kPhaseBits = 12;
constexpr int kBarBlock = 32;
constexpr int kBarPitch = 40;

inline int triangle(int v) {
    v &= 511;
    return v < 256 ? v : 511 - v;
}

// BGRX pixels of the picture for a phase (0 .. 4095): soft moving gradients, a moving square and
// the phase as 12 black or white blocks along the top.
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
            if (y >= 8 && y < 8 + kBarBlock && x >= 16 && bit < kPhaseBits &&
                (x - 16) % kBarPitch < kBarBlock) {
                r = g = b = (phase >> (kPhaseBits - 1 - bit)) & 1 ? 255 : 0;
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

// The phase a luma plane's bar code names; a misread one names a picture the frame does not match.
inline int readPhase(const std::uint8_t* luma, int width) {
    int phase = 0;
    for (int bit = 0; bit < kPhaseBits; ++bit) {
        const int x = 16 + bit * kBarPitch + kBarBlock / 2;
        phase = phase << 1 | (luma[static_cast<std::size_t>(8 + kBarBlock / 2) * width + x] > 125);
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
    if (std::sscanf(header.c_str(), "YUV4MPEG2 W%d H%d", &out.width, &out.height) != 2) return {};
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

// Painted every 30 ms on a connection of its own.
class PatternWindow {
  public:
    PatternWindow(const std::string& display, int width, int height, bool animate)
        : name_(display),
          width_(width),
          height_(height),
          animate_(animate),
          display_(XOpenDisplay(display.c_str())) {
        if (!display_) return;
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.event_mask = KeyPressMask | ButtonPressMask;
        window_ = XCreateWindow(display_, DefaultRootWindow(display_), 0, 0,
                                static_cast<unsigned>(width_), static_cast<unsigned>(height_), 0,
                                CopyFromParent, InputOutput, CopyFromParent,
                                CWOverrideRedirect | CWEventMask, &attributes);
        XMapRaised(display_, window_);
        XSync(display_, False);
        XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
        XSync(display_, False);
        painter_ = std::thread([this] { paint(); });
    }
    ~PatternWindow() {
        stop_ = true;
        if (painter_.joinable()) painter_.join();
        if (display_) XCloseDisplay(display_);
    }
    PatternWindow(const PatternWindow&) = delete;
    PatternWindow& operator=(const PatternWindow&) = delete;

    bool ok() const { return display_ != nullptr; }

    // Appends the text typed into the window and the clicks it received since the last call.
    void events(std::string& text, std::vector<std::pair<int, int>>& clicks) {
        XSync(display_, False);
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type == KeyPress) {
                char buffer[8];
                KeySym symbol;
                const int n = XLookupString(&event.xkey, buffer, sizeof buffer, &symbol, nullptr);
                text.append(buffer, static_cast<std::size_t>(std::max(n, 0)));
            } else if (event.type == ButtonPress && event.xbutton.button == Button1) {
                clicks.emplace_back(event.xbutton.x, event.xbutton.y);
            }
        }
    }

  private:
    void paint() {
        Display* display = XOpenDisplay(name_.c_str());
        if (!display) return;
        GC gc = XCreateGC(display, window_, 0, nullptr);
        for (int phase = 0; !stop_; phase = animate_ ? (phase + 1) % 4096 : 0) {
            std::vector<std::uint8_t> pixels = patternPixels(width_, height_, phase);
            XImage* image =
                XCreateImage(display, DefaultVisual(display, 0), 24, ZPixmap, 0,
                             reinterpret_cast<char*>(pixels.data()), static_cast<unsigned>(width_),
                             static_cast<unsigned>(height_), 32, width_ * 4);
            XPutImage(display, window_, gc, image, 0, 0, 0, 0, static_cast<unsigned>(width_),
                      static_cast<unsigned>(height_));
            image->data = nullptr;  // the pixels stay ours
            XDestroyImage(image);
            XSync(display, False);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        XFreeGC(display, gc);
        XCloseDisplay(display);
    }

    std::string name_;
    int width_;
    int height_;
    bool animate_;
    Display* display_;
    Window window_ = 0;
    std::atomic<bool> stop_{false};
    std::thread painter_;
};

}  // namespace vel::test
