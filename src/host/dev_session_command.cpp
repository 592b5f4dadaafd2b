#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "core/version.h"
#include "host/host_streamer.h"
#include "host/stream_commands.h"
#include "host/stream_options.h"
#include "os/log.h"
#include "os/stop_signals.h"
#include "stream/emulation_option.h"
#include "stream/endpoint.h"
#include "stream/stream_keys.h"

namespace vel::host {
namespace {

constexpr std::uint16_t kDevPort = 7441;
constexpr std::uint32_t kListenHandshakeMs = 86'400'000;  // a day: wait for a viewer

void printStatus(const HostStatus& s, const HostStats& stats) {
    std::printf(
        "%s | %dx%d@%d %s %s%s%s | bias %d%s | %.1f Mbit/s loss %.1f%% rtt %.1f ms | cap %.1f "
        "conv %.1f enc %.1f ms | viewer dec %.1f e2e %.1f ms | frames %llu skipped %llu | input "
        "%llu | voice %llu\n",
        s.captureMethod.c_str(), static_cast<int>(s.profile.width),
        static_cast<int>(s.profile.height), static_cast<int>(s.profile.fps),
        s.profile.codec == 2 ? "HEVC" : "H.264", s.encoderName.c_str(), s.hardware ? " (hw)" : "",
        s.gpuPath ? " [gpu path]" : " [cpu path]", static_cast<int>(s.profile.bias),
        s.automatic ? " auto" : "", s.bitrateMbps, s.lossPercent, s.rttMs, s.captureMs,
        s.convertMs, s.encodeMs, s.viewerDecodeMs, s.viewerEndToEndMs,
        static_cast<unsigned long long>(stats.framesSent),
        static_cast<unsigned long long>(stats.framesSkipped),
        static_cast<unsigned long long>(stats.inputsInjected),
        static_cast<unsigned long long>(stats.voicePackets));
}

}  // namespace

int CmdDevSession(int argc, char** argv, bool listen) {
    StreamOptions args(argc, argv, 3);
    const std::optional<std::string> psk = args.value("--psk");
    const int port = args.number("--port", listen ? kDevPort : 0);
    const std::optional<std::string> viewer = listen ? std::nullopt : args.value("--viewer");
    HostOptions options;
    options.bias = std::clamp(args.number("--bias", 50), 0, 100);
    options.automatic = !args.flag("--manual");
    options.injectInput = !(listen && args.flag("--no-input"));
    options.audio = !(listen && args.flag("--no-audio"));
    if (listen) {
        if (auto voice = args.value("--voice-out")) options.microphoneOutDevice = *voice;
    }
    options.allowHardware = !args.flag("--software");
    if (auto encoder = args.value("--encoder")) options.encoder = parseEncoderBackend(*encoder);
    if (auto record = args.value("--record")) options.recordFile = *record;
    std::string error;
    if (auto emulate = args.value("--emulate")) {
        if (!stream::parseEmulation(*emulate, options.emulation, error)) {
            std::printf("%s\n", error.c_str());
            return 1;
        }
    }
    if (auto extra = args.unknown()) {
        std::printf("unknown option: %s\n", extra->c_str());
        return 2;
    }

    stream::SessionTicket ticket;
    if (!stream::deriveDevTicket(psk.value_or(""), ticket, error)) {
        std::printf("%s\n", error.c_str());
        return 1;
    }
    if (port < 0 || port > 65535) {
        std::printf("--port must be 0..65535\n");
        return 1;
    }
    options.role = stream::kRoleHost;
    options.connId = ticket.connId;
    options.keys = ticket.keys;
    options.localPort = static_cast<std::uint16_t>(port);
    if (listen) {
        options.handshakeTimeoutMs = kListenHandshakeMs;
    } else {
        if (!viewer) {
            std::printf("--viewer HOST:PORT is required\n");
            return 1;
        }
        options.candidates = stream::resolveEndpoints(*viewer, kDevPort);
        if (options.candidates.empty()) {
            std::printf("--viewer: cannot resolve '%s'\n", viewer->c_str());
            return 1;
        }
    }

    std::printf("WARNING: development mode - keys come from a pre-shared secret, not from FIDO.\n");
    if (options.emulation.active())
        std::printf("testing: emulating loss %.1f%%, delay %u ms, jitter %u ms, rate %llu bit/s\n",
                    options.emulation.loss * 100, options.emulation.delayMs,
                    options.emulation.jitterMs,
                    static_cast<unsigned long long>(options.emulation.rateLimit));
    std::atomic<bool> stop{false};
    StopSignals signals([&stop] { stop = true; });
    HostStreamer streamer;
    if (!streamer.start(options, error)) {
        std::printf("start failed: %s\n", error.c_str());
        return 1;
    }
    std::printf("VelmoraHost %s: %s on UDP port %u (conn %08X). Ctrl+C stops.\n", kProgramVersion,
                listen ? "waiting for a viewer" : "dialling the viewer",
                static_cast<unsigned>(streamer.localPort()), options.connId);
    Log(LogLevel::Info, "%s on UDP port %u (conn %08X)", listen ? "dev-listen" : "dev-dial",
        static_cast<unsigned>(streamer.localPort()), options.connId);

    auto next = std::chrono::steady_clock::now();
    while (!stop && !streamer.finished()) {
        next += std::chrono::milliseconds(1000);
        while (!stop && !streamer.finished() && std::chrono::steady_clock::now() < next)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const HostStatus status = streamer.status();
        if (!stop && !streamer.finished() && status.running)
            printStatus(status, streamer.stats());
    }
    streamer.stop();
    const HostStats stats = streamer.stats();
    std::printf("session ended: %s\n", stats.endReason.c_str());
    Log(LogLevel::Info, "session ended: %s", stats.endReason.c_str());
    return 0;
}

}  // namespace vel::host
