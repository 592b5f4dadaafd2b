#include "gate/stream_open_request.h"

#include <algorithm>

#include "core/encoding.h"
#include "stream/endpoint.h"

namespace vel::gate {

namespace {

constexpr std::size_t kViewerKeySize = 65;
constexpr double kMaxFps = 240;
// Far above any link, and exactly representable both as a double and in 64 bits.
constexpr double kMaxBitrate = 1e15;

double numberOr(const JsonValue& value, double fallback) {
    return value.isNumber() ? value.numberValue() : fallback;
}

bool boolOr(const JsonValue& value, bool fallback) {
    return value.isBool() ? value.boolValue() : fallback;
}

int directionOf(const JsonValue& value) {
    const double d = numberOr(value, 0);
    return d == 1 ? 1 : d == 2 ? 2 : 0;
}

bool automaticOf(const JsonValue& value) {
    if (value.isNumber()) return value.numberValue() != 0;
    return boolOr(value, true);
}

std::string encoderOf(const JsonValue& value) {
    const std::string name = value.isString() ? value.stringValue() : std::string();
    return name == "nvenc" || name == "mf-hw" || name == "mf-sw" ? name : "auto";
}

// Numeric endpoints with a port of their own, in their printed form.
std::vector<std::string> candidatesOf(const JsonValue& list, const JsonValue& viewerPort,
                                      const net::IpAddress& source) {
    std::vector<std::string> out;
    for (std::size_t i = 0; list.isArray() && i < std::min(list.size(), kMaxViewerCandidates);
         ++i) {
        stream::Endpoint endpoint;
        const JsonValue& entry = list.at(i);
        if (entry.isString() && stream::parseEndpoint(entry.stringValue(), 0, endpoint) &&
            endpoint.port() != 0) {
            out.push_back(stream::toString(endpoint));
        }
    }
    const double port = numberOr(viewerPort, 0);
    stream::Endpoint own;
    if (port >= 1 && port <= 65535 &&
        stream::parseEndpoint(net::formatIpAddress(source), static_cast<std::uint16_t>(port),
                              own)) {
        out.push_back(stream::toString(own));
    }
    return out;
}

}  // namespace

bool ParseStreamOpenRequest(const JsonValue& body, const net::IpAddress& source,
                            StreamOpenRequest& out) {
    out = StreamOpenRequest{};
    const JsonValue& key = body.get("viewerKey");
    if (!key.isString() || !Base64Decode(key.stringValue(), out.viewerKey) ||
        out.viewerKey.size() != kViewerKeySize) {
        return false;
    }
    out.source = source;
    out.sourceAddress = net::formatIpAddress(source);
    out.candidates = candidatesOf(body.get("candidates"), body.get("viewerPort"), source);
    out.direction = directionOf(body.get("direction"));
    out.bias = static_cast<int>(std::clamp(numberOr(body.get("bias"), 50), 0.0, 100.0));
    out.automatic = automaticOf(body.get("automatic"));
    out.maxFps = static_cast<std::uint32_t>(std::clamp(numberOr(body.get("maxFps"), 0), 0.0, kMaxFps));
    out.maxBitrate = static_cast<std::uint64_t>(
        std::clamp(numberOr(body.get("maxBitrate"), 0), 0.0, kMaxBitrate));
    out.audio = boolOr(body.get("audio"), true);
    out.microphone = boolOr(body.get("microphone"), false);
    out.encoder = encoderOf(body.get("encoder"));
    const JsonValue& label = body.get("credentialLabel");
    out.credentialLabel = label.isString() ? label.stringValue() : std::string();
    return true;
}

}  // namespace vel::gate
