#include "stream/launch_params.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <limits>

#include "core/encoding.h"
#include "core/json.h"

namespace vel::stream {
namespace {

constexpr std::size_t kDirectionKeySize = 36;
// A launch document has a few dozen values; a peer's document of thousands is not one.
constexpr std::size_t kMaxJsonValues = 4096;

std::string keyHex(const DirectionKey& key) {
    Bytes raw(key.key.begin(), key.key.end());
    raw.insert(raw.end(), key.salt.begin(), key.salt.end());
    std::string text = HexEncode(raw);
    OPENSSL_cleanse(raw.data(), raw.size());
    return text;
}

bool readKey(const JsonValue& value, DirectionKey& out) {
    if (!value.isString()) return false;
    Bytes raw;
    const bool ok = HexDecode(value.stringValue(), raw) && raw.size() == kDirectionKeySize;
    if (ok) {
        std::copy_n(raw.begin(), out.key.size(), out.key.begin());
        std::copy_n(raw.begin() + out.key.size(), out.salt.size(), out.salt.begin());
    }
    if (!raw.empty()) OPENSSL_cleanse(raw.data(), raw.size());
    return ok;
}

// A number member clamped into [low, high]; the fallback when absent or not a number.
template <typename T>
T number(const JsonValue& doc, const char* key, T fallback, std::int64_t low = 0,
         std::int64_t high = std::numeric_limits<T>::max()) {
    const JsonValue& value = doc.get(key);
    if (!value.isNumber()) return fallback;
    return static_cast<T>(std::clamp<std::int64_t>(value.asInt(), low, high));
}

bool flag(const JsonValue& doc, const char* key, bool fallback) {
    const JsonValue& value = doc.get(key);
    return value.isBool() ? value.boolValue() : fallback;
}

std::string text(const JsonValue& doc, const char* key, const std::string& fallback) {
    const JsonValue& value = doc.get(key);
    return value.isString() ? value.stringValue() : fallback;
}

}  // namespace

std::string serializeLaunchParams(const LaunchParams& p) {
    JsonValue doc = JsonValue::object();
    doc.set("role", p.role == 1 ? "host" : "viewer");
    doc.set("connId", static_cast<std::int64_t>(p.connId));
    doc.set("hostToViewer", keyHex(p.keys.hostToViewer));
    doc.set("viewerToHost", keyHex(p.keys.viewerToHost));
    doc.set("localPort", static_cast<std::int64_t>(p.localPort));
    JsonValue candidates = JsonValue::array();
    for (const std::string& candidate : p.candidates) candidates.push(candidate);
    doc.set("candidates", std::move(candidates));
    doc.set("handshakeTimeoutMs", static_cast<std::int64_t>(p.handshakeTimeoutMs));
    doc.set("bias", p.bias);
    doc.set("automatic", p.automatic);
    doc.set("maxFps", static_cast<std::int64_t>(p.maxFps));
    doc.set("maxBitrate", static_cast<std::int64_t>(p.maxBitrate));
    doc.set("audio", p.audio);
    doc.set("microphone", p.microphone);
    doc.set("microphoneOutDevice", p.microphoneOutDevice);
    doc.set("injectInput", p.injectInput);
    doc.set("allowHardware", p.allowHardware);
    doc.set("encoder", p.encoder);
    doc.set("decoder", p.decoder);
    doc.set("fullscreen", p.fullscreen);
    doc.set("startCaptured", p.startCaptured);
    doc.set("fitDisplay", p.fitDisplay);
    doc.set("vsync", p.vsync);
    doc.set("title", p.title);
    doc.set("language", p.language);
    return JsonDump(doc);
}

bool parseLaunchParams(const std::string& input, LaunchParams& params, std::string& error) {
    JsonValue doc;
    std::string parseError;
    if (!JsonParse(input, doc, parseError, kMaxJsonValues) || !doc.isObject()) {
        error = "launch parameters are not a JSON object";
        return false;
    }
    LaunchParams p;
    const JsonValue& roleValue = doc.get("role");
    const std::string role = roleValue.isNull() ? "viewer" : roleValue.asString();
    if (!(roleValue.isNull() || roleValue.isString()) || (role != "host" && role != "viewer")) {
        error = "role must be host or viewer";
        return false;
    }
    p.role = role == "host" ? 1 : 2;
    p.connId = number<std::uint32_t>(doc, "connId", 0);
    if (!readKey(doc.get("hostToViewer"), p.keys.hostToViewer) ||
        !readKey(doc.get("viewerToHost"), p.keys.viewerToHost)) {
        error = "session keys are malformed";
        return false;
    }
    p.localPort = number<std::uint16_t>(doc, "localPort", 0);
    if (const JsonValue& candidates = doc.get("candidates"); candidates.isArray()) {
        for (std::size_t i = 0; i < candidates.size(); ++i)
            if (candidates.at(i).isString()) p.candidates.push_back(candidates.at(i).stringValue());
    }
    p.handshakeTimeoutMs = number<std::uint32_t>(doc, "handshakeTimeoutMs", 20000);
    p.bias = number<int>(doc, "bias", 50, 0, 100);
    p.automatic = flag(doc, "automatic", true);
    p.maxFps = number<std::uint32_t>(doc, "maxFps", 0);
    p.maxBitrate = number<std::uint64_t>(doc, "maxBitrate", 0, 0,
                                         std::numeric_limits<std::int64_t>::max());
    p.audio = flag(doc, "audio", true);
    p.microphone = flag(doc, "microphone", false);
    p.microphoneOutDevice = text(doc, "microphoneOutDevice", "");
    p.injectInput = flag(doc, "injectInput", true);
    p.allowHardware = flag(doc, "allowHardware", true);
    p.encoder = text(doc, "encoder", "auto");
    if (p.encoder.empty()) p.encoder = "auto";
    p.decoder = text(doc, "decoder", "auto");
    if (p.decoder.empty()) p.decoder = "auto";
    p.fullscreen = flag(doc, "fullscreen", false);
    p.startCaptured = flag(doc, "startCaptured", false);
    p.fitDisplay = flag(doc, "fitDisplay", false);
    p.vsync = flag(doc, "vsync", false);
    p.title = text(doc, "title", "");
    p.language = text(doc, "language", "");
    params = std::move(p);
    return true;
}

}  // namespace vel::stream
