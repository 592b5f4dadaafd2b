// Glass-to-glass latency of a whole stream on loopback: this program paints a millisecond counter
// as a bar code onto a private Xvfb, the real `velmora stream dev-listen` captures, encodes (x264)
// and sends it, and the viewer engine in this program decodes it and reads the counter back from
// the picture. Latency = the clock when a picture is decoded minus the clock it shows. Display
// (a window's presentation) is not included: the engine hands pictures out undisplayed.
// Reported: p50 as the figure, p95, frames per second decoded, and the CPU of the host process
// and of this process (viewer engine plus the painter) in percent of one core.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "core/time.h"
#include "stream/stream_keys.h"
#include "support/background_process.h"
#include "support/xvfb.h"
#include "viewer/viewer_engine.h"

// Last: Xlib's macros would break the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

constexpr int kBits = 20;
constexpr int kCell = 24;                      // bar code cell, pixels
constexpr int kCodeWidth = 2 * kBits * kCell;  // the counter and its complement
constexpr int kCodeTop = 8;
constexpr auto kRun = std::chrono::seconds(12);
constexpr auto kSettle = std::chrono::seconds(3);
const char* kPsk = "0b1e55ed0b1e55ed0b1e55ed0b1e55ed";

std::uint32_t nowMs() {
    return static_cast<std::uint32_t>(vel::MonotonicMicros() / 1000) & ((1u << kBits) - 1);
}

// Paints the counter every millisecond, and a square that moves every frame of a 60 Hz desktop
// so the encoder has motion to code, until stopped.
class Painter {
  public:
    Painter(int width, int height) : width_(width), height_(height) {
        thread_ = std::thread([this] { run(); });
    }
    ~Painter() {
        stop_ = true;
        thread_.join();
    }

