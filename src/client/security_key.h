#pragma once

#include <fido.h>

#include <memory>
#include <string>
#include <vector>

#include "client/secret_text.h"
#include "core/bytes.h"

namespace vel::client {

// Where FIDO devices come from. The real source lists the kernel's hidraw devices and lets
// libfido2 talk to them; tests attach software authenticators through libfido2's I/O hooks, so the
// library's own CTAP code runs either way.
class DeviceSource {
  public:
    virtual ~DeviceSource() = default;
    // Paths of the devices present, first found first; false when they could not be listed.
    [[nodiscard]] virtual bool list(std::vector<std::string>& paths, std::string& error) = 0;
    // Called on a fresh device before it opens path: installs I/O functions where needed.
    [[nodiscard]] virtual bool prepare(fido_dev_t* device, const std::string& path,
                                       std::string& error) = 0;
};

// The hidraw devices libfido2 finds by itself.
std::unique_ptr<DeviceSource> NewHidDeviceSource();

// Why an operation on the key failed, where the caller reacts differently.
enum class KeyFailure {
    None,
    PinRequired,  // the key wants its PIN for this
    WrongPin,
    PinBlocked,
    NotEnrolled,         // none of the allowed credentials lives on this key
    NoUserVerification,  // a PIN or biometric check is wanted but the key has neither set up
    NoTouch,
    Other,
};

struct CredentialRequest {
    std::string rpId;
    std::string rpName;
    Bytes userId;
    std::string userName;
    std::string userDisplayName;
    Bytes clientDataHash;
    bool userVerification = false;
};

struct NewCredential {
    Bytes credentialId;
    Bytes authenticatorData;  // raw, as it goes into an attestation object
};

struct AssertionRequest {
    std::string rpId;
    Bytes clientDataHash;
    std::vector<Bytes> allowedCredentials;
    bool userVerification = false;
};

struct KeyAssertion {
    Bytes credentialId;
    Bytes authenticatorData;  // raw
    Bytes signature;          // DER
};

// One opened FIDO2 security key.
class SecurityKey {
  public:
    ~SecurityKey();
    SecurityKey(const SecurityKey&) = delete;
    SecurityKey& operator=(const SecurityKey&) = delete;

    // Opens the device at path, or the first device the source finds when path is empty.
    static std::unique_ptr<SecurityKey> open(DeviceSource& source, const std::string& path,
                                             std::string& error);

    const std::string& path() const { return path_; }
    bool hasPin() const;
    // A built-in check such as a fingerprint reader, set up.
    bool hasBuiltInVerification() const;

    // Both operations wait for a touch. pin is null when no PIN is to be sent.
    [[nodiscard]] bool makeCredential(const CredentialRequest& request, const SecretText* pin,
                                      NewCredential& out, KeyFailure& failure, std::string& error);
    [[nodiscard]] bool getAssertion(const AssertionRequest& request, const SecretText* pin,
                                    KeyAssertion& out, KeyFailure& failure, std::string& error);

  private:
    SecurityKey(fido_dev_t* device, std::string path) : device_(device), path_(std::move(path)) {}
    void explain(int result, KeyFailure& failure, std::string& error);

    fido_dev_t* device_;
    std::string path_;
};

}  // namespace vel::client
