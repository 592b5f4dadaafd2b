#pragma once

#include <functional>
#include <string>

#include "client/certificate_trust.h"
#include "client/gate_address.h"
#include "client/https_client.h"
#include "core/json.h"

namespace vel::client {

// Talks to one gate over its JSON API, pinning its certificate on every connection.
class GateConnection {
  public:
    using Notice = std::function<void(const std::string&)>;

    // saved is the fingerprint recorded for the address, empty when none is; notice receives the
    // trust notes meant for the user (a first use, an accepted new certificate).
    GateConnection(GateAddress address, std::string saved, TrustOptions options, Notice notice);

    // POSTs body to path. True with the gate's answer when it answered "ok"; otherwise error is
    // one sentence for the user, and gateStatus is the refusal's status (0 when none arrived).
    [[nodiscard]] bool call(const std::string& path, const JsonValue& body, JsonValue& answer,
                            std::string& error);

    const GateAddress& address() const { return address_; }
    int gateStatus() const { return gateStatus_; }
    const std::string& gateErrorCode() const { return gateErrorCode_; }
    // The certificate of the latest connection.
    const PeerCertificate& certificate() const { return certificate_; }
    // Whether the certificate accepted should be written to the saved hosts.
    bool certificateToSave() const { return remember_; }

  private:
    [[nodiscard]] bool check(const PeerCertificate& presented, std::string& error);

    GateAddress address_;
    std::string saved_;
    TrustOptions options_;
    Notice notice_;
    PeerCertificate certificate_;
    bool remember_ = false;
    int gateStatus_ = 0;
    std::string gateErrorCode_;
};

}  // namespace vel::client
