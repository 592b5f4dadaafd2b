#include "client/key_ceremony.h"

#include <cstdio>
#include <functional>

namespace vel::client {

namespace {

using KeyOperation = std::function<bool(const SecretText*, KeyFailure&, std::string&)>;

std::string setPinAdvice(const SecurityKey& key) {
    return "set one (for example `fido2-token -S " + key.path() + "`) and try again";
}

bool runWithPin(SecurityKey& key, PinPrompt& pins, bool pinNeeded, bool verification,
                const KeyOperation& operation, KeyFailure& failure, std::string& error) {
    failure = KeyFailure::None;
    if (verification && !key.hasPin() && !key.hasBuiltInVerification()) {
        failure = KeyFailure::NoUserVerification;
        error = "this gate requires user verification, but your security key has no PIN set; " +
                setPinAdvice(key);
        return false;
    }
    SecretText pin;
    const bool askNow = key.hasPin() && (pinNeeded || verification);
    if (askNow && !pins.readPin("PIN for the security key: ", pin, error)) return false;
    for (int attempt = 0;; ++attempt) {
        std::fprintf(stderr, "touch your security key\n");
        if (operation(pin.empty() ? nullptr : &pin, failure, error)) return true;
        if (failure != KeyFailure::PinRequired || !pin.empty() || attempt > 0) return false;
        if (!key.hasPin()) {
            error = "the security key asks for a PIN but has none set; " + setPinAdvice(key);
            return false;
        }
        if (!pins.readPin("PIN for the security key: ", pin, error)) return false;
    }
}

}  // namespace

bool CreateOnKey(SecurityKey& key, PinPrompt& pins, const CredentialRequest& request,
                 NewCredential& out, KeyFailure& failure, std::string& error) {
    // Keys with a PIN refuse to make a credential without it (CTAP 2.0).
    return runWithPin(
        key, pins, true, request.userVerification,
        [&](const SecretText* pin, KeyFailure& refusal, std::string& reason) {
            return key.makeCredential(request, pin, out, refusal, reason);
        },
        failure, error);
}

bool AssertOnKey(SecurityKey& key, PinPrompt& pins, const AssertionRequest& request,
                 KeyAssertion& out, KeyFailure& failure, std::string& error) {
    return runWithPin(
        key, pins, false, request.userVerification,
        [&](const SecretText* pin, KeyFailure& refusal, std::string& reason) {
            return key.getAssertion(request, pin, out, refusal, reason);
        },
        failure, error);
}

}  // namespace vel::client
