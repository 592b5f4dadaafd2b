// Display modes through XRandR: the primary output's CRTC is switched to another of the output's
// modes, and the screen is resized to the bounding box of all CRTCs, as xrandr does.
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cmath>

#include "host/display_mode.h"
#include "host/x11_display.h"

namespace vel::host {
namespace {

struct ResourcesDeleter {
    void operator()(XRRScreenResources* r) const { XRRFreeScreenResources(r); }
};
struct OutputDeleter {
    void operator()(XRROutputInfo* o) const { XRRFreeOutputInfo(o); }
};
struct CrtcDeleter {
    void operator()(XRRCrtcInfo* c) const { XRRFreeCrtcInfo(c); }
};
using Resources = std::unique_ptr<XRRScreenResources, ResourcesDeleter>;
using OutputInfo = std::unique_ptr<XRROutputInfo, OutputDeleter>;
using CrtcInfo = std::unique_ptr<XRRCrtcInfo, CrtcDeleter>;

// Holds the server for the few requests of one change, so no client sees a half-made layout.
class ServerGrab {
  public:
    explicit ServerGrab(Display* d) : d_(d) { XGrabServer(d_); }
    ~ServerGrab() {
        XUngrabServer(d_);
        XSync(d_, False);
    }
    ServerGrab(const ServerGrab&) = delete;
    ServerGrab& operator=(const ServerGrab&) = delete;

  private:
    Display* d_;
};

std::uint32_t refreshOf(const XRRModeInfo& m) {
    const double total = static_cast<double>(m.hTotal) * m.vTotal;
    return total > 0 ? static_cast<std::uint32_t>(std::lround(m.dotClock / total)) : 0;
}

class XRandrDisplay final : public DisplaySystem {
  public:
    std::string primaryOutput() override {
        if (!connect()) return {};
        Resources res = resources();
        RROutput output = 0;
        if (!res || !findPrimary(res.get(), output)) return {};
        OutputInfo info(XRRGetOutputInfo(display(), res.get(), output));
        return info ? std::string(info->name, static_cast<std::size_t>(info->nameLen))
                    : std::string();
    }

    bool currentMode(const std::string& name, DisplayMode& mode) override {
        if (!connect()) return false;
        Resources res = resources();
        OutputInfo output = outputNamed(res.get(), name);
        if (!output || !output->crtc) return false;
        CrtcInfo crtc(XRRGetCrtcInfo(display(), res.get(), output->crtc));
        if (!crtc || !crtc->mode) return false;
        for (int i = 0; i < res->nmode; ++i)
            if (res->modes[i].id == crtc->mode) {
                mode = toMode(res->modes[i]);
                return true;
            }
        return false;
    }

    std::vector<DisplayMode> modes(const std::string& name) override {
        std::vector<DisplayMode> list;
        if (!connect()) return list;
        Resources res = resources();
        OutputInfo output = outputNamed(res.get(), name);
        if (!output) return list;
        for (int i = 0; i < output->nmode; ++i)
            for (int j = 0; j < res->nmode; ++j)
                if (res->modes[j].id == output->modes[i]) list.push_back(toMode(res->modes[j]));
        return list;
    }

