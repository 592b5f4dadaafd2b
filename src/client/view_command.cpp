#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "client/client_commands.h"
#include "client/command_support.h"
#include "client/stream_window.h"
#include "client/view_settings.h"
#include "client/y4m_writer.h"
#include "core/time.h"
#include "os/stop_signals.h"
#include "viewer/decoder_selection.h"
#include "viewer/viewer_engine.h"

namespace vel::client {
namespace {

constexpr std::uint16_t kAbsoluteMax = 65535;
// Input goes out right after the first picture; this long is left for it to reach the host
// before a run that has its frames hangs up.
constexpr auto kInputGrace = std::chrono::milliseconds(500);

// What the headless viewer does with each picture: counts it and writes the first N.
class PictureSink {
  public:
    PictureSink(std::uint64_t wanted, Y4mWriter* writer) : wanted_(wanted), writer_(writer) {}

    void take(const viewer::ViewerPicture& picture) {
        std::lock_guard lock(mutex_);
        if (wanted_ != 0 && count_ >= wanted_) return;
        ++count_;
        if (writer_ && error_.empty() && !writer_->write(picture, error_)) {
            changed_.notify_all();
            return;
        }
        if (wanted_ != 0 && count_ >= wanted_) changed_.notify_all();
    }

    // Waits up to the timeout for all wanted pictures (or a write error); true when done.
    bool waitDone(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return done(); });
    }

    std::uint64_t count() const {
        std::lock_guard lock(mutex_);
        return count_;
    }
    std::string error() const {
        std::lock_guard lock(mutex_);
        return error_;
    }

  private:
    bool done() const { return !error_.empty() || (wanted_ != 0 && count_ >= wanted_); }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t wanted_;
    Y4mWriter* writer_;
    std::uint64_t count_ = 0;  // guarded by mutex_
    std::string error_;        // guarded by mutex_
};

std::uint16_t toAbsolute(int pixel, int size) {
    if (size <= 1) return 0;
    const long value = static_cast<long>(pixel) * kAbsoluteMax / (size - 1);
    return static_cast<std::uint16_t>(std::clamp<long>(value, 0, kAbsoluteMax));
}

void sendInput(viewer::ViewerEngine& engine, const ViewSettings& settings,
               const viewer::ViewerPicture& first) {
    for (const Keystroke& key : settings.keystrokes) {
        static_cast<void>(engine.sendKey(key.scanCode, key.down, false));
    }
    for (const auto& [x, y] : settings.clicks) {
        static_cast<void>(
            engine.sendPointerAbsolute(toAbsolute(x, first.width), toAbsolute(y, first.height)));
        static_cast<void>(engine.sendButton(1, true));
        static_cast<void>(engine.sendButton(1, false));
    }
}

void printStatus(const viewer::ViewerStats& stats, const viewer::ViewerPicture* latest) {
    std::printf(
        "viewer | %dx%d %s | frames %llu decoded, %llu skipped, %llu given up | dec %.1f ms | "
        "rtt %.1f ms",
        latest ? latest->width : 0, latest ? latest->height : 0,
        stats.decoder.empty() ? "-" : stats.decoder.c_str(),
        static_cast<unsigned long long>(stats.framesDecoded),
        static_cast<unsigned long long>(stats.framesSkipped + stats.framesOverrun),
        static_cast<unsigned long long>(stats.session.framesGivenUp), stats.decodeMs,
        stats.session.smoothedRtt / 1000.0);
    if (stats.host) {
        std::printf(" | host bias %u, %.1f Mbit/s, enc %.1f ms, %u fps", stats.host->bias,
                    stats.host->targetKbps / 1000.0, stats.host->encodeUs / 1000.0,
                    stats.host->framesSent);
    }
    std::printf(" | audio %llu blocks\n", static_cast<unsigned long long>(stats.audio.blocks));
    std::fflush(stdout);
}

void printSummary(const viewer::ViewerStats& stats, std::uint64_t pictures) {
    std::printf(
        "frames: %llu decoded, %llu kept, %llu skipped, %llu overrun, %llu given up, "
        "%llu undecodable, %llu keyframe requests; decoder %s\n",
        static_cast<unsigned long long>(stats.framesDecoded),
        static_cast<unsigned long long>(pictures),
        static_cast<unsigned long long>(stats.framesSkipped),
        static_cast<unsigned long long>(stats.framesOverrun),
        static_cast<unsigned long long>(stats.session.framesGivenUp),
        static_cast<unsigned long long>(stats.decodeFailures),
        static_cast<unsigned long long>(stats.keyframeRequests),
        stats.decoder.empty() ? "none" : stats.decoder.c_str());
    std::printf("audio: %llu blocks, %llu audible, peak %.1f dBFS, %s\n",
                static_cast<unsigned long long>(stats.audio.blocks),
                static_cast<unsigned long long>(stats.audio.audibleBlocks), stats.audio.peakRmsDbfs,
                stats.audio.playback.empty() ? "off" : stats.audio.playback.c_str());
}

