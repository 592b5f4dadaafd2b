#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/json.h"
#include "core/openssl_ptr.h"

namespace vel::test {

// A CTAP 2.0 security key in software, for libfido2 to talk to: getInfo, makeCredential and
// getAssertion with ES256 (P-256) keys, clientPin with PIN protocol 1 (retries, key agreement,
// PIN token), user presence and one signature counter shared by all credentials, as most keys
// have it.
class CtapAuthenticator {
  public:
    // CTAP status codes the tests look for.
    static constexpr std::uint8_t kOk = 0x00;
    static constexpr std::uint8_t kNoCredentials = 0x2e;
    static constexpr std::uint8_t kPinInvalid = 0x31;
    static constexpr std::uint8_t kPinBlocked = 0x32;
    static constexpr std::uint8_t kOperationDenied = 0x27;

    CtapAuthenticator();

    // The key's PIN; empty for a key on which none was set.
    void setPin(const std::string& pin) { pin_ = pin; }
    // Whether a touch comes when the key asks for one.
    void setTouched(bool touched) { touched_ = touched; }

    std::uint32_t signCount() const { return signCount_; }
    int pinRetries() const { return pinRetries_; }
    // How often the key waited for a touch.
    int touchesAsked() const { return touchesAsked_; }
    std::size_t credentialCount() const { return credentials_.size(); }

    // One CTAP2 request (command byte and CBOR parameters); the answer is the status byte followed
    // by the CBOR response.
    Bytes handle(const Bytes& request);

    // The whole state, so that a key survives from one process to the next.
    JsonValue save() const;
    void load(const JsonValue& state);

  private:
    struct Credential {
        Bytes id;
        Bytes rpIdHash;
        EvpPkeyPtr key;
    };

    Bytes getInfo() const;
    Bytes makeCredential(const Bytes& parameters);
    Bytes getAssertion(const Bytes& parameters);
    Bytes clientPin(const Bytes& parameters);
    // Checks a pinAuth over clientDataHash; 0 when it is valid.
    std::uint8_t checkPinAuth(const Bytes& pinAuth, const Bytes& clientDataHash) const;
    std::uint8_t presence();
    Bytes authenticatorData(const Bytes& rpIdHash, std::uint8_t flags,
                            const Credential* attested) const;

    Bytes aaguid_;
    std::vector<Credential> credentials_;
    std::uint32_t signCount_ = 0;
    std::string pin_;
    int pinRetries_ = 8;
    int wrongInARow_ = 0;
    bool touched_ = true;
    int touchesAsked_ = 0;
    EvpPkeyPtr agreementKey_;  // renewed after every PIN attempt, as keys do
    Bytes pinToken_;
};

}  // namespace vel::test
