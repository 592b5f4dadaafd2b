// `velmora stream dev-listen`/`dev-dial` against `velmora-client view`: real processes on a real
// Xvfb and PulseAudio, the picture compared with what the host's screen showed.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include "integration/stream_pattern.h"
#include "media/pulse_daemon.h"
#include "support/background_process.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_network.h"
#include "support/xvfb.h"

// Last: Xlib's None and Bool macros would break the headers above.
// clang-format off
#include <X11/Xlib.h>
#include <X11/Xutil.h>
// clang-format on

namespace vel {
namespace {

using test::BackgroundProcess;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
const std::string kPsk = "5e1f0c2a9b8d7e6f5a4b3c2d1e0f9a8b";

std::string clientBinary() {
    return VELMORA_CLIENT_BINARY;
}

std::uint16_t freeUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

// A full-screen window on the host's display that shows the animated pattern (a new phase every
// 30 ms, painted on a connection of its own) and collects the key presses and clicks it gets.
class PatternWindow {
  public:
    explicit PatternWindow(int width = kWidth, int height = kHeight)
        : width_(width), height_(height), display_(XOpenDisplay(nullptr)) {
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
    bool ok() const { return display_ != nullptr; }

    // Text typed into the window and the clicks it received since the last call.
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
        Display* display = XOpenDisplay(nullptr);
        if (!display) return;
        GC gc = XCreateGC(display, window_, 0, nullptr);
        for (int phase = 0; !stop_; phase = (phase + 1) % 4096) {
            std::vector<std::uint8_t> pixels = test::patternPixels(width_, height_, phase);
            XImage* image =
                XCreateImage(display, DefaultVisual(display, 0), 24, ZPixmap, 0,
                             reinterpret_cast<char*>(pixels.data()), static_cast<unsigned>(width_),
                             static_cast<unsigned>(height_), 32, width_ * 4);
            XPutImage(display, window_, gc, image, 0, 0, 0, 0, static_cast<unsigned>(width_),
                      static_cast<unsigned>(height_));
            image->data = nullptr;
            XDestroyImage(image);
            XSync(display, False);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        XFreeGC(display, gc);
        XCloseDisplay(display);
    }

    int width_;
    int height_;
    Display* display_;
    Window window_ = 0;
    std::atomic<bool> stop_{false};
    std::thread painter_;
};

// Mean luma PSNR of the frames against the pictures their bar codes name, and how many named one.
struct Fidelity {
    double psnr = 0;
    std::size_t read = 0;
    std::size_t frames = 0;
};

Fidelity fidelity(const std::string& path) {
    const test::Y4mLuma video = test::readY4mLuma(path);
    Fidelity result;
    result.frames = video.frames.size();
    if (video.width != kWidth || video.height != kHeight) return result;
    double sum = 0;
    for (const auto& frame : video.frames) {
        const int phase = test::readPhase(frame.data(), kWidth);
        if (phase < 0) continue;
        const auto expected = test::patternLuma(kWidth, kHeight, phase);
        sum += test::lumaPsnr(frame.data(), expected.data(), expected.size());
        ++result.read;
    }
    if (result.read > 0) result.psnr = sum / static_cast<double>(result.read);
    return result;
}

// A 1 kHz tone at half scale, 48 kHz stereo s16le, for pacat.
std::string writeTone(const test::TempDir& dir, int seconds) {
    const std::string path = dir.file("tone.raw");
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < 48000 * seconds; ++i) {
        const auto s = static_cast<std::int16_t>(16384 * std::sin(2 * M_PI * 1000 * i / 48000.0));
        const char bytes[4] = {static_cast<char>(s & 0xFF), static_cast<char>(s >> 8),
                               static_cast<char>(s & 0xFF), static_cast<char>(s >> 8)};
        out.write(bytes, 4);
    }
    return path;
}

// The figure after `label` on the last status line of dev-listen that has one.
double lastFigure(const std::string& output, const std::string& label) {
    const std::regex pattern(label + " ([0-9.]+)");
    double value = -1;
    for (auto it = std::sregex_iterator(output.begin(), output.end(), pattern);
         it != std::sregex_iterator(); ++it) {
        value = std::stod((*it)[1]);
    }
    return value;
}

TEST(StreamView, ListenAndDialCarryPictureInputAndSoundThroughLoss) {
    if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
    test::Xvfb xvfb;
    std::string why;
    if (!xvfb.start(kWidth, kHeight, why)) GTEST_SKIP() << why;
    media::test::PulseDaemon viewerSound;
    if (!viewerSound.unavailable().empty()) GTEST_SKIP() << viewerSound.unavailable();
    const std::string viewerPulse = "PULSE_SERVER=unix:" + viewerSound.dir().file("runtime/native");
    media::test::PulseDaemon hostSound;  // the last one started is this process's default
    if (!hostSound.unavailable().empty()) GTEST_SKIP() << hostSound.unavailable();
    const std::string hostPulse = "PULSE_SERVER=unix:" + hostSound.dir().file("runtime/native");
    PatternWindow window;
    ASSERT_TRUE(window.ok());
    test::TempDir dir;
    BackgroundProcess tone;
    ASSERT_TRUE(tone.start({"/usr/bin/pacat", "--raw", "--format=s16le", "--rate=48000",
                            "--channels=2", "--device=velmora_test", writeTone(dir, 120)},
                           {hostPulse}));

    // The viewer dials a listening host; both ends lose 5 % of what they send.
    const std::uint16_t hostPort = freeUdpPort();
    BackgroundProcess host;
    ASSERT_TRUE(host.start({test::VelmoraBinary(), "stream", "dev-listen", "--psk", kPsk, "--port",
                            std::to_string(hostPort), "--emulate", "loss=5"},
                           {hostPulse}));
    const std::string dialled = dir.file("dialled.y4m");
    const test::ProcessResult viewer =
        test::RunProcess({clientBinary(), "view",      "--psk",
                          kPsk,           "--dial",    "127.0.0.1:" + std::to_string(hostPort),
                          "--headless",   "--frames",  "150",
                          "--out",        dialled,     "--type",
                          "Velmora 42",   "--click",   "200,300",
                          "--screen",     "1920x1080", "--emulate",
                          "loss=5",       "--timeout", "90"},
                         {viewerPulse});
    ASSERT_EQ(viewer.exitCode, 0) << viewer.output << host.output();

    const Fidelity seen = fidelity(dialled);
    EXPECT_EQ(seen.frames, 150u) << viewer.output;
    EXPECT_GE(seen.read, 140u) << "frames whose bar code reads";
    EXPECT_GT(seen.psnr, 30.0);

    std::string typed;
    std::vector<std::pair<int, int>> clicks;
    window.events(typed, clicks);
    EXPECT_EQ(typed, "Velmora 42");
    ASSERT_EQ(clicks.size(), 1u);
    EXPECT_NEAR(clicks[0].first, 200, 2);
    EXPECT_NEAR(clicks[0].second, 300, 2);

    // The tone came through: blocks near its level (-9 dBFS RMS), played on the viewer's sink.
    const std::smatch audio = [&] {
        std::smatch m;
        std::regex_search(viewer.output, m,
                          std::regex("audio: ([0-9]+) blocks, ([0-9]+) audible, peak "
                                     "(-?[0-9.]+) dBFS, (.*)"));
        return m;
    }();
    ASSERT_FALSE(audio.empty()) << viewer.output;
    EXPECT_GE(std::stoi(audio[2]), 50) << viewer.output;
    EXPECT_NEAR(std::stod(audio[3]), -9.0, 3.0) << viewer.output;
    EXPECT_EQ(audio[4], "playing on the default playback device") << viewer.output;

    // dev-listen's status line filled from both ends: its own figures and the viewer's reports.
    EXPECT_EQ(host.interrupt(), 0);
    const std::string status = host.output();
    EXPECT_GT(lastFigure(status, "frames"), 0) << status;
    EXPECT_GT(lastFigure(status, "enc"), 0) << status;
    EXPECT_GT(lastFigure(status, "viewer dec"), 0) << status;
    EXPECT_GT(lastFigure(status, "e2e"), 0) << status;
    EXPECT_GE(lastFigure(status, "input"), 25) << status;  // 22 keystrokes, a move, a click
    EXPECT_GT(lastFigure(status, "loss"), 0) << status;

    // The other way round: the host dials a listening viewer.
    const std::uint16_t viewerPort = freeUdpPort();
    const std::string listened = dir.file("listened.y4m");
    BackgroundProcess listening;
    ASSERT_TRUE(listening.start({clientBinary(), "view", "--psk", kPsk, "--listen",
                                 std::to_string(viewerPort), "--headless", "--frames", "30",
                                 "--out", listened, "--audio-out", "none", "--timeout", "90"},
                                {viewerPulse}));
    BackgroundProcess dialling;
    ASSERT_TRUE(
        dialling.start({test::VelmoraBinary(), "stream", "dev-dial", "--psk", kPsk, "--viewer",
                        "127.0.0.1:" + std::to_string(viewerPort), "--emulate", "loss=5"},
                       {hostPulse}));
    ASSERT_EQ(listening.waitForExit(std::chrono::seconds(100)), 0)
        << listening.output() << dialling.output();
    const Fidelity back = fidelity(listened);
    EXPECT_EQ(back.frames, 30u);
    EXPECT_GE(back.read, 27u);
    EXPECT_GT(back.psnr, 30.0);
    EXPECT_NE(dialling.waitForExit(std::chrono::seconds(10)), -1)
        << "dev-dial ends with the session";
}

// Every "host bias N" the viewer printed, in order.
std::vector<int> hostBiases(const std::string& output) {
    std::vector<int> biases;
    const std::regex pattern("host bias ([0-9]+)");
    for (auto it = std::sregex_iterator(output.begin(), output.end(), pattern);
         it != std::sregex_iterator(); ++it) {
        biases.push_back(std::stoi((*it)[1]));
    }
    return biases;
}

// The count of decoded frames on each of the viewer's status lines, in order.
std::vector<long> decodedCounts(const std::string& output) {
    std::vector<long> counts;
    const std::regex pattern("frames ([0-9]+) decoded");
    for (auto it = std::sregex_iterator(output.begin(), output.end(), pattern);
         it != std::sregex_iterator(); ++it) {
        counts.push_back(std::stol((*it)[1]));
    }
    return counts;
}

// Polls the viewer's status lines until one from index `from` on satisfies the condition; the
// index after it, or 0 when the deadline (a bound on a hang only) passed.
std::size_t waitForBias(BackgroundProcess& viewer, std::size_t from,
                        const std::function<bool(int)>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (std::chrono::steady_clock::now() < deadline && viewer.running()) {
        const std::vector<int> biases = hostBiases(viewer.output());
        for (std::size_t i = from; i < biases.size(); ++i) {
            if (condition(biases[i])) return i + 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return 0;
}

// The automatic balance follows the link: a bottleneck put on the host's side of a veth pair
// (tc's token bucket) lowers the bias the host streams at, and taking it away raises it again.
TEST(StreamView, AutomaticBalanceGivesWayToASqueezedLinkAndComesBack) {
    if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
    if (const std::string reason = test::NetworkTestsUnavailable(); !reason.empty()) {
        GTEST_SKIP() << reason;
    }
    test::TestNetwork net({"10.231.77"});
    if (!net.createNamespaces() || !net.connect()) GTEST_SKIP() << "no network namespaces here";
    test::Xvfb xvfb;
    std::string why;
    // A small screen keeps the encoder's share of a frame interval, the balance's compute
    // pressure, low on a busy machine, so the network decides.
    if (!xvfb.start(640, 360, why)) GTEST_SKIP() << why;
    PatternWindow window(640, 360);
    ASSERT_TRUE(window.ok());

    std::vector<std::string> hostArgs = net.execIn(net.machine());
    hostArgs.insert(hostArgs.end(), {test::VelmoraBinary(), "stream", "dev-listen", "--psk", kPsk,
                                     "--port", "7441", "--no-audio", "--no-input"});
    BackgroundProcess host;
    ASSERT_TRUE(host.start(hostArgs));
    std::vector<std::string> viewerArgs = net.execIn(net.client(0));
    viewerArgs.insert(viewerArgs.end(), {clientBinary(), "view", "--psk", kPsk, "--dial",
                                         net.machineAddress(0) + ":7441", "--headless",
                                         "--audio-out", "none", "--timeout", "240"});
    BackgroundProcess viewer;
    ASSERT_TRUE(viewer.start(viewerArgs));

    // The balance weighs network against compute pressure, and compute here includes the
    // machine's load from whatever else runs, so the test looks for the direction of each move:
    // down once the link is squeezed, up once it is free again.
    std::size_t at = waitForBias(viewer, 4, [](int) { return true; });
    ASSERT_NE(at, 0u) << viewer.output() << host.output();
    int peak = hostBiases(viewer.output())[at - 1];
    ASSERT_GT(peak, 0) << "the free link already runs at the lowest bias";

    const test::ProcessResult squeeze =
        net.run(net.machine(), {"tc", "qdisc", "add", "dev", "m0", "root", "tbf", "rate", "1mbit",
                                "burst", "16kb", "latency", "40ms"});
    if (squeeze.exitCode != 0) GTEST_SKIP() << "tc cannot shape the link: " << squeeze.output;
    const std::size_t squeezedFrom = decodedCounts(viewer.output()).size();
    at = waitForBias(viewer, at, [&](int bias) {
        peak = std::max(peak, bias);
        return bias < peak;
    });
    ASSERT_NE(at, 0u) << "squeezed, yet the bias did not go down: " << viewer.output()
                      << host.output();
    // The picture keeps moving on the squeezed link, also before the balance has moved: the first
    // two status lines give the rate controller time to find the link, then every further line
    // (one a second, at least six in all) must count new pictures.
    while (viewer.running() && decodedCounts(viewer.output()).size() < squeezedFrom + 6) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    const std::vector<long> decoded = decodedCounts(viewer.output());
    ASSERT_GE(decoded.size(), squeezedFrom + 6) << viewer.output();
    const std::size_t lines = decoded.size() - 1 - (squeezedFrom + 2);
    EXPECT_GE(decoded.back() - decoded[squeezedFrom + 2], static_cast<long>(5 * lines))
        << "the picture froze on the squeezed link: " << viewer.output() << host.output();

    ASSERT_EQ(net.run(net.machine(), {"tc", "qdisc", "del", "dev", "m0", "root"}).exitCode, 0);
    int trough = hostBiases(viewer.output())[at - 1];
    at = waitForBias(viewer, at, [&](int bias) {
        trough = std::min(trough, bias);
        return bias > trough;
    });
    EXPECT_NE(at, 0u) << "released, yet the bias did not go up: " << viewer.output()
                      << host.output();
}

}  // namespace
}  // namespace vel
