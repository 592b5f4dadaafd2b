#pragma once

// A plain X client for the tests: paints, moves the pointer, changes the screen and its monitors
// the way a desktop session would, on its own connection.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#undef CursorShape

#include <cstdint>
#include <string>
#include <vector>

namespace vel::test {

class XTestClient {
  public:
    XTestClient() : display_(XOpenDisplay(nullptr)) {}
    ~XTestClient() {
        if (display_) XCloseDisplay(display_);
    }
    XTestClient(const XTestClient&) = delete;
    XTestClient& operator=(const XTestClient&) = delete;

    bool ok() const { return display_ != nullptr; }
    Display* display() const { return display_; }
    Window root() const { return DefaultRootWindow(display_); }

    void fill(int x, int y, int width, int height, std::uint32_t rgb) {
        GC gc = XCreateGC(display_, root(), 0, nullptr);
        XSetForeground(display_, gc, rgb);
        XFillRectangle(display_, root(), gc, x, y, static_cast<unsigned>(width),
                       static_cast<unsigned>(height));
        XFreeGC(display_, gc);
        XSync(display_, False);
    }

    void warp(int x, int y) {
        XWarpPointer(display_, None, root(), 0, 0, 0, 0, x, y);
        XSync(display_, False);
    }

    void pointer(int& x, int& y) {
        Window r, c;
        int wx, wy;
        unsigned mask;
        XQueryPointer(display_, root(), &r, &c, &x, &y, &wx, &wy, &mask);
    }

    // Offers a new mode on Xvfb's one output, the way a driver would list it.
    RRMode addMode(int width, int height) {
        XRRScreenResources* res = XRRGetScreenResourcesCurrent(display_, root());
        std::string name = std::to_string(width) + "x" + std::to_string(height);
        XRRModeInfo info{};
        info.width = static_cast<unsigned>(width);
        info.height = static_cast<unsigned>(height);
        info.name = name.data();
        info.nameLength = static_cast<unsigned>(name.size());
        info.dotClock = static_cast<unsigned long>(width + 160) * (height + 30) * 60;
        info.hTotal = static_cast<unsigned>(width + 160);
        info.vTotal = static_cast<unsigned>(height + 30);
        RRMode mode = XRRCreateMode(display_, root(), &info);
        XRRAddOutputMode(display_, res->outputs[0], mode);
        XRRFreeScreenResources(res);
        XSync(display_, False);
        return mode;
    }

    // Changes the screen size as xrandr would: a new mode on the output, then the screen size.
    void resizeScreen(int width, int height) {
        RRMode mode = addMode(width, height);
        XRRScreenResources* res = XRRGetScreenResourcesCurrent(display_, root());
        XRRSetCrtcConfig(display_, res, res->crtcs[0], CurrentTime, 0, 0, mode, RR_Rotate_0,
                         res->outputs, 1);
        XRRSetScreenSize(display_, root(), width, height, width / 4, height / 4);
        XRRFreeScreenResources(res);
        XSync(display_, False);
    }

    // Declares a monitor over part of the screen (as xrandr --setmonitor does).
    void addMonitor(const char* name, int x, int y, int width, int height, bool primary) {
        XRRMonitorInfo* m = XRRAllocateMonitor(display_, 0);
        m->name = XInternAtom(display_, name, False);
        m->primary = primary;
        m->x = x;
        m->y = y;
        m->width = width;
        m->height = height;
        m->mwidth = width / 4;
        m->mheight = height / 4;
        XRRSetMonitor(display_, root(), m);
        XRRFreeMonitors(m);
        XSync(display_, False);
    }

  private:
    Display* display_;
};

}  // namespace vel::test
