#include "dev_listen_glass.h"

#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "glass_counter.h"
#include "stream/stream_keys.h"
#include "support/background_process.h"
#include "support/xvfb.h"
#include "viewer/viewer_engine.h"

namespace vel::bench {

namespace {
const char* kPsk = "0b1e55ed0b1e55ed0b1e55ed0b1e55ed";
}

bool MeasureDevListenGlass(const std::string& velmora, const DevListenRun& run,
                           GlassFigures& out, std::string& error) {
    test::Xvfb xvfb;
    if (!xvfb.start(run.width, run.height, error)) return false;
    CounterPainter painter(xvfb.display(), run.width, run.height);
    const std::string port = std::to_string(17000 + (getpid() % 1000) + run.width % 7 + run.bias % 3);
    test::BackgroundProcess host;
    if (!host.start({velmora, "stream", "dev-listen", "--psk", kPsk, "--port", port, "--no-audio",
                     "--no-input", "--manual", "--bias", std::to_string(run.bias), "--encoder",
                     "mf-sw"})) {
        error = "dev-listen did not start";
        return false;
    }
    stream::SessionTicket ticket;
    if (!stream::deriveDevTicket(kPsk, ticket, error)) return false;

    std::mutex mutex;
    std::vector<double> latencies;  // guarded by mutex
    std::atomic<bool> measuring{false};
    std::atomic<std::uint64_t> unread{0};
    viewer::ViewerOptions options;
    options.session.connId = ticket.connId;
    options.session.keys = ticket.keys;
    stream::Endpoint hostAddress;
    static_cast<void>(stream::parseEndpoint("127.0.0.1:" + port, 0, hostAddress));
    options.session.candidates = {hostAddress};
    options.screen = {1920, 1080, 60, 0};
    options.audio = false;
    options.onPicture = [&](const std::shared_ptr<const viewer::ViewerPicture>& picture) {
        const std::uint32_t now = CounterNow();
        if (!measuring) return;
        if (picture->width < kCounterCodeWidth || picture->height < kCounterCodeTop + kCounterCell) {
            ++unread;
            return;
        }
        const long shown = ReadCounter([&](int x, int y) {
            return picture->pixels[static_cast<std::size_t>(y) * picture->width + x];
        });
        if (shown < 0) {
            ++unread;
            return;
        }
        const std::lock_guard lock(mutex);
        latencies.push_back(CounterAge(now, static_cast<std::uint32_t>(shown)));
    };
    viewer::ViewerEngine engine;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let dev-listen bind
    if (!engine.start(options, error)) return false;
    std::this_thread::sleep_for(run.settle);
    const std::uint64_t framesBefore = engine.stats().framesDecoded;
    const double hostBefore = ProcessCpuSeconds(host.pid());
    const double ownBefore = OwnCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    measuring = true;
    std::this_thread::sleep_for(run.measure);
    measuring = false;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const viewer::ViewerStats stats = engine.stats();
    {
        const std::lock_guard lock(mutex);
        out.latenciesMs = latencies;
    }
    out.fps = static_cast<double>(stats.framesDecoded - framesBefore) / seconds;
    out.hostCpuPct = 100 * (ProcessCpuSeconds(host.pid()) - hostBefore) / seconds;
    out.viewerCpuPct = 100 * (OwnCpuSeconds() - ownBefore) / seconds;
    out.unread = unread.load();
    out.skipped = stats.framesSkipped + stats.framesOverrun;
    engine.stop();
    static_cast<void>(host.interrupt());
    if (out.latenciesMs.empty()) {
        error = "no decoded picture showed a readable counter";
        return false;
    }
    return true;
}

}  // namespace vel::bench
