#pragma once

#include <functional>
#include <string>

#include "client/gate_address.h"
#include "client/http_answer.h"

namespace vel::client {

// The certificate a server showed, as digests of its DER encoding in upper-case hex.
struct PeerCertificate {
    std::string sha256;  // the fingerprint users compare
    std::string sha1;    // the thumbprint the gate reports about itself
};

// Decides, after the handshake and before a byte of the request leaves, whether the server's
// certificate is trusted. The gate's certificate is self-signed, so no authority can vouch for it;
// the caller pins it instead.
using CertificateCheck = std::function<bool(const PeerCertificate&, std::string& error)>;

// Limits of one exchange; a gate that stops answering fails the command instead of hanging it.
inline constexpr int kConnectTimeoutMs = 10000;
inline constexpr int kIoTimeoutMs = 20000;

// One HTTPS POST of a JSON body over a fresh connection, blocking. False, with a sentence for the
// user, when the gate could not be reached, the certificate was refused or no complete answer came.
[[nodiscard]] bool HttpsPost(const GateAddress& address, const std::string& path,
                             const std::string& body, const CertificateCheck& check,
                             HttpAnswer& reply, std::string& error);

}  // namespace vel::client
