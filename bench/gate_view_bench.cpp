// The stream as a user gets it: the real gate in a network namespace of its own (set up as setup
// installs it, a key enrolled with the software authenticator), `velmora-client-softkey view`
// in another namespace showing the stream in its SDL window on an Xvfb of its own.
//
// - Glass to glass: the counter of glass_counter.h painted on the host's Xvfb is read back from
//   the viewer's window on the viewer's display (XGetImage of the code's middle row, polled every
//   millisecond); a sample is the clock when a new counter first shows in the window minus the
//   clock it shows, so capture, encoding, the network, decoding, the window's upload and its
//   presentation are all in it. Reported beside the same stream from `stream dev-listen` read
//   from the decoded picture (no window) in the same run.
// - Time to the first picture: from starting `view` to the first readable counter in the window,
//   over a few runs, split at the key prompt (the gate's hello and challenge are done) and at the
//   stream's line (assertion, sign-in, stream open and the agent's start are done).
//
// Needs root (network namespaces) and Xvfb; skipped otherwise.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "bench_figures.h"
#include "dev_listen_glass.h"
#include "glass_counter.h"
#include "os/files.h"
#include "os/paths.h"
#include "support/background_process.h"
#include "support/http_client.h"
#include "support/process.h"
#include "support/stand_in_systemd.h"
#include "support/temp_dir.h"
#include "support/test_network.h"
#include "support/xvfb.h"

// Last: Xlib's macros would break the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace vel::bench {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kGatePort = 7440;
constexpr int kFirstPictureRuns = 5;

double msSince(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double, std::milli>(end - start).count();
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit,
               std::chrono::milliseconds step = 200ms) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(step);
    }
}

// The process id of the running stream agent (`velmora stream serve`), 0 when there is none.
pid_t streamAgent() {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return 0;
    pid_t found = 0;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) continue;
        std::ifstream in("/proc/" + std::string(entry->d_name) + "/cmdline");
        const std::string line((std::istreambuf_iterator<char>(in)), {});
        if (line.find(std::string("stream\0serve\0", 13)) != std::string::npos) {
            found = pid;
            break;
        }
    }
    closedir(proc);
    return found;
}

// The gate on the machine's namespace with a key enrolled; the viewer's namespace beside it.
class GateRig {
  public:
    // Host desktop and viewer display both of width x height.
    bool start(int width, int height, std::string& error) {
        const std::string unavailable = test::PrepareEnforcingNetwork(net_);
        if (!unavailable.empty()) return fail(error, unavailable);
        if (!hostScreen_.start(width, height, error)) return false;
        if (!viewerScreen_.start(width, height, error)) return false;
        systemd_.addUnit("xrdp.service", true, false);
        const test::ProcessResult setup = velmora({"setup"});
        if (setup.exitCode != 0) return fail(error, "setup failed: " + setup.output);
        const bool up = waitUntil(
            [this] {
                test::HttpReply reply;
                test::TestNetwork::RunIn(net_.client(0), [&] {
                    reply = test::HttpsRequestTo(gate(), kGatePort, "POST", "/v1/hello", "{}");
                });
                return reply.status == 200;
            },
            10s);
        if (!up) return fail(error, "the gate did not answer: " + systemd_.serviceOutput());
        const test::ProcessResult issued = velmora({"code"});
        const std::string label = "  Enrollment code: ";
        const std::size_t at = issued.output.find(label);
        if (issued.exitCode != 0 || at == std::string::npos) {
            return fail(error, "no enrollment code: " + issued.output);
        }
        const std::string code = issued.output.substr(at + label.size(), 14);
        if (!WriteFileAtomic(home_.file("key.json"), "{\"pin\":\"\"}")) {
            return fail(error, "cannot write the key's state");
        }
        const test::ProcessResult enrolled =
            test::RunProcess(clientArgs({"enroll", gate(), code}), clientEnv());
        if (enrolled.exitCode != 0) return fail(error, "enroll failed: " + enrolled.output);
        return true;
    }

    const std::string& hostDisplay() const { return hostScreen_.display(); }
    const std::string& viewerDisplay() const { return viewerScreen_.display(); }

    [[nodiscard]] bool startView(test::BackgroundProcess& viewer, int bias) const {
        return viewer.start(clientArgs({"view", gate(), "--manual", "--bias",
                                        std::to_string(bias), "--audio-out", "none"}),
                            clientEnv());
    }

    // The gate's and the agent's logs, for an error's message.
    std::string logs() const {
        std::string gateLog;
        std::string agentLog;
        const std::string data = JoinPath(programData_.path(), "Velmora");
        static_cast<void>(ReadFileText(JoinPath(data, "gate.log"), gateLog));
        static_cast<void>(ReadFileText(JoinPath(data, "VelmoraHost.log"), agentLog));
        return "gate: " + gateLog.substr(gateLog.size() > 2000 ? gateLog.size() - 2000 : 0) +
               "\nagent: " + agentLog.substr(agentLog.size() > 2000 ? agentLog.size() - 2000 : 0);
    }

