#pragma once

// A full-screen window on an X display that shows the test picture, still at its first phase or
// animated, and collects the key presses and clicks it gets. The picture is painted every 30 ms
// on a connection of its own. Include this header last: Xlib's macros (None, Bool, Status)
// clash with names in other headers.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "integration/stream_pattern.h"

// clang-format off
#include <X11/Xlib.h>
#include <X11/Xutil.h>
// clang-format on

namespace vel::test {

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
