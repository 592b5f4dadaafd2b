#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/time.h"
#include "host/video_encoder.h"
#include "stream/endpoint.h"
#include "stream/network_emulation.h"
#include "stream/session.h"
#include "stream/stream_keys.h"

namespace vel::host {

// Everything one host streamer is started with.
struct HostOptions {
    std::uint8_t role = stream::kRoleViewer;  // the agent sets kRoleHost
    std::uint32_t connId = 0;
    stream::SessionKeys keys;
    std::uint16_t localPort = 0;
    std::vector<stream::Endpoint> candidates;
    std::uint32_t handshakeTimeoutMs = 10000;
    std::uint32_t silenceTimeoutMs = 8000;
    int bias = 50;
    bool automatic = true;
    std::uint32_t maxFps = 60;      // 0: none
    std::uint64_t maxBitrate = 0;   // bits per second, 0: none
    bool audio = true;
    std::string microphoneOutDevice;  // empty: the default playback device; "none": not played
    bool injectInput = true;
    bool allowHardware = true;
    EncoderBackend encoder = EncoderBackend::Auto;
    std::string recordFile;  // development: the encoded stream is also written here
    stream::NetworkEmulation emulation;  // testing only
    const Clock* clock = &SystemClock();  // paces the automatic balance
};

}  // namespace vel::host
