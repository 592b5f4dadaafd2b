#include "client/key_ceremony.h"

#include <cstdio>
#include <functional>

namespace vel::client {

namespace {

using KeyOperation = std::function<bool(const SecretText*, KeyFailure&, std::string&)>;

bool runWithPin(SecurityKey& key, PinPrompt& pins, bool pinNeeded, bool verification,
                const KeyOperation& operation, std::string& error) {
    if (verification && !key.hasPin() && !key.hasBuiltInVerification()) {
        error = "this gate requires user verification, but your security key has no PIN set; set "
                "one (for example `fido2-token -S " + key.path() + "`) and try again";
        return false;
    }
    SecretText pin;
    const bool askNow = key.hasPin() && (pinNeeded || verification);
    if (askNow && !pins.readPin("PIN for the security key: ", pin, error)) return false;
    for (int attempt = 0;; ++attempt) {
        std::fprintf(stderr, "touch your security key\n");
        KeyFailure failure = KeyFailure::None;
        if (operation(pin.empty() ? nullptr : &pin, failure, error)) return true;
        if (failure != KeyFailure::PinRequired || !pin.empty() || attempt > 0) return false;
        if (!key.hasPin()) {
            error = "the security key asks for a PIN but has none set; set one (for example "
                    "`fido2-token -S " + key.path() + "`) and try again";
            return false;
        }
        if (!pins.readPin("PIN for the security key: ", pin, error)) return false;
    }
}

}  // namespace

std::unique_ptr<SecurityKey> OpenKey(DeviceSource& devices, const std::string& path,
                                     std::string& error) {
    KeyFailure failure = KeyFailure::None;
    return SecurityKey::open(devices, path, failure, error);
}

bool CreateOnKey(SecurityKey& key, PinPrompt& pins, const CredentialRequest& request,
                 NewCredential& out, std::string& error) {
    // Keys with a PIN refuse to make a credential without it (CTAP 2.0).
    return runWithPin(
        key, pins, true, request.userVerification,
        [&](const SecretText* pin, KeyFailure& failure, std::string& reason) {
            return key.makeCredential(request, pin, out, failure, reason);
        },
        error);
}

bool AssertOnKey(SecurityKey& key, PinPrompt& pins, const AssertionRequest& request,
                 KeyAssertion& out, std::string& error) {
    return runWithPin(
        key, pins, false, request.userVerification,
        [&](const SecretText* pin, KeyFailure& failure, std::string& reason) {
            return key.getAssertion(request, pin, out, failure, reason);
        },
        error);
}

}  // namespace vel::client