  private:
    static bool fail(std::string& error, const std::string& why) {
        error = why;
        return false;
    }

    std::string gate() const { return net_.machineAddress(0); }

    test::ProcessResult velmora(std::vector<std::string> args) const {
        args.insert(args.begin(), VELMORA_BINARY_PATH);
        std::vector<std::string> env = systemd_.environment();
        env.push_back("PROGRAMDATA=" + programData_.path());
        env.push_back("INVOCATION_ID=");
        env.push_back("DISPLAY=" + hostScreen_.display());
        return net_.run(net_.machine(), args, env);
    }

    std::vector<std::string> clientArgs(std::vector<std::string> args) const {
        std::vector<std::string> argv = net_.execIn(net_.client(0));
        argv.push_back(VELMORA_SOFTKEY_CLIENT);
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    std::vector<std::string> clientEnv() const {
        return {"VELMORA_TEST_KEY=" + home_.file("key.json"),
                "XDG_CONFIG_HOME=" + home_.file("config"), "PATH=/usr/bin:/bin",
                "DISPLAY=" + viewerScreen_.display()};
    }

    test::TestNetwork net_{{"10.239.1"}};
    test::TempDir programData_;
    test::TempDir home_;
    test::StandInSystemd systemd_;
    test::Xvfb hostScreen_;
    test::Xvfb viewerScreen_;
};

// Reads the counter out of the viewer's window, as the screen shows it.
class WindowCounter {
  public:
    WindowCounter(const std::string& display, int width, int height)
        : display_(XOpenDisplay(display.c_str())), width_(width), height_(height) {
        // A window that changes while it is read gives an error reply, not the end of the run.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    }
    ~WindowCounter() {
        if (display_ != nullptr) XCloseDisplay(display_);
    }
    WindowCounter(const WindowCounter&) = delete;
    WindowCounter& operator=(const WindowCounter&) = delete;

    bool ok() const { return display_ != nullptr; }

    // The counter the window shows now; -1 when there is no window of the picture's size yet or
    // its code does not read.
    long read() {
        if (!placed_ && !place()) return -1;
        XImage* image =
            XGetImage(display_, DefaultRootWindow(display_), x_,
                      y_ + kCounterCodeTop + kCounterCell / 2, kCounterCodeWidth, 1, AllPlanes,
                      ZPixmap);
        if (image == nullptr) {
            placed_ = false;
            return -1;
        }
        const long value = ReadCounter([&](int x, int) {
            const unsigned long p = XGetPixel(image, x, 0);
            return static_cast<int>((54 * ((p >> 16) & 0xFF) + 183 * ((p >> 8) & 0xFF) +
                                     19 * (p & 0xFF)) >> 8);
        });
        XDestroyImage(image);
        if (value < 0 && ++misses_ > 100) placed_ = false;  // moved or resized: look again
        if (value >= 0) misses_ = 0;
        return value;
    }

  private:
    // Finds a mapped top-level window of the picture's size and where it lies on the screen.
    bool place() {
        Window root = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned count = 0;
        if (XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count) ==
            0) {
            return false;
        }
        for (unsigned i = 0; i < count && !placed_; ++i) {
            XWindowAttributes a;
            Window child = 0;
            if (XGetWindowAttributes(display_, children[i], &a) != 0 &&
                a.map_state == IsViewable && a.width == width_ && a.height == height_ &&
                XTranslateCoordinates(display_, children[i], root, 0, 0, &x_, &y_, &child) != 0) {
                placed_ = true;
                misses_ = 0;
            }
        }
        if (children != nullptr) XFree(children);
        return placed_;
    }

