#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/json.h"
#include "stream/endpoint.h"
#include "stream/stream_keys.h"

namespace vel::client {

// What the viewer asks of the host when it opens a stream.
struct StreamChoices {
    int bias = 50;  // 0 lowest latency .. 100 sharpest picture
    bool automatic = true;
    bool audio = true;
    std::uint16_t viewerPort = 0;  // 0: the host does not dial the viewer
};

// The gate's answer to /v1/stream/open, checked.
struct StreamOffer {
    Bytes ticket;   // 32 bytes
    Bytes hostKey;  // 65-byte uncompressed P-256 point
    std::uint32_t connId = 0;
    std::uint16_t port = 0;
    std::vector<stream::Endpoint> hostCandidates;
    std::string gateVersion;
};

// The body of /v1/stream/open for token with this viewer's public key.
JsonValue StreamOpenRequest(const std::string& token, const Bytes& viewerKey,
                            const StreamChoices& choices);

// False with a sentence when the answer lacks a usable ticket, host key, connection id or port.
// Candidates the viewer cannot read are left out.
[[nodiscard]] bool ReadStreamOffer(const JsonValue& answer, StreamOffer& out, std::string& error);

// The session keys both ends share: agreement of own with the host's key, then the key schedule
// over the ticket and both public keys.
[[nodiscard]] bool ViewerSessionKeys(const stream::StreamKeyPair& own, const StreamOffer& offer,
                                     stream::SessionKeys& keys, std::string& error);

// Where the viewer sends its first packets: the gate's own addresses (resolved with the stream
// port; the one address known to reach the host) first, then the host's candidates, each once.
std::vector<stream::Endpoint> StreamDestinations(const std::vector<stream::Endpoint>& gate,
                                                 const StreamOffer& offer);

}  // namespace vel::client
