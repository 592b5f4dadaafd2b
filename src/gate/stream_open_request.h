#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/json.h"
#include "net/ip_address.h"

namespace vel::gate {

// A /v1/stream/open request after its checks, defaults and clamps.
struct StreamOpenRequest {
    net::IpAddress source;      // the viewer's address, from the connection
    std::string sourceAddress;  // the same, as printed
    Bytes viewerKey;            // 65-byte uncompressed P-256 point
    std::vector<std::string> candidates;  // the viewer's endpoints, as endpoint texts
    int direction = 0;  // 0 both dial, 1 only the viewer dials, 2 only the host dials
    int bias = 50;      // 0..100
    bool automatic = true;
    std::uint32_t maxFps = 0;      // 0..240
    std::uint64_t maxBitrate = 0;  // bits per second
    bool audio = true;
    bool microphone = false;
    std::string encoder = "auto";  // "auto", "nvenc", "mf-hw" or "mf-sw"
    std::string credentialLabel;
};

// The viewer candidates that are looked at, of the many a body may list.
inline constexpr std::size_t kMaxViewerCandidates = 16;

// Reads body (the token is consumed before this). False only when "viewerKey" is not the
// base64url form of 65 bytes; every other member falls back to its default or is clamped.
[[nodiscard]] bool ParseStreamOpenRequest(const JsonValue& body, const net::IpAddress& source,
                                          StreamOpenRequest& out);

}  // namespace vel::gate
