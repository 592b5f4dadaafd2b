#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stream/stream_keys.h"

namespace vel::stream {

// Everything a stream agent is started with, as one JSON object on its standard input. The
// last seven members serve a viewer process; a host carries them unused.
struct LaunchParams {
    std::uint8_t role = 2;  // 1 host, 2 viewer
    std::uint32_t connId = 0;
    SessionKeys keys;  // both directions, required
    std::uint16_t localPort = 0;
    std::vector<std::string> candidates;  // endpoint texts, as given
    std::uint32_t handshakeTimeoutMs = 20000;
    int bias = 50;  // 0..100
    bool automatic = true;
    std::uint32_t maxFps = 0;      // 0: no cap
    std::uint64_t maxBitrate = 0;  // bits per second, 0: no cap
    bool audio = true;
    bool microphone = false;
    std::string microphoneOutDevice;
    bool injectInput = true;
    bool allowHardware = true;
    std::string encoder = "auto";  // "auto", "nvenc", "mf-hw" or "mf-sw"
    std::string decoder = "auto";
    bool fullscreen = false;
    bool startCaptured = false;
    bool fitDisplay = false;
    bool vsync = false;
    std::string title;
    std::string language;
};

// One compact JSON object with every member, keys in lower-case hex. The text holds the session
// keys: the caller wipes it once it has been handed over.
std::string serializeLaunchParams(const LaunchParams& params);

// Starts from the defaults and reads what the text gives. False with "launch parameters are
// not a JSON object", "role must be host or viewer" or "session keys are malformed".
[[nodiscard]] bool parseLaunchParams(const std::string& text, LaunchParams& params,
                                     std::string& error);

}  // namespace vel::stream
