#include <openssl/crypto.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "host/host_streamer.h"
#include "host/stream_commands.h"
#include "os/log.h"
#include "stream/endpoint.h"
#include "stream/launch_params.h"

namespace vel::host {
namespace {

constexpr std::size_t kReadChunk = 4096;
constexpr std::size_t kMaxInput = 65536;
constexpr std::uint16_t kDefaultPeerPort = 7441;

// Everything on standard input up to its end, a read error, or just past the limit.
std::string readStandardInput() {
    std::string text;
    char chunk[kReadChunk];
    while (text.size() <= kMaxInput) {
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(chunk, static_cast<std::size_t>(got));
    }
    OPENSSL_cleanse(chunk, sizeof chunk);
    return text;
}

HostOptions hostOptionsFrom(const stream::LaunchParams& params) {
    HostOptions options;
    options.role = params.role;
    options.connId = params.connId;
    options.keys = params.keys;
    options.localPort = params.localPort;
    options.handshakeTimeoutMs = params.handshakeTimeoutMs;
    for (const std::string& text : params.candidates) {
        stream::Endpoint endpoint;
        if (stream::parseEndpoint(text, kDefaultPeerPort, endpoint))
            options.candidates.push_back(endpoint);
    }
    options.bias = params.bias;
    options.automatic = params.automatic;
    options.maxFps = params.maxFps;
    options.maxBitrate = params.maxBitrate;
    options.audio = params.audio;
    options.microphoneOutDevice = params.microphone ? params.microphoneOutDevice : "none";
    options.injectInput = params.injectInput;
    options.allowHardware = params.allowHardware;
    options.encoder = parseEncoderBackend(params.encoder);
    return options;
}

// The X display stands where Windows has its input desktop.
std::string inputDesktopName() {
    const char* display = std::getenv("DISPLAY");
    return display ? display : "";
}

}  // namespace

int serveCommand() {
    std::string input = readStandardInput();
    stream::LaunchParams params;
    std::string error;
    const bool parsed = stream::parseLaunchParams(input, params, error);
    if (!input.empty()) OPENSSL_cleanse(input.data(), input.size());
    if (parsed && params.role != stream::kRoleHost) error = "role must be host";
    if (!parsed || params.role != stream::kRoleHost) {
        Log(LogLevel::Error, "serve: bad launch parameters: %s", error.c_str());
        return 1;
    }
    const HostOptions options = hostOptionsFrom(params);
    const bool asSystem = ::geteuid() == 0;
    Log(LogLevel::Info, "serve: session %08X on UDP %u, %zu candidate(s), bias %d%s, desktop '%s', %s",
        options.connId, options.localPort, options.candidates.size(), options.bias,
        options.automatic ? " auto" : "", inputDesktopName().c_str(),
        asSystem ? "as SYSTEM" : "as a user");

    HostStreamer streamer;
    if (!streamer.start(options, error)) {
        Log(LogLevel::Error, "serve: start failed: %s", error.c_str());
        return 1;
    }
    while (!streamer.finished()) std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const HostStats stats = streamer.stats();
    streamer.stop();
    Log(LogLevel::Info, "serve: session over (%s), %llu frames, %llu inputs", stats.endReason.c_str(),
        static_cast<unsigned long long>(stats.framesSent),
        static_cast<unsigned long long>(stats.inputsInjected));
    return 0;
}

}  // namespace vel::host
