#include "client/stream_open.h"

#include <algorithm>
#include <openssl/crypto.h>

#include "core/encoding.h"

namespace vel::client {

namespace {

constexpr std::size_t kTicketSize = 32;

bool readBinary(const JsonValue& answer, const char* key, std::size_t size, Bytes& out) {
    const JsonValue& value = answer.get(key);
    return value.isString() && Base64Decode(value.stringValue(), out) && out.size() == size;
}

}  // namespace

JsonValue StreamOpenRequest(const std::string& token, const Bytes& viewerKey,
                            const StreamChoices& choices) {
    JsonValue body = JsonValue::object();
    body.set("token", token);
    body.set("viewerKey", Base64UrlEncode(viewerKey));
    if (choices.viewerPort != 0) body.set("viewerPort", static_cast<int>(choices.viewerPort));
    body.set("bias", std::clamp(choices.bias, 0, 100));
    body.set("automatic", choices.automatic);
    body.set("audio", choices.audio);
    return body;
}

bool ReadStreamOffer(const JsonValue& answer, StreamOffer& out, std::string& error) {
    StreamOffer offer;
    const std::int64_t connId = answer.get("connId").asInt(-1);
    const std::int64_t port = answer.get("port").asInt(0);
    if (!readBinary(answer, "ticket", kTicketSize, offer.ticket) ||
        !readBinary(answer, "hostKey", stream::kPublicKeySize, offer.hostKey) || connId < 0 ||
        connId > 0xFFFFFFFFLL || port < 1 || port > 65535) {
        error = "the gate's answer to the stream request is incomplete; is the gate of a matching "
                "version?";
        return false;
    }
    offer.connId = static_cast<std::uint32_t>(connId);
    offer.port = static_cast<std::uint16_t>(port);
    const JsonValue& candidates = answer.get("hostCandidates");
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        stream::Endpoint endpoint;
        if (candidates.at(i).isString() &&
            stream::parseEndpoint(candidates.at(i).stringValue(), 0, endpoint) &&
            endpoint.port() != 0) {
            offer.hostCandidates.push_back(endpoint);
        }
    }
    offer.gateVersion = answer.get("gateVersion").asString();
    out = std::move(offer);
    return true;
}

bool ViewerSessionKeys(const stream::StreamKeyPair& own, const StreamOffer& offer,
                       stream::SessionKeys& keys, std::string& error) {
    Bytes secret;
    if (!stream::agree(own, offer.hostKey, secret, error)) {
        error = "the host's stream key is not usable: " + error;
        return false;
    }
    keys = stream::deriveSessionKeys(secret, offer.ticket, offer.hostKey, own.publicKey());
    OPENSSL_cleanse(secret.data(), secret.size());
    return true;
}

std::vector<stream::Endpoint> StreamDestinations(const std::vector<stream::Endpoint>& gate,
                                                 const StreamOffer& offer) {
    std::vector<stream::Endpoint> out;
    const auto add = [&out](const stream::Endpoint& endpoint) {
        if (std::find(out.begin(), out.end(), endpoint) == out.end()) out.push_back(endpoint);
    };
    for (const stream::Endpoint& endpoint : gate) add(endpoint);
    for (const stream::Endpoint& endpoint : offer.hostCandidates) add(endpoint);
    return out;
}

}  // namespace vel::client
