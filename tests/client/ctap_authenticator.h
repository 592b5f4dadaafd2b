#pragma once

#include <cstdint>
#include <string>

#include "core/bytes.h"
#include "core/json.h"
#include "gate/cbor.h"
#include "stream/stream_keys.h"

namespace vel::test {

// A CTAP 2.0 security key in software, for libfido2 to talk to: getInfo, makeCredential and
// getAssertion with ES256 (P-256) keys, clientPin with PIN protocol 1 (retries, key agreement,
// PIN token), user presence and one signature counter shared by all credentials, as most keys
// have it. Like keys without credential storage it keeps nothing per credential: the credential
// id carries the relying party's hash and the private key, in the clear (this is a test key) but
// tagged with a secret of the key's own, so that no other key takes it for one of its own.
class CtapAuthenticator {
  public:
    CtapAuthenticator();

    // The key's PIN; empty for a key on which none was set.
    void setPin(const std::string& pin) { pin_ = pin; }
    // Whether a touch comes when the key asks for one.
    void setTouched(bool touched) { touched_ = touched; }

    int pinRetries() const { return pinRetries_; }
    // How often the key waited for a touch.
    int touchesAsked() const { return touchesAsked_; }

    // One CTAP2 request (command byte and CBOR parameters); the answer is the status byte followed
    // by the CBOR response.
    Bytes handle(const Bytes& message);

    // The whole state, so that a key survives from one process to the next.
    JsonValue save() const;
    void load(const JsonValue& state);

  private:
    Bytes getInfo() const;
    Bytes makeCredential(const gate::CborValue& request);
    Bytes getAssertion(const gate::CborValue& request);
    Bytes clientPin(const gate::CborValue& request);
    // Checks the uv option under optionsKey and a pinAuth under pinAuthKey; a valid pinAuth adds
    // the UV flag. 0 when the request may go on.
    std::uint8_t verify(const gate::CborValue& request, std::int64_t optionsKey,
                        std::int64_t pinAuthKey, const Bytes& clientDataHash,
                        std::uint8_t& flags) const;
    std::uint8_t presence();
    // The HMAC of a credential id's other bytes under the key's secret, shortened.
    Bytes tagOf(const Bytes& wrapped) const;

    Bytes secret_;
    std::uint32_t signCount_ = 0;
    std::string pin_;
    int pinRetries_ = 8;
    bool touched_ = true;
    int touchesAsked_ = 0;
    stream::StreamKeyPair agreementKey_;  // renewed after every PIN attempt, as keys do
    Bytes pinToken_;
};

}  // namespace vel::test
