#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/json.h"
#include "gate/stream_open_request.h"

// A /v1/stream/open body as the router hands it over: parsed with its value limit, an object.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vel::JsonValue body;
    std::string error;
    if (!vel::JsonParse(std::string_view(reinterpret_cast<const char*>(data), size), body, error, 256) ||
        !body.isObject()) {
        return 0;
    }
    vel::net::IpAddress viewer;
    viewer.lo = 0xCB007105;  // 203.0.113.5
    vel::gate::StreamOpenRequest request;
    if (vel::gate::ParseStreamOpenRequest(body, viewer, request)) {
        // Whatever came in, what goes to the agent is within its bounds.
        if (request.viewerKey.size() != 65 || request.bias < 0 || request.bias > 100 ||
            request.maxFps > 240 || request.candidates.size() > vel::gate::kMaxViewerCandidates + 1 ||
            request.direction < 0 || request.direction > 2) {
            __builtin_trap();
        }
    }
    return 0;
}