    long setMode(const std::string& name, const DisplayMode& mode) override {
        if (!connect()) return -1;
        Display* d = display();
        Window root = DefaultRootWindow(d);
        Resources res = resources();
        OutputInfo output = outputNamed(res.get(), name);
        if (!output || !output->crtc) return -5;
        CrtcInfo crtc(XRRGetCrtcInfo(d, res.get(), output->crtc));
        if (!crtc) return -1;
        const bool swapped = (crtc->rotation & (RR_Rotate_90 | RR_Rotate_270)) != 0;
        const int width = static_cast<int>(swapped ? mode.height : mode.width);
        const int height = static_cast<int>(swapped ? mode.width : mode.height);

        // The screen must hold every CRTC: this one at its new size, the others as they are.
        int screenWidth = crtc->x + width, screenHeight = crtc->y + height;
        for (int i = 0; i < res->ncrtc; ++i) {
            if (res->crtcs[i] == output->crtc) continue;
            CrtcInfo other(XRRGetCrtcInfo(d, res.get(), res->crtcs[i]));
            if (!other || !other->mode) continue;
            screenWidth = std::max(screenWidth, other->x + static_cast<int>(other->width));
            screenHeight = std::max(screenHeight, other->y + static_cast<int>(other->height));
        }
        int minWidth = 0, minHeight = 0, maxWidth = 0, maxHeight = 0;
        XRRGetScreenSizeRange(d, root, &minWidth, &minHeight, &maxWidth, &maxHeight);
        if (screenWidth > maxWidth || screenHeight > maxHeight) return -2;

        const int screen = DefaultScreen(d);
        // Keep the physical size's pixel density.
        const double mmPerPixel =
            DisplayWidth(d, screen) > 0
                ? static_cast<double>(DisplayWidthMM(d, screen)) / DisplayWidth(d, screen)
                : 0.25;
        X11ErrorTrap trap(d);
        Status status = RRSetConfigSuccess;
        {
            ServerGrab grab(d);
            // Off first, so that a smaller screen never cuts through the active CRTC.
            status = XRRSetCrtcConfig(d, res.get(), output->crtc, CurrentTime, 0, 0, None,
                                      RR_Rotate_0, nullptr, 0);
            if (status == RRSetConfigSuccess) {
                XRRSetScreenSize(d, root, screenWidth, screenHeight,
                                 static_cast<int>(std::lround(screenWidth * mmPerPixel)),
                                 static_cast<int>(std::lround(screenHeight * mmPerPixel)));
                status = XRRSetCrtcConfig(d, res.get(), output->crtc, CurrentTime, crtc->x, crtc->y,
                                          static_cast<RRMode>(mode.id), crtc->rotation,
                                          crtc->outputs, crtc->noutput);
                if (status != RRSetConfigSuccess) {
                    // Never leave the monitor dark: back to the screen and mode it had.
                    XRRSetScreenSize(d, root, DisplayWidth(d, screen), DisplayHeight(d, screen),
                                     DisplayWidthMM(d, screen), DisplayHeightMM(d, screen));
                    XRRSetCrtcConfig(d, res.get(), output->crtc, CurrentTime, crtc->x, crtc->y,
                                     crtc->mode, crtc->rotation, crtc->outputs, crtc->noutput);
                }
            }
        }
        if (trap.failed()) return -2;
        return status == RRSetConfigSuccess ? 0 : -1;
    }

  private:
    bool connect() {
        if (connection_ && !connection_->lost()) return true;
        std::string error;
        connection_ = X11Connection::open(error);
        int event = 0, errorBase = 0;
        return connection_ && XRRQueryExtension(connection_->get(), &event, &errorBase);
    }

    Display* display() const { return connection_->get(); }

    Resources resources() {
        return Resources(XRRGetScreenResourcesCurrent(display(), DefaultRootWindow(display())));
    }

    // The primary output, or else the first connected output that shows something.
    bool findPrimary(XRRScreenResources* res, RROutput& found) {
        const RROutput primary = XRRGetOutputPrimary(display(), DefaultRootWindow(display()));
        if (primary) {
            found = primary;
            return true;
        }
        for (int i = 0; i < res->noutput; ++i) {
            OutputInfo info(XRRGetOutputInfo(display(), res, res->outputs[i]));
            if (info && info->connection == RR_Connected && info->crtc) {
                found = res->outputs[i];
                return true;
            }
        }
        return false;
    }

    OutputInfo outputNamed(XRRScreenResources* res, const std::string& name) {
        if (!res) return nullptr;
        for (int i = 0; i < res->noutput; ++i) {
            OutputInfo info(XRRGetOutputInfo(display(), res, res->outputs[i]));
            if (info && std::string(info->name, static_cast<std::size_t>(info->nameLen)) == name)
                return info;
        }
        return nullptr;
    }

    DisplayMode toMode(const XRRModeInfo& m) const {
        // X modes have no depth of their own: every mode shows the screen's pixel format.
        const int depth = DefaultDepth(display(), DefaultScreen(display()));
        return {m.width, m.height, depth >= 24 ? 32u : static_cast<std::uint32_t>(depth),
                refreshOf(m), m.id};
    }

    std::unique_ptr<X11Connection> connection_;
};

}  // namespace

std::unique_ptr<DisplaySystem> newXRandrDisplay() {
    return std::make_unique<XRandrDisplay>();
}

}  // namespace vel::host