  private:
    void run() {
        Display* display = XOpenDisplay(nullptr);
        if (!display) return;
        const Window root = DefaultRootWindow(display);
        GC gc = XCreateGC(display, root, 0, nullptr);
        XSetForeground(display, gc, 0x406080);
        XFillRectangle(display, root, gc, 0, 0, width_, height_);
        std::vector<std::uint8_t> code(static_cast<std::size_t>(kCodeWidth) * kCell * 4);
        XImage* image = XCreateImage(display, DefaultVisual(display, 0), 24, ZPixmap, 0,
                                     reinterpret_cast<char*>(code.data()), kCodeWidth, kCell, 32,
                                     kCodeWidth * 4);
        std::uint32_t last = ~0u;
        int step = 0;
        auto nextMove = std::chrono::steady_clock::now();
        while (!stop_) {
            const std::uint32_t ms = nowMs();
            if (ms != last) {
                last = ms;
                for (int bit = 0; bit < 2 * kBits; ++bit) {
                    const bool one = bit < kBits ? (ms >> (kBits - 1 - bit)) & 1
                                                 : !((ms >> (2 * kBits - 1 - bit)) & 1);
                    for (int y = 0; y < kCell; ++y) {
                        std::uint8_t* row =
                            code.data() +
                            (static_cast<std::size_t>(y) * kCodeWidth + bit * kCell) * 4;
                        std::fill(row, row + kCell * 4, one ? 255 : 0);
                    }
                }
                // One request, so a capture sees the whole code of one millisecond.
                XPutImage(display, root, gc, image, 0, 0, 0, kCodeTop, kCodeWidth, kCell);
            }
            if (std::chrono::steady_clock::now() >= nextMove) {
                nextMove += std::chrono::microseconds(16667);
                const int x = (step * 8) % (width_ - 320);
                XSetForeground(display, gc, 0x406080);
                XFillRectangle(display, root, gc, 0, 100, width_, 320);
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

    int width_;
    int height_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The counter a decoded NV12 picture shows, or -1 when its code does not read.
long readCounter(const vel::viewer::ViewerPicture& picture) {
    if (picture.width < kCodeWidth || picture.height < kCodeTop + kCell) return -1;
    long value = 0;
    for (int bit = 0; bit < 2 * kBits; ++bit) {
        const int x = bit * kCell + kCell / 2;
        const int y = kCodeTop + kCell / 2;
        const bool one = picture.pixels[static_cast<std::size_t>(y) * picture.width + x] > 125;
        if (bit < kBits) {
            value = value << 1 | (one ? 1 : 0);
        } else if (one == (((value >> (2 * kBits - 1 - bit)) & 1) != 0)) {
            return -1;
        }
    }
    return value;
}

double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
    double user = 0, system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ownCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> samples, double p) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const auto at = std::min(samples.size() - 1, static_cast<std::size_t>(samples.size() * p));
    return samples[at];
}

void glassToGlass(benchmark::State& state, int width, int height) {
    vel::test::Xvfb xvfb;
    std::string error;
    if (!xvfb.start(width, height, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    Painter painter(width, height);
    const std::string port = std::to_string(17000 + (getpid() % 1000) + width % 7);
    vel::test::BackgroundProcess host;
    if (!host.start({VELMORA_BINARY_PATH, "stream", "dev-listen", "--psk", kPsk, "--port", port,
                     "--no-audio", "--no-input", "--manual", "--bias", "50", "--encoder",
                     "mf-sw"})) {
        state.SkipWithError("dev-listen did not start");
        return;
    }

    vel::stream::SessionTicket ticket;
    if (!vel::stream::deriveDevTicket(kPsk, ticket, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::mutex mutex;
    std::vector<double> latencies;  // guarded by mutex
    std::atomic<bool> measuring{false};
    std::atomic<std::uint64_t> unread{0};
    vel::viewer::ViewerOptions options;
    options.session.connId = ticket.connId;
    options.session.keys = ticket.keys;
    vel::stream::Endpoint hostAddress;
    static_cast<void>(vel::stream::parseEndpoint("127.0.0.1:" + port, 0, hostAddress));
    options.session.candidates = {hostAddress};
    options.screen = {1920, 1080, 60, 0};
    options.audio = false;
    options.onPicture = [&](const std::shared_ptr<const vel::viewer::ViewerPicture>& picture) {
        const std::uint32_t now = nowMs();
        const long shown = readCounter(*picture);
        if (!measuring) return;
        if (shown < 0) {
            ++unread;
            return;
        }
        const std::uint32_t age = (now - static_cast<std::uint32_t>(shown)) & ((1u << kBits) - 1);
        const std::lock_guard lock(mutex);
        latencies.push_back(age);
    };
    vel::viewer::ViewerEngine engine;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let dev-listen bind
    if (!engine.start(options, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    for (auto _ : state) {
        std::this_thread::sleep_for(kSettle);
        const std::uint64_t framesBefore = engine.stats().framesDecoded;
        const double hostBefore = cpuSeconds(host.pid());
        const double ownBefore = ownCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        measuring = true;
        std::this_thread::sleep_for(kRun);
        measuring = false;
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const vel::viewer::ViewerStats stats = engine.stats();
        std::vector<double> samples;
        {
            const std::lock_guard lock(mutex);
            samples = latencies;
        }
        if (samples.empty()) {
            state.SkipWithError("no decoded picture showed a readable counter");
            break;
        }
        const double p50 = percentile(samples, 0.5);
        state.SetIterationTime(p50 / 1000);
        state.counters["p95_ms"] = percentile(samples, 0.95);
        state.counters["fps"] = static_cast<double>(stats.framesDecoded - framesBefore) / seconds;
        state.counters["host_cpu_pct"] = 100 * (cpuSeconds(host.pid()) - hostBefore) / seconds;
        state.counters["viewer_cpu_pct"] = 100 * (ownCpuSeconds() - ownBefore) / seconds;
        state.counters["unread"] = static_cast<double>(unread.load());
        state.counters["skipped"] = static_cast<double>(stats.framesSkipped + stats.framesOverrun);
    }
    engine.stop();
    static_cast<void>(host.interrupt());
}

BENCHMARK_CAPTURE(glassToGlass, 720p, 1280, 720)
    ->Name("glass-to-glass p50, 1280x720 60 fps x264")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(glassToGlass, 1080p, 1920, 1080)
    ->Name("glass-to-glass p50, 1920x1080 60 fps x264")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