// The engine's options for a development stream.
viewer::ViewerOptions engineOptionsFor(const ViewSettings& settings) {
    viewer::ViewerOptions engineOptions;
    engineOptions.session.connId = settings.ticket.connId;
    engineOptions.session.keys = settings.ticket.keys;
    engineOptions.session.localPort = settings.port;
    engineOptions.session.candidates = settings.candidates;
    // A listening viewer waits as long as dev-listen does; a dialling one gives up like a host.
    if (settings.listen) engineOptions.session.handshakeTimeoutMs = 86'400'000;
    engineOptions.session.emulation = settings.emulation;
    engineOptions.screen = settings.screen;
    engineOptions.decodeMode = settings.software ? viewer::kDecodeSoftwareOnly : 0;
    engineOptions.audioDevice = settings.audioOut;
    return engineOptions;
}

}  // namespace

int RunView(const ClientOptions& options, ClientEnvironment& environment) {
    if (!options.operands.empty()) return RunGateView(options, environment);
    ViewSettings settings;
    std::string error;
    if (!ParseViewSettings(options, settings, error)) return Fail(error);
    const stream::SessionTicket& ticket = settings.ticket;
    if (!settings.headless) {
        std::printf(
            "WARNING: development mode - keys come from a pre-shared secret, not from FIDO.\n");
        std::fflush(stdout);
        StreamWindowResult result;
        if (!ViewInWindow(engineOptionsFor(settings),
                          settings.quality.value_or(stream::QualityRequest{}),
                          "Velmora - development stream", options.fullscreen, result, error)) {
            return Fail(error);
        }
        if (result.end == WindowEnd::SessionEnded) {
            std::printf("session ended: %s\n", result.endReason.c_str());
        }
        return 0;
    }

    Y4mWriter writer;
    if (!settings.out.empty() && !writer.open(settings.out, error)) return Fail(error);
    PictureSink sink(settings.frames, settings.out.empty() ? nullptr : &writer);

    std::atomic<bool> stopRequested{false};
    StopSignals signals([&] { stopRequested = true; });

    viewer::ViewerOptions engineOptions = engineOptionsFor(settings);
    engineOptions.onPicture = [&](const std::shared_ptr<const viewer::ViewerPicture>& picture) {
        sink.take(*picture);
    };
    viewer::ViewerEngine engine;
    if (!engine.start(engineOptions, error)) return Fail("start failed: " + error);
    if (settings.quality) static_cast<void>(engine.requestQuality(*settings.quality));
    std::printf("WARNING: development mode - keys come from a pre-shared secret, not from FIDO.\n");
    std::printf("velmora-client view: %s (conn %08X). Ctrl+C stops.\n",
                settings.listen
                    ? ("waiting for the host on UDP port " + std::to_string(settings.port)).c_str()
                    : ("dialling " + options.dial).c_str(),
                ticket.connId);
    std::fflush(stdout);

    const std::int64_t started = MonotonicMicros();
    std::int64_t lastStatus = started;
    std::int64_t inputSentAt = 0;
    bool inputSent = settings.keystrokes.empty() && settings.clicks.empty();
    bool timedOut = false;
    while (!stopRequested && !engine.finished()) {
        const bool done = sink.waitDone(std::chrono::milliseconds(20));
        const std::int64_t now = MonotonicMicros();
        if (!inputSent) {
            if (const auto first = engine.latestPicture()) {
                sendInput(engine, settings, *first);
                inputSent = true;
                inputSentAt = now;
            }
        }
        if (done && inputSent &&
            now - inputSentAt >= std::chrono::microseconds(kInputGrace).count()) {
            break;
        }
        if (now - lastStatus >= 1'000'000) {
            lastStatus = now;
            const auto latest = engine.latestPicture();
            printStatus(engine.stats(), latest.get());
        }
        if (settings.timeoutSeconds > 0 && now - started >= settings.timeoutSeconds * 1'000'000LL) {
            timedOut = true;
            break;
        }
    }
    const bool ended = engine.finished();
    engine.stop();
    const viewer::ViewerStats stats = engine.stats();
    printSummary(stats, sink.count());
    std::string writeError = sink.error();
    if (writeError.empty()) static_cast<void>(writer.close(writeError));
    if (!writeError.empty()) return Fail(writeError);
    if (!settings.out.empty()) {
        std::printf("wrote %llu frames to %s", static_cast<unsigned long long>(writer.written()),
                    settings.out.c_str());
        if (writer.otherSize() > 0) {
            std::printf(" (%llu of another size left out)",
                        static_cast<unsigned long long>(writer.otherSize()));
        }
        std::printf("\n");
    }
    const bool complete = settings.frames == 0 || sink.count() >= settings.frames;
    if (timedOut && !complete) {
        return Fail("no " + std::to_string(settings.frames) + " frames within " +
                    std::to_string(settings.timeoutSeconds) + " s");
    }
    if (ended && !complete) return Fail("session ended: " + stats.endReason);
    if (ended) std::printf("session ended: %s\n", stats.endReason.c_str());
    return 0;
}

}  // namespace vel::client
