// velmora-client view against the real gate, end to end. The machine namespace runs the gate as
// setup installs it, with a key enrolled and an Xvfb desktop showing a test picture in a window
// that records the keys it receives; the user's namespace runs velmora-client-softkey view on an
// Xvfb of its own. The stream opens through the gate, the viewer's window shows the host's
// picture, and keys typed into that window arrive in the host's window.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "integration/installed_gate.h"
#include "integration/stream_pattern.h"
#include "os/files.h"
#include "os/paths.h"
#include "support/background_process.h"
#include "support/process.h"
#include "support/wait_until.h"
#include "support/xvfb.h"

// Last: Xlib's macros (None, Bool, Status) clash with names above.
// clang-format off
#include "integration/pattern_window.h"
#include <X11/extensions/XTest.h>
// clang-format on

namespace vel {
namespace {

using namespace std::chrono_literals;

constexpr int kWidth = 640;
constexpr int kHeight = 480;

double luma(std::uint32_t bgrx) {
    return 0.2126 * ((bgrx >> 16) & 0xFF) + 0.7152 * ((bgrx >> 8) & 0xFF) + 0.0722 * (bgrx & 0xFF);
}

// The viewer's display, seen from outside: finds the viewer's window, reads its pixels, types.
class ViewerDisplay {
  public:
    explicit ViewerDisplay(const std::string& display) : display_(XOpenDisplay(display.c_str())) {
        // A window that changes while it is read gives an error reply, not the end of the test.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    }
    ~ViewerDisplay() {
        if (display_ != nullptr) XCloseDisplay(display_);
    }
    bool ok() const { return display_ != nullptr; }

    // A mapped top-level window of the picture's size, 0 when there is none yet.
    Window find() const {
        Window root = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned count = 0;
        Window found = 0;
        if (XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count) ==
            0)
            return 0;
        for (unsigned i = 0; i < count; ++i) {
            XWindowAttributes a;
            if (XGetWindowAttributes(display_, children[i], &a) != 0 && a.map_state == IsViewable &&
                a.width == kWidth && a.height == kHeight)
                found = children[i];
        }
        if (children != nullptr) XFree(children);
        return found;
    }

    // PSNR of the window's luma, read from the screen where a user sees it, against the picture's;
    // 0 when it cannot be read.
    double psnr(Window window, const std::vector<std::uint8_t>& picture) const {
        int x = 0;
        int y = 0;
        Window child = 0;
        const Window root = DefaultRootWindow(display_);
        XTranslateCoordinates(display_, window, root, 0, 0, &x, &y, &child);
        XImage* image = XGetImage(display_, root, x, y, kWidth, kHeight, AllPlanes, ZPixmap);
        if (image == nullptr) return 0;
        double squares = 0;
        for (int row = 0; row < kHeight; ++row) {
            for (int column = 0; column < kWidth; ++column) {
                std::uint32_t expected = 0;
                std::memcpy(&expected,
                            &picture[(static_cast<std::size_t>(row) * kWidth + column) * 4], 4);
                const double d = luma(static_cast<std::uint32_t>(XGetPixel(image, column, row))) -
                                 luma(expected);
                squares += d * d;
            }
        }
        XDestroyImage(image);
        const double mse = squares / (kWidth * kHeight);
        return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
    }

    // Points at the window's centre and types text (lower-case letters) there.
    void type(Window window, const std::string& text) {
        int x = 0;
        int y = 0;
        Window child = 0;
        XTranslateCoordinates(display_, window, DefaultRootWindow(display_), kWidth / 2,
                              kHeight / 2, &x, &y, &child);
        XTestFakeMotionEvent(display_, -1, x, y, CurrentTime);
        XSetInputFocus(display_, window, RevertToParent, CurrentTime);
        XSync(display_, False);
        std::this_thread::sleep_for(200ms);
        for (char c : text) {
            const KeyCode code = XKeysymToKeycode(display_, static_cast<KeySym>(c));
            XTestFakeKeyEvent(display_, code, True, CurrentTime);
            XTestFakeKeyEvent(display_, code, False, CurrentTime);
            XSync(display_, False);
            std::this_thread::sleep_for(30ms);
        }
    }

  private:
    Display* display_;
};

class ClientViewTest : public test::InstalledGateTest {
  protected:
    ClientViewTest() : InstalledGateTest({"10.236.1"}) {}
    void SetUp() override {
        InstalledGateTest::SetUp();
        if (IsSkipped()) return;
        std::string why;
        if (!hostScreen_.start(kWidth, kHeight, why)) GTEST_SKIP() << why;
        if (!viewerScreen_.start(1024, 768, why)) GTEST_SKIP() << why;
    }

    test::Xvfb hostScreen_;
    test::Xvfb viewerScreen_;
};

TEST_F(ClientViewTest, TheViewerShowsTheHostsDesktopAndTypesIntoIt) {
    test::PatternWindow host(hostScreen_.display(), kWidth, kHeight, false);
    ASSERT_TRUE(host.ok());
    // The machine's desktop is the host's Xvfb.
    setUpGate({}, {"DISPLAY=" + hostScreen_.display()});
    const std::string key = newKey("key");
    std::vector<std::string> env = clientEnv(key);
    env.push_back("DISPLAY=" + viewerScreen_.display());
    const test::ProcessResult enrolled =
        test::RunProcess(clientArgs({"enroll", gate(), issueCode()}), env);
    ASSERT_EQ(enrolled.exitCode, 0) << enrolled.output;

    test::BackgroundProcess viewer;
    ASSERT_TRUE(viewer.start(clientArgs({"view", gate(), "--audio-out", "none"}), env));
    ViewerDisplay screen(viewerScreen_.display());
    ASSERT_TRUE(screen.ok());
    const auto log = [&] {
        std::string agentLog;
        static_cast<void>(ReadFileText(JoinPath(dataDirectory(), "VelmoraHost.log"), agentLog));
        return "viewer:\n" + viewer.output() + "\ngate:\n" + gateLog() + "\nagent:\n" + agentLog;
    };

    // The window takes the picture's size and shows the host's desktop.
    const std::vector<std::uint8_t> picture = test::patternPixels(kWidth, kHeight, 0);
    Window window = 0;
    double psnr = 0;
    EXPECT_TRUE(test::WaitUntil(
        [&] {
            window = screen.find();
            psnr = window != 0 ? screen.psnr(window, picture) : 0;
            return psnr > 30;
        },
        30s))
        << "PSNR " << psnr << "\n"
        << log();
    ASSERT_NE(window, 0u) << log();

    screen.type(window, "velmora");
    std::string typed;
    std::vector<std::pair<int, int>> clicks;
    EXPECT_TRUE(test::WaitUntil(
        [&] {
            host.events(typed, clicks);
            return typed == "velmora";
        },
        10s))
        << "typed '" << typed << "'\n"
        << log();
    EXPECT_EQ(viewer.interrupt(), 0) << log();
}

}  // namespace
}  // namespace vel
