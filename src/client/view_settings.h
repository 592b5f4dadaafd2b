#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client/client_options.h"
#include "client/typed_text.h"
#include "stream/control_messages.h"
#include "stream/endpoint.h"
#include "stream/network_emulation.h"
#include "stream/stream_keys.h"

namespace vel::client {

// `view` as checked from its options.
struct ViewSettings {
    stream::SessionTicket ticket;  // connection id and keys from the development secret
    bool headless = false;  // decode and measure without a window
    bool listen = false;  // wait for the host on port; otherwise dial candidates
    std::uint16_t port = 0;
    std::vector<stream::Endpoint> candidates;
    std::uint64_t frames = 0;  // 0: until the session ends
    std::string out;           // Y4M file of the decoded frames
    std::vector<Keystroke> keystrokes;
    std::vector<std::pair<int, int>> clicks;  // host screen pixels
    stream::ViewerScreen screen{1920, 1080, 60, stream::kScreenDecodesHevc};
    std::optional<stream::QualityRequest> quality;
    std::string audioOut;    // empty: default sink; "none": measured only
    bool software = false;   // software decoding only
    int timeoutSeconds = 0;  // 0: none
    stream::NetworkEmulation emulation;
};

// False with a sentence naming the option at fault.
[[nodiscard]] bool ParseViewSettings(const ClientOptions& options, ViewSettings& out,
                                     std::string& error);

}  // namespace vel::client