    Display* display_;
    int width_;
    int height_;
    bool placed_ = false;
    int x_ = 0;
    int y_ = 0;
    int misses_ = 0;
};

// Glass to glass through the gate into the viewer's window.
void gateWindow(benchmark::State& state, int width, int height, int bias) {
    for (auto _ : state) {
        std::string error;
        GateRig rig;
        if (!rig.start(width, height, error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        CounterPainter painter(rig.hostDisplay(), width, height);
        WindowCounter window(rig.viewerDisplay(), width, height);
        test::BackgroundProcess viewer;
        if (!window.ok() || !rig.startView(viewer, bias)) {
            state.SkipWithError("the viewer did not start");
            break;
        }
        if (!waitUntil([&] { return window.read() >= 0; }, 30s)) {
            const std::string why = "the window showed no counter: " + viewer.output() + "\n" +
                                    rig.logs();
            state.SkipWithError(why.c_str());
            break;
        }
        std::this_thread::sleep_for(3s);
        const pid_t agent = streamAgent();
        const double agentBefore = agent > 0 ? ProcessCpuSeconds(agent) : 0;
        const double viewerBefore = ProcessCpuSeconds(viewer.pid());
        GlassFigures figures;
        long last = -1;
        std::uint64_t shown = 0;
        std::vector<double> gaps;  // between reads: how late a new picture can be seen
        const auto start = Clock::now();
        auto previous = start;
        while (Clock::now() - start < 12s) {
            const auto read = Clock::now();
            gaps.push_back(msSince(previous, read));
            previous = read;
            const std::uint32_t now = CounterNow();
            const long value = window.read();
            if (value >= 0 && value != last) {
                last = value;
                ++shown;
                figures.latenciesMs.push_back(CounterAge(now, static_cast<std::uint32_t>(value)));
            } else if (value < 0) {
                ++figures.unread;
            }
            std::this_thread::sleep_for(1ms);
        }
        const double seconds = msSince(start, Clock::now()) / 1000;
        figures.fps = static_cast<double>(shown) / seconds;
        if (agent > 0) figures.hostCpuPct = 100 * (ProcessCpuSeconds(agent) - agentBefore) / seconds;
        figures.viewerCpuPct = 100 * (ProcessCpuSeconds(viewer.pid()) - viewerBefore) / seconds;
        static_cast<void>(viewer.interrupt());
        ReportGlassFigures(state, figures);
        state.counters["read_gap_p95_ms"] = Percentile(gaps, 0.95);
    }
}

// The same stream from dev-listen, read from the decoded picture, for reference.
void devListen(benchmark::State& state, int width, int height, int bias) {
    for (auto _ : state) {
        GlassFigures figures;
        std::string error;
        if (!MeasureDevListenGlass(VELMORA_BINARY_PATH, {width, height, bias}, figures, error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        ReportGlassFigures(state, figures);
    }
}

// From starting `view` to the first picture in its window, over a few runs against one gate.
void firstPicture(benchmark::State& state) {
    constexpr int kWidth = 1280;
    constexpr int kHeight = 720;
    for (auto _ : state) {
        std::string error;
        GateRig rig;
        if (!rig.start(kWidth, kHeight, error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        CounterPainter painter(rig.hostDisplay(), kWidth, kHeight);
        std::vector<double> toPrompt, toOffer, toPicture, total;
        for (int run = 0; run < kFirstPictureRuns; ++run) {
            // The previous stream's agent must be gone, or the gate reports it busy.
            static_cast<void>(waitUntil([] { return streamAgent() == 0; }, 10s, 20ms));
            WindowCounter window(rig.viewerDisplay(), kWidth, kHeight);
            test::BackgroundProcess viewer;
            const auto start = Clock::now();
            if (!window.ok() || !rig.startView(viewer, 50)) {
                error = "the viewer did not start";
                break;
            }
            Clock::time_point prompt{}, offer{};
            const bool seen = waitUntil(
                [&] {
                    const std::string out = viewer.output();
                    if (prompt == Clock::time_point{} &&
                        out.find("touch your security key") != std::string::npos) {
                        prompt = Clock::now();
                    }
                    if (offer == Clock::time_point{} &&
                        (out.rfind("stream ", 0) == 0 || out.find("\nstream ") != std::string::npos)) {
                        offer = Clock::now();
                    }
                    return offer != Clock::time_point{} && window.read() >= 0;
                },
                30s, 1ms);
            const auto end = Clock::now();
            if (!seen || prompt == Clock::time_point{}) {
                error = "no picture in the window: " + viewer.output() + "\n" + rig.logs();
                break;
            }
            toPrompt.push_back(msSince(start, prompt));
            toOffer.push_back(msSince(prompt, offer));
            toPicture.push_back(msSince(offer, end));
            total.push_back(msSince(start, end));
            static_cast<void>(viewer.interrupt());
        }
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            break;
        }
        state.SetIterationTime(Percentile(total, 0.5) / 1000);
        state.counters["key_prompt_ms"] = Percentile(toPrompt, 0.5);
        state.counters["signin_open_ms"] = Percentile(toOffer, 0.5);
        state.counters["first_picture_ms"] = Percentile(toPicture, 0.5);
        state.counters["max_total_ms"] = Percentile(total, 1.0);
        state.counters["runs"] = static_cast<double>(total.size());
        state.counters["load"] = LoadAverage();
    }
}

void glassPair(const char* name, int width, int height, int bias) {
    benchmark::RegisterBenchmark(name, gateWindow, width, height, bias)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string(name) + " | dev-listen decoded").c_str(), devListen,
                                 width, height, bias)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

const bool registered = [] {
    glassPair("gate view window glass-to-glass p50, 1280x720 60 fps bias 50", 1280, 720, 50);
    glassPair("gate view window glass-to-glass p50, 1920x1080 30 fps bias 85", 1920, 1080, 85);
    benchmark::RegisterBenchmark("gate view start to first picture p50, 1280x720", firstPicture)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    return true;
}();

}  // namespace
}  // namespace vel::bench
